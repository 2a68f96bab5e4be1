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

// Writes `parts` to standard output under one lock of the stream, so that
// lines of concurrent calls never interleave, escaping those marked so, and
// flushes it when asked. A failure is the fatal stop
// "failed printing to stdout: " and the error.
struct StdoutPart {
    std::string_view text;
    bool escaped;
};

void write_stdout(std::initializer_list<StdoutPart> parts, bool flush) {
    std::FILE* out = stdout;
    const auto put = [out](std::string_view piece) {
        return std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    };
    flockfile(out);
    bool written = true;
    for (const StdoutPart& part : parts) {
        if (!written) break;
        written = part.escaped ? emit_escaped(part.text, put) : part.text.empty() || put(part.text);
    }
    if (written && flush) written = std::fflush(out) == 0;
    const int err = errno;
    funlockfile(out);
    if (!written) fatal("failed printing to stdout: " + os_error_text(err));
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

// Writes `count` pieces to standard error, going on after a short write
// with the rest (still the same line); false once a write failed.
bool write_stderr(iovec* next, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(STDERR_FILENO, next, count);
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

// The pieces of one standard error line, gathered on the stack: a line
// with fewer control characters than there is room for pieces goes out in
// one writev without allocating.
class StderrPieces {
public:
    // False, and nothing added, when there is no room left.
    bool add(std::string_view piece) {
        if (count_ == MAX_PIECES) return false;
        parts_[count_++] = {const_cast<char*>(piece.data()), piece.size()};
        return true;
    }

    // Writes what has been gathered and starts again empty.
    bool write() {
        const int count = count_;
        count_ = 0;
        return write_stderr(parts_, count);
    }

    void clear() { count_ = 0; }

private:
    static constexpr int MAX_PIECES = 64;
    iovec parts_[MAX_PIECES];
    int count_ = 0;
};

}  // namespace

void print_stdout_line(std::string_view line) { write_stdout({{line, false}, {"\n", false}}, false); }

void print_stderr_line(std::string_view line) { print_stderr_line(line, std::string_view()); }

void print_stderr_line(std::string_view prefix, std::string_view text) {
    // There is nowhere left to report a failure to write a diagnostic.
    PipeSignalHeld held;
    // Concurrent calls write to the same standard error: only a line handed
    // over in one write call cannot be torn by another thread's line.
    const auto for_each_piece = [prefix, text](auto&& emit) {
        return emit_escaped(prefix, emit) && emit_escaped(text, emit) && emit(std::string_view("\n"));
    };
    StderrPieces pieces;
    if (for_each_piece([&pieces](std::string_view piece) { return pieces.add(piece); })) {
        pieces.write();
        return;
    }
    // More pieces than there is room for: the whole line escaped into one
    // buffer of its exact length.
    size_t length = 0;
    for_each_piece([&length](std::string_view piece) {
        length += piece.size();
        return true;
    });
    if (char* buffer = static_cast<char*>(std::malloc(length))) {
        char* end = buffer;
        for_each_piece([&end](std::string_view piece) {
            std::memcpy(end, piece.data(), piece.size());
            end += piece.size();
            return true;
        });
        iovec whole{buffer, length};
        write_stderr(&whole, 1);
        std::free(buffer);
        return;
    }
    // Memory ran out: better a line in several writes, which another
    // thread's line may tear, than none.
    pieces.clear();
    for_each_piece([&pieces](std::string_view piece) {
        return pieces.add(piece) || (pieces.write() && pieces.add(piece));
    });
    pieces.write();
}

void print_skipping_line(std::string_view name, std::string_view value) {
    write_stdout({{"Skipping: ", false}, {name, true}, {" = \"", false}, {value, true}, {"\"\n", false}}, true);
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
