// Work in a forked child process, for calls that may exhaust memory, lose
// their standard streams, run under an address-space limit or not end,
// without taking the test program with them. Nothing of the library is used
// here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mirelo::testing {

inline constexpr uint64_t MIB = uint64_t{1} << 20;

// What a child reports back.
struct ChildOutcome {
    int status = 0;         // as waitpid gives it
    bool timed_out = false;  // it was killed when its time ran out
    std::string err;        // its standard error
    std::string report;     // what it wrote to the report descriptor
};

// Runs `body` in a forked child with standard error in a file; `body`
// returns the child's exit code and may write a report to the given
// descriptor. The child ends with exit(), so stdio flushes what it holds;
// an exception escaping `body` ends it with status 70. With `timeout_s`
// above 0, a child still running after that many seconds is killed.
ChildOutcome in_child(const std::function<int(int report_fd)>& body, int timeout_s = 0);

// Writes `text` to a child's report descriptor.
void write_report(int fd, std::string_view text);

// The report of a call that returned to its caller: "returned", then
// `detail`. A library that ended the process instead cannot write it, so a
// child's exit status alone never passes for a returned call.
void report_returned(int fd, std::string_view detail = {});
// The detail of that report, or nothing when the child did not return.
std::optional<std::string> returned_detail(const ChildOutcome& outcome);

// A kB figure of /proc/self/status ("VmSize", "VmHWM", "VmRSS").
uint64_t status_kib(std::string_view key);

// The growth of this process's peak resident memory from its making on.
// malloc first gives back the free memory it holds and the kernel's
// high-water mark is reset, so that neither what a forked child inherited
// from its parent nor memory it would reuse without touching new pages
// hides what the work after it needs.
class PeakMeter {
public:
    PeakMeter();
    uint64_t grown_kib() const;

private:
    uint64_t start_kib_;
};

// Limits this process's address space to its present size plus `spare`
// bytes; false when the limit cannot be set.
bool limit_address_space(uint64_t spare);

}  // namespace mirelo::testing
