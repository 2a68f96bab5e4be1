// Files for the tests, with nothing of the library: a temporary directory,
// the text of a file, and a standard stream captured through a file or,
// write by write, through a socket. The
// host tests, which reach the library only through its exported functions,
// use them too.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo::testing {

// A directory removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to a file `name` in the directory; returns its path.
    std::string write(std::string_view name, std::string_view content) const;

private:
    std::filesystem::path path_;
};

// The whole content of a file, empty when it cannot be read.
std::string read_file(const std::string& path);

// Runs `body` with standard output (fd 1) or standard error (fd 2)
// redirected into a file, and returns what was written.
std::string capture_fd(int fd, const std::function<void()>& body);

// Runs `body` with standard output (fd 1) or standard error (fd 2) on a
// socket that keeps every write call a record of its own, and returns the
// records in the order they came: a line written in two calls is two
// records, whatever the timing. A write larger than the socket's send
// buffer (some 200 KB) fails with EMSGSIZE.
std::vector<std::string> capture_writes(int fd, const std::function<void()>& body);

// What `body` wrote to standard output and standard error.
struct Streams {
    std::string out;
    std::string err;
};
Streams captured(const std::function<void()>& body);

}  // namespace mirelo::testing
