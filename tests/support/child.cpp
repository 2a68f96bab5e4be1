#include "child.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "files.hpp"

namespace mirelo::testing {

namespace {

constexpr std::string_view RETURNED = "returned";
constexpr int EXIT_THREW = 70;

}  // namespace

ChildOutcome in_child(const std::function<int(int report_fd)>& body, int timeout_s) {
    TempDir dir;
    const std::string err_path = (dir.path() / "stderr").string();
    ChildOutcome outcome;
    int report[2];
    if (::pipe(report) != 0) {
        outcome.err = "pipe failed";
        outcome.status = -1;
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, STDERR_FILENO);
        ::close(err);
        int code = EXIT_THREW;
        try {
            code = body(report[1]);
        } catch (...) {
            // Never back into the test runner: the child would run the rest of the suite.
        }
        std::exit(code);
    }
    ::close(report[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    char buf[4096];
    for (;;) {
        if (timeout_s > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            pollfd ready{report[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0) {
                ::kill(pid, SIGKILL);
                outcome.timed_out = true;
                break;
            }
        }
        const ssize_t got = ::read(report[0], buf, sizeof buf);
        if (got <= 0) break;
        outcome.report.append(buf, static_cast<size_t>(got));
    }
    ::close(report[0]);
    // A child that closed its report early may still run past its time.
    while (timeout_s > 0 && ::waitpid(pid, &outcome.status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            outcome.timed_out = true;
            break;
        }
        ::usleep(20000);
    }
    if (timeout_s == 0 || outcome.timed_out) ::waitpid(pid, &outcome.status, 0);
    outcome.err = read_file(err_path);
    return outcome;
}

void write_report(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) {
            std::perror("report");
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void report_returned(int fd, std::string_view detail) {
    write_report(fd, RETURNED);
    write_report(fd, detail);
}

std::optional<std::string> returned_detail(const ChildOutcome& outcome) {
    if (outcome.report.compare(0, RETURNED.size(), RETURNED) != 0) return std::nullopt;
    return outcome.report.substr(RETURNED.size());
}

uint64_t status_kib(std::string_view key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':') {
            return std::strtoull(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return 0;
}

PeakMeter::PeakMeter() {
    ::malloc_trim(0);
    // "5" resets the peak resident set size to the present one.
    std::ofstream("/proc/self/clear_refs") << "5";
    start_kib_ = status_kib("VmRSS");
}

uint64_t PeakMeter::grown_kib() const {
    const uint64_t peak = status_kib("VmHWM");
    return peak > start_kib_ ? peak - start_kib_ : 0;
}

bool limit_address_space(uint64_t spare) {
    ::malloc_trim(0);
    const rlim_t size = status_kib("VmSize") * 1024 + spare;
    const rlimit limit{size, size};
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace mirelo::testing
