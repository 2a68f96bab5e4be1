#include "log.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>

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

// Writes `parts` to standard output under one lock of the stream, so that
// lines of concurrent calls never interleave, and flushes it when asked. A
// failure is the fatal stop "failed printing to stdout: " and the error.
void write_stdout(std::initializer_list<std::string_view> parts, bool flush) {
    std::FILE* out = stdout;
    flockfile(out);
    bool written = true;
    for (std::string_view part : parts) {
        if (written && !part.empty()) written = std::fwrite(part.data(), 1, part.size(), out) == part.size();
    }
    if (written && flush) written = std::fflush(out) == 0;
    const int err = errno;
    funlockfile(out);
    if (!written) fatal("failed printing to stdout: " + os_error_text(err));
}

}  // namespace

void print_stdout_line(std::string_view line) { write_stdout({line, "\n"}, false); }

void print_stderr_line(std::string_view line) { print_stderr_line(line, std::string_view()); }

void print_stderr_line(std::string_view prefix, std::string_view text) {
    // There is nowhere left to report a failure to write a diagnostic.
    iovec parts[3] = {{const_cast<char*>(prefix.data()), prefix.size()},
                      {const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>("\n"), 1}};
    while (::writev(STDERR_FILENO, parts, 3) < 0 && errno == EINTR) {
    }
}

void print_skipping_line(std::string_view name, std::string_view value) {
    write_stdout({"Skipping: ", name, " = \"", value, "\"\n"}, true);
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
