// What a host sees at scale and under faults: the result under an
// address-space limit, "Skipping: " lines on a standard output that fails,
// and the bytes of the example's JSON text. Each call
// that may exhaust memory or lose its standard output runs in a forked child.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "child.hpp"
#include "lib.hpp"
#include "mirelo.h"
#include "test_support.hpp"

namespace {

using mirelo::testing::call_exported;
using mirelo::testing::ChildOutcome;
using mirelo::testing::code_of;
using mirelo::testing::example_path;
using mirelo::testing::in_child;
using mirelo::testing::limit_address_space;
using mirelo::testing::MIB;
using mirelo::testing::PeakMeter;
using mirelo::testing::read_file;
using mirelo::testing::replaced;
using mirelo::testing::report_returned;
using mirelo::testing::returned_detail;
using mirelo::testing::SANITIZED;
using mirelo::testing::TempDir;
using mirelo::testing::write_report;

// The child's side of one exported call: the result's kind as its exit code
// (code_of), and "returned" on the report once the call came back.
int call_and_report(int report, const std::string& project, const std::string& library) {
    const int code = code_of(call_exported(project, {library}));
    report_returned(report);
    return code;
}

// Asserts that the child's call came back to it and gave `code`.
void expect_returned_with(const ChildOutcome& outcome, int code) {
    EXPECT_TRUE(returned_detail(outcome).has_value()) << "the call did not return: " << outcome.err;
    ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
    EXPECT_EQ(WEXITSTATUS(outcome.status), code) << outcome.err;
}

// The text grows with the document instead of being reserved from an
// estimate: a project whose JSON text is mostly one 30 MiB building
// description calculates under an address-space limit of three times what
// the call needs.
TEST(ExportedCall, CalculatesUnderThreeTimesItsRealNeed) {
    if (SANITIZED) GTEST_SKIP() << "an address-space limit cannot be set under sanitizers";
    TempDir dir;
    constexpr uint64_t TEXT = 30 * MIB;
    const std::string project_path =
        dir.write("project.xml", replaced(read_file(example_path("project.xml")), "Description=\"",
                                          "Description=\"" + std::string(TEXT, 'd')));
    const std::string generic_path = example_path("generic_db.xml");

    // What the call needs: its resident high-water mark above the start.
    const ChildOutcome free_run = in_child([&](int report) {
        const PeakMeter meter;
        const int code = code_of(call_exported(project_path, {generic_path}));
        report_returned(report, std::to_string(meter.grown_kib()));
        return code;
    });
    expect_returned_with(free_run, 0);
    const uint64_t need_kib = std::strtoull(returned_detail(free_run).value_or("").c_str(), nullptr, 10);
    ASSERT_GT(need_kib, 60 * 1024u) << "the text, the record and its copy in the tree hold 30 MiB each";

    const ChildOutcome limited = in_child([&](int report) {
        // Three times the need, plus the worker's stack and the address
        // space its malloc arena reserves up front.
        if (!limit_address_space(3 * need_kib * 1024 + 80 * MIB)) return 3;
        return call_and_report(report, project_path, generic_path);
    });
    expect_returned_with(limited, 0);
}

// Memory running out anywhere in the call, at any size the address space
// allows, gives the empty text and one "Error: " line, never NULL or a crash;
// a spare large enough gives the whole text.
TEST(ExportedCall, MemoryRunningOutGivesTheEmptyTextAndOneLine) {
    if (SANITIZED) GTEST_SKIP() << "an address-space limit cannot be set under sanitizers";
    TempDir dir;
    const std::string project_path =
        dir.write("project.xml", replaced(read_file(example_path("project.xml")), "CalculationTimeSpan=\"50\"",
                                          "CalculationTimeSpan=\"2000\""));
    const std::string generic_path = example_path("generic_db.xml");
    // A child inherits the free memory its parent's heap holds and needs no
    // new address space for it: after other tests in the same process, no
    // limit here would be tight. ctest runs each test in a process of its own.
    const size_t inherited_free = mallinfo2().fordblks;
    if (inherited_free > 16 * MIB) {
        GTEST_SKIP() << "this process's heap holds " << inherited_free / MIB << " MiB free: run the test alone";
    }
    int stopped = 0;
    for (uint64_t spare_mib : {0, 1, 3, 6, 12}) {
        SCOPED_TRACE(spare_mib);
        const ChildOutcome outcome = in_child([&](int report) {
            if (!limit_address_space(spare_mib * MIB)) return 3;
            return call_and_report(report, project_path, generic_path);
        });
        EXPECT_TRUE(returned_detail(outcome).has_value()) << "the call did not return: " << outcome.err;
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
        const int code = WEXITSTATUS(outcome.status);
        ASSERT_TRUE(code == 0 || code == 1) << "exit " << code << ": " << outcome.err;
        if (code == 0) {
            EXPECT_EQ(outcome.err, "");
            continue;
        }
        ++stopped;
        EXPECT_EQ(outcome.err.rfind("Error: fatal: ", 0), 0u) << outcome.err;
        EXPECT_EQ(mirelo::testing::line_count(outcome.err), 1u) << outcome.err;
    }
    EXPECT_GT(stopped, 0) << "no limit was tight enough to run out of memory";
}

// expat running out of memory (a comment longer than the address space
// leaves room for) is memory running out: the empty text, never the result
// of the part before the comment. The same project without the comment
// calculates under the same limit.
TEST(ExportedCall, ReaderRunningOutOfMemoryGivesTheEmptyText) {
    if (SANITIZED) GTEST_SKIP() << "an address-space limit cannot be set under sanitizers";
    TempDir dir;
    const std::string project = read_file(example_path("project.xml"));
    const std::string generic_path = example_path("generic_db.xml");
    const struct {
        const char* label;
        std::string path;
        int code;
    } cases[] = {
        {"without the comment", dir.write("plain.xml", project), 0},
        {"with the comment",
         dir.write("comment.xml", replaced(project, "  <Elements ID=\"3\"",
                                           "  <!--" + std::string(64 * MIB, 'c') + "-->\n  <Elements ID=\"3\"")),
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const ChildOutcome outcome = in_child([&](int report) {
            if (!limit_address_space(32 * MIB)) return 3;
            return call_and_report(report, c.path, generic_path);
        });
        expect_returned_with(outcome, c.code);
        EXPECT_EQ(outcome.err, c.code == 0 ? "" : "Error: fatal: out of memory\n");
    }
}

// ---------------------------------------------------------------- standard output

// A project whose source record has an attribute no record type knows: one
// "Skipping: " line on standard output, short or longer than any stdio buffer.
std::string project_with_skipping_line(size_t value_length) {
    return replaced(read_file(example_path("project.xml")), "<Sources ID=\"1\"",
                    "<Sources Unknown=\"" + std::string(value_length, 'x') + "\" ID=\"1\"");
}

TEST(SkippingLine, FailedStandardOutputStopsTheCallWhateverTheLineLength) {
    for (size_t length : {size_t{1}, size_t{70000}}) {
        SCOPED_TRACE(length);
        TempDir dir;
        const std::string project_path = dir.write("project.xml", project_with_skipping_line(length));
        const std::string generic_path = example_path("generic_db.xml");
        const ChildOutcome outcome = in_child([&](int report) {
            const int full = ::open("/dev/full", O_WRONLY);
            ::dup2(full, STDOUT_FILENO);
            ::close(full);
            return call_and_report(report, project_path, generic_path);
        });
        expect_returned_with(outcome, 1);
        EXPECT_NE(outcome.err.find("Error: fatal: failed printing to stdout: "), std::string::npos) << outcome.err;
    }
}

TEST(SkippingLine, ClosedPipeOnStandardOutputLeavesTheHostAlive) {
    TempDir dir;
    const std::string project_path = dir.write("project.xml", project_with_skipping_line(1));
    const std::string generic_path = example_path("generic_db.xml");
    const ChildOutcome outcome = in_child([&](int report) {
        signal(SIGPIPE, SIG_DFL);  // the host's default: a broken pipe would end it
        int fds[2];
        if (::pipe(fds) != 0) return 3;
        ::close(fds[0]);
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        // exit() then flushes stdio: nothing of the line may be left for it.
        return call_and_report(report, project_path, generic_path);
    });
    ASSERT_FALSE(WIFSIGNALED(outcome.status)) << "ended by signal " << WTERMSIG(outcome.status);
    expect_returned_with(outcome, 1);
    EXPECT_NE(outcome.err.find("failed printing to stdout: "), std::string::npos) << outcome.err;
}

// ---------------------------------------------------------------- standard error

// A host whose standard error is a pipe without a reader, with the default
// action of SIGPIPE, lives through the lines written on its own thread (a
// refused argument), and keeps a SIGPIPE that was pending before the call.
TEST(ErrorLine, ClosedPipeOnStandardErrorLeavesTheCallingThreadAlive) {
    const std::string generic_path = example_path("generic_db.xml");
    const char* invalid_utf8 = "project\xff.xml";
    const struct {
        const char* label;
        const char* project;
        const char* library;
        bool signal_pending_before;
    } cases[] = {
        {"null project path", nullptr, generic_path.c_str(), false},
        {"non-UTF-8 project path", invalid_utf8, generic_path.c_str(), false},
        {"non-UTF-8 library path", "project.xml", invalid_utf8, false},
        {"null library path, a SIGPIPE of the host pending", "project.xml", nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const ChildOutcome outcome = in_child([&](int report) {
            signal(SIGPIPE, SIG_DFL);
            sigset_t pipe_signal;
            sigemptyset(&pipe_signal);
            sigaddset(&pipe_signal, SIGPIPE);
            if (c.signal_pending_before) {
                pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
                pthread_kill(pthread_self(), SIGPIPE);
            }
            int fds[2];
            if (::pipe(fds) != 0) return 3;
            ::close(fds[0]);
            ::dup2(fds[1], STDERR_FILENO);
            ::close(fds[1]);
            const char* libraries[] = {c.library};
            const char* text = process_xml_file_to_json(c.project, libraries, 1);
            sigset_t pending;
            sigpending(&pending);
            sigset_t mask;
            pthread_sigmask(SIG_SETMASK, nullptr, &mask);
            write_report(report, std::string(text == nullptr ? "NULL" : "a text") +
                                     (sigismember(&pending, SIGPIPE) ? ", pending" : "") +
                                     (sigismember(&mask, SIGPIPE) ? ", blocked" : ""));
            return 0;
        });
        ASSERT_TRUE(WIFEXITED(outcome.status)) << "ended by signal " << WTERMSIG(outcome.status);
        EXPECT_EQ(outcome.report, c.signal_pending_before ? "NULL, pending, blocked" : "NULL");
    }
}

// ---------------------------------------------------------------- the text itself

// The fingerprint of the example's JSON text as it has always been written.
constexpr uint64_t EXAMPLE_FINGERPRINT = 0x6cdd312ee0328abbull;

// FNV-1a, 64 bits: a fixed fingerprint of a text.
uint64_t fingerprint(std::string_view text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

TEST(ExportedCall, ExampleTextKeepsItsBytes) {
    const std::string generic = example_path("generic_db.xml");
    const std::string project = example_path("project.xml");
    const char* libraries[] = {generic.c_str()};
    const char* text = process_xml_file_to_json(project.c_str(), libraries, 1);
    ASSERT_NE(text, nullptr);
    const std::string_view json(text);
    EXPECT_EQ(json.size(), 1212640u);
    EXPECT_EQ(fingerprint(json), EXAMPLE_FINGERPRINT);
    EXPECT_EQ(json, mirelo::process(project, {generic}, "", {}).view());
    free_string(const_cast<char*>(text));
}

}  // namespace
