#include "log.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <string>

#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include "shared_error.hpp"

namespace mirelo {

namespace {

struct Installed {
    LogSink sink = nullptr;
    void* user = nullptr;
    LogLevel max_level = LogLevel::Trace;
};

std::mutex install_mutex;
Installed installed;
// Fast path: the level up to which records are wanted; 0 while no logger is installed.
std::atomic<int> wanted_level{0};

}  // namespace

void set_logger(LogSink sink, void* user, LogLevel max_level) {
    std::lock_guard<std::mutex> lock(install_mutex);
    installed = Installed{sink, user, max_level};
    wanted_level.store(sink ? static_cast<int>(max_level) : 0, std::memory_order_release);
}

bool log_enabled(LogLevel level) {
    return static_cast<int>(level) <= wanted_level.load(std::memory_order_acquire);
}

void log_record(LogLevel level, std::string_view target, std::string_view text) {
    if (!log_enabled(level)) return;
    Installed copy;
    {
        std::lock_guard<std::mutex> lock(install_mutex);
        copy = installed;
    }
    if (copy.sink && static_cast<int>(level) <= static_cast<int>(copy.max_level)) {
        copy.sink(copy.user, level, target, text);
    }
}

namespace {

// How a control character stands in a diagnostic line; tab (empty here)
// and every other byte stay as they are.
constexpr std::string_view C0_ESCAPES[32] = {
    "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
    "\\u0008", "",        "\\n",     "\\u000b", "\\u000c", "\\r",     "\\u000e", "\\u000f",
    "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
    "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
};
constexpr std::string_view DEL_ESCAPE = "\\u007f";

std::string_view escape_of(unsigned char c) {
    if (c < 32) return C0_ESCAPES[c];
    return c == 0x7f ? DEL_ESCAPE : std::string_view();
}

// Hands `text` to `emit` as pieces: runs that stay as they are and the
// escapes of the control characters between them. Stops at, and returns,
// the first false that `emit` gives.
template <class Emit>
bool emit_escaped(std::string_view text, Emit&& emit) {
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const std::string_view escape = escape_of(static_cast<unsigned char>(text[i]));
        if (escape.empty()) continue;
        if (i > run && !emit(text.substr(run, i - run))) return false;
        if (!emit(escape)) return false;
        run = i + 1;
    }
    return run == text.size() || emit(text.substr(run));
}

// A part of a line: a text written as it stands, or one that may quote
// input and is escaped.
struct LinePart {
    std::string_view text;
    bool escaped;
};
using LineParts = std::initializer_list<LinePart>;

// Hands the pieces of the line of `parts` to `emit`; stops at, and returns,
// the first false that `emit` gives.
template <class Emit>
bool emit_line(LineParts parts, Emit&& emit) {
    for (const LinePart& part : parts) {
        const bool going_on = part.escaped ? emit_escaped(part.text, emit) : part.text.empty() || emit(part.text);
        if (!going_on) return false;
    }
    return true;
}

// Keeps SIGPIPE from the calling thread while it lives. A write to a pipe
// without a reader raises SIGPIPE, whose default action ends the whole host;
// blocked, it leaves the write failing with EPIPE instead. The signal that
// write left pending is taken away again, unless one was pending before,
// which belongs to someone else.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &before_) == 0;
        sigset_t pending;
        pending_before_ = !held_ || (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1);
    }
    ~PipeSignalHeld() {
        if (!held_) return;
        sigset_t pending;
        if (!pending_before_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec no_wait{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t pipe_;
    sigset_t before_;
    bool held_ = false;
    bool pending_before_ = true;
};

// Writes `count` pieces to `fd`, going on after a short write with the rest
// (still the same line); false, with errno set, once a write failed.
bool write_pieces(int fd, iovec* next, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(fd, next, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

// The pieces of one line, gathered on the stack. In the worst case a line
// is one run and one escape per control character, plus the prefix, the
// last run and the line feed, so 64 pieces hold any line of up to thirty
// control characters (a Skipping line, whose name and value stand between
// three pieces of its own, up to twenty-nine).
class LinePieces {
public:
    // False, and nothing added, when there is no room left.
    bool add(std::string_view piece) {
        if (count_ == MAX_PIECES) return false;
        parts_[count_++] = {const_cast<char*>(piece.data()), piece.size()};
        return true;
    }

    // Writes what has been gathered with one writev and starts again empty.
    bool write(int fd) {
        const int count = count_;
        count_ = 0;
        return write_pieces(fd, parts_, count);
    }

    void clear() { count_ = 0; }

private:
    static constexpr int MAX_PIECES = 64;
    iovec parts_[MAX_PIECES];
    int count_ = 0;
};

// Writes the line of `parts` to `fd` with one write call: the lines of
// concurrent calls are then never torn by one another (a pipe keeps a write
// whole up to PIPE_BUF bytes). Its pieces go out from the stack when they
// fit there; a line with more is escaped into one buffer of its exact
// length first, and only when that cannot be had is it written in several
// writes, which another thread's line may tear: better than none. After a
// short write the rest follows. False, with errno set, when a write failed.
bool write_line(int fd, LineParts parts) {
    LinePieces pieces;
    if (emit_line(parts, [&pieces](std::string_view piece) { return pieces.add(piece); })) return pieces.write(fd);
    size_t length = 0;
    emit_line(parts, [&length](std::string_view piece) {
        length += piece.size();
        return true;
    });
    if (char* buffer = static_cast<char*>(std::malloc(length))) {
        char* end = buffer;
        emit_line(parts, [&end](std::string_view piece) {
            std::memcpy(end, piece.data(), piece.size());
            end += piece.size();
            return true;
        });
        iovec whole{buffer, length};
        const bool written = write_pieces(fd, &whole, 1);
        const int err = errno;
        std::free(buffer);
        errno = err;
        return written;
    }
    // Memory ran out: the line in batches of pieces.
    pieces.clear();
    return emit_line(parts,
                     [fd, &pieces](std::string_view piece) {
                         return pieces.add(piece) || (pieces.write(fd) && pieces.add(piece));
                     }) &&
           pieces.write(fd);
}

// How a line goes to standard output: through the stream's buffer (the
// text dump), or as a diagnostic line in one write call of its own.
enum class StdoutLine { Buffered, OneWrite };

// Writes the line of `parts` to standard output under one lock of the
// stream, so that lines of concurrent calls never interleave. A failure is
// the fatal stop "failed printing to stdout: " and the error.
void write_stdout(LineParts parts, StdoutLine how) {
    std::FILE* out = stdout;
    flockfile(out);
    const int fd = how == StdoutLine::OneWrite ? fileno(out) : -1;
    bool written;
    if (fd >= 0) {
        // What the stream holds goes first: the host's own output keeps its
        // place before the line.
        written = std::fflush(out) == 0 && write_line(fd, parts);
    } else {
        // The text dump, or a stream without a file descriptor: through the
        // buffer, flushed at once for a diagnostic line.
        written = emit_line(parts, [out](std::string_view piece) {
            return std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
        });
        if (written && how == StdoutLine::OneWrite) written = std::fflush(out) == 0;
    }
    const int err = errno;
    funlockfile(out);
    if (!written) fatal("failed printing to stdout: " + os_error_text(err));
}

}  // namespace

void print_stdout_line(std::string_view line) { write_stdout({{line, false}, {"\n", false}}, StdoutLine::Buffered); }

void print_stderr_line(std::string_view line) { print_stderr_line(line, std::string_view()); }

void print_stderr_line(std::string_view prefix, std::string_view text) {
    // There is nowhere left to report a failure to write a diagnostic.
    PipeSignalHeld held;
    (void)write_line(STDERR_FILENO, {{prefix, true}, {text, true}, {"\n", false}});
}

void print_skipping_line(std::string_view name, std::string_view value) {
    write_stdout({{"Skipping: ", false}, {name, true}, {" = \"", false}, {value, true}, {"\"\n", false}},
                 StdoutLine::OneWrite);
}

std::string escaped_text(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    emit_escaped(text, [&escaped](std::string_view piece) {
        escaped += piece;
        return true;
    });
    return escaped;
}

std::string skipping_text(std::string_view name, std::string_view value) {
    std::string text;
    text.reserve(16 + name.size() + value.size());
    text += "Skipping: ";
    text += name;
    text += " = \"";
    text += value;
    text += '"';
    return text;
}

}  // namespace mirelo
