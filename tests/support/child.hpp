// Work in a forked child process, for calls that may exhaust memory, lose
// their standard streams or run under an address-space limit without taking
// the test program with them. Nothing of the library is used here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace mirelo::testing {

// What a child reports back.
struct ChildOutcome {
    int status = 0;      // as waitpid gives it
    std::string err;     // its standard error
    std::string report;  // what it wrote to the report descriptor
};

// Runs `body` in a forked child with standard error in a file; `body`
// returns the child's exit code and may write a report to the given
// descriptor. The child ends with exit(), so stdio flushes what it holds.
ChildOutcome in_child(const std::function<int(int report_fd)>& body);

// Writes `text` to a child's report descriptor.
void write_report(int fd, std::string_view text);

// A kB figure of /proc/self/status ("VmSize", "VmHWM", "VmRSS").
uint64_t status_kib(std::string_view key);

}  // namespace mirelo::testing
