#include "files.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

namespace mirelo::testing {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("mirelo-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
    auto file = path_ / std::string(name);
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return file.string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {

// Runs `body` with `fd` pointing where `target` does. The stdio buffers are
// flushed before and after, so that what they hold goes where it was
// written for.
void redirected(int fd, int target, const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved = dup(fd);
    dup2(target, fd);
    const auto restore = [fd, saved] {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved, fd);
        close(saved);
    };
    try {
        body();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

}  // namespace

std::string capture_fd(int fd, const std::function<void()>& body) {
    char name[] = "/tmp/mirelo-capture-XXXXXX";
    const int tmp = mkstemp(name);
    try {
        redirected(fd, tmp, body);
    } catch (...) {
        close(tmp);
        unlink(name);
        throw;
    }
    close(tmp);
    std::string captured = read_file(name);
    unlink(name);
    return captured;
}

std::vector<std::string> capture_writes(int fd, const std::function<void()>& body) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::system_error(errno, std::generic_category(), "socketpair");
    }
    // No record is larger than the send buffer.
    int largest = 0;
    socklen_t size = sizeof largest;
    getsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &largest, &size);
    std::vector<std::string> records;
    // Taken as they come, so that no writer waits for room; the end of the
    // stream comes when the last writing end is closed.
    std::thread reader([&records, in = ends[0], largest] {
        std::string buffer(static_cast<size_t>(largest) + 1, '\0');
        for (;;) {
            const ssize_t n = recv(in, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            records.emplace_back(buffer.data(), static_cast<size_t>(n));
        }
    });
    const auto finish = [&] {
        close(ends[1]);
        reader.join();
        close(ends[0]);
    };
    try {
        redirected(fd, ends[1], body);
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return records;
}

Streams captured(const std::function<void()>& body) {
    Streams streams;
    streams.out = capture_fd(1, [&] { streams.err = capture_fd(2, body); });
    return streams;
}

}  // namespace mirelo::testing
