#include "files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

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

std::string capture_fd(int fd, const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    char name[] = "/tmp/mirelo-capture-XXXXXX";
    int tmp = mkstemp(name);
    int saved = dup(fd);
    dup2(tmp, fd);
    try {
        body();
    } catch (...) {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved, fd);
        close(saved);
        close(tmp);
        unlink(name);
        throw;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved, fd);
    close(saved);
    close(tmp);
    std::string captured = read_file(name);
    unlink(name);
    return captured;
}

Streams captured(const std::function<void()>& body) {
    Streams streams;
    streams.out = capture_fd(1, [&] { streams.err = capture_fd(2, body); });
    return streams;
}

}  // namespace mirelo::testing
