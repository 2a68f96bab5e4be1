#include "child.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "files.hpp"

namespace mirelo::testing {

ChildOutcome in_child(const std::function<int(int report_fd)>& body) {
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
        std::exit(body(report[1]));
    }
    ::close(report[1]);
    char buf[256];
    ssize_t got;
    while ((got = ::read(report[0], buf, sizeof buf)) > 0) outcome.report.append(buf, static_cast<size_t>(got));
    ::close(report[0]);
    ::waitpid(pid, &outcome.status, 0);
    outcome.err = read_file(err_path);
    return outcome;
}

void write_report(int fd, std::string_view text) {
    if (::write(fd, text.data(), text.size()) < 0) std::perror("report");
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

}  // namespace mirelo::testing
