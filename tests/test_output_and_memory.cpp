// What a host sees at scale and under faults: the result under an
// address-space limit, "Skipping: " lines on a standard output that fails,
// and the bytes of the example's JSON text. Each call
// that may exhaust memory or lose its standard output runs in a forked child.
#include <gtest/gtest.h>
#include <fcntl.h>
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

using mirelo::testing::ChildOutcome;
using mirelo::testing::example_path;
using mirelo::testing::in_child;
using mirelo::testing::read_file;
using mirelo::testing::replaced;
using mirelo::testing::SANITIZED;
using mirelo::testing::status_kib;
using mirelo::testing::TempDir;
using mirelo::testing::write_report;

constexpr uint64_t MIB = uint64_t{1} << 20;

// One exported call; the child's exit code says what it returned:
// 0 JSON text, 1 the empty text, 2 NULL.
int exported_call_code(const std::string& project, const std::string& library) {
    const char* libraries[] = {library.c_str()};
    const char* text = process_xml_file_to_json(project.c_str(), libraries, 1);
    if (text == nullptr) return 2;
    const int code = text[0] == '\0' ? 1 : 0;
    free_string(const_cast<char*>(text));
    return code;
}

// The text grows with the document instead of being reserved from an
// estimate: many buildings over a library of 3,000 data points calculate
// under an address-space limit of about three times what the call needs.
TEST(ExportedCall, CalculatesUnderThreeTimesItsRealNeed) {
    if (SANITIZED) GTEST_SKIP() << "an address-space limit cannot be set under sanitizers";
    std::string generic = read_file(example_path("generic_db.xml"));
    std::string points;
    for (int i = 0; i < 3000; ++i) {
        const std::string id = std::to_string(100 + i);
        points += "<OperationDataPoints ID=\"" + id + "\" ScenarioID=\"1\" Year=\"" + std::to_string(2051 + i) +
                  "\"/>\n";
        for (int utility = 1; utility <= 2; ++utility) {
            points += "<OperationIndicatorGroups ID=\"" + std::to_string(10000 + 2 * i + utility) + "\" DataPointID=\"" +
                      id + "\" UtilityID=\"" + std::to_string(utility) +
                      "\" GWP=\"0.1\" ODP=\"0\" POCP=\"0\" AP=\"0\" EP=\"0\" ADPE=\"0\" ADPF=\"0\" PENR=\"0\" PER=\"0\" "
                      "SENR=\"0\" SER=\"0\"/>\n";
        }
    }
    generic = replaced(generic, "  <OperationDataPoints ID=\"1\"", points + "  <OperationDataPoints ID=\"1\"");
    std::string buildings;
    for (int i = 2; i <= 8; ++i) {
        buildings += "<Buildings ID=\"" + std::to_string(i) +
                     "\" OperationID=\"1\" SourceID=\"1\" FloorArea=\"1\" InitialYear=\"2025\" "
                     "CalculationTimeSpan=\"50\"/>\n";
    }
    TempDir dir;
    const std::string project_path =
        dir.write("project.xml",
                  replaced(read_file(example_path("project.xml")), "</Project>", buildings + "</Project>"));
    const std::string generic_path = dir.write("generic_db.xml", generic);

    // What the call needs: its resident high-water mark above the start.
    const ChildOutcome free_run = in_child([&](int report) {
        const uint64_t before = status_kib("VmRSS");
        const int code = exported_call_code(project_path, generic_path);
        write_report(report, std::to_string(status_kib("VmHWM") - before));
        return code;
    });
    ASSERT_TRUE(WIFEXITED(free_run.status) && WEXITSTATUS(free_run.status) == 0) << free_run.err;
    const uint64_t need_kib = std::strtoull(free_run.report.c_str(), nullptr, 10);
    ASSERT_GT(need_kib, 20 * 1024u) << "the case is too small to tell";

    const ChildOutcome limited = in_child([&](int report) {
        // Three times the need, plus the worker's stack and the address
        // space its malloc arena reserves up front.
        const uint64_t limit = status_kib("VmSize") * 1024 + 3 * need_kib * 1024 + 80 * MIB;
        const rlimit rl{limit, limit};
        ::setrlimit(RLIMIT_AS, &rl);
        write_report(report, std::to_string(limit / MIB));
        return exported_call_code(project_path, generic_path);
    });
    ASSERT_TRUE(WIFEXITED(limited.status)) << limited.err;
    EXPECT_EQ(WEXITSTATUS(limited.status), 0) << "need " << need_kib / 1024 << " MiB, limit " << limited.report
                                              << " MiB: " << limited.err;
}

// Memory running out anywhere in the call, at any size the address space
// allows, gives the empty text and one "Error: " line, never NULL or a crash.
TEST(ExportedCall, MemoryRunningOutGivesTheEmptyTextAndOneLine) {
    if (SANITIZED) GTEST_SKIP() << "an address-space limit cannot be set under sanitizers";
    TempDir dir;
    const std::string project_path =
        dir.write("project.xml", replaced(read_file(example_path("project.xml")), "CalculationTimeSpan=\"50\"",
                                          "CalculationTimeSpan=\"2000\""));
    const std::string generic_path = example_path("generic_db.xml");
    for (uint64_t spare_mib : {0, 1, 3, 6, 12}) {
        SCOPED_TRACE(spare_mib);
        const ChildOutcome outcome = in_child([&](int) {
            const uint64_t limit = status_kib("VmSize") * 1024 + spare_mib * MIB;
            const rlimit rl{limit, limit};
            ::setrlimit(RLIMIT_AS, &rl);
            return exported_call_code(project_path, generic_path);
        });
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
        EXPECT_EQ(WEXITSTATUS(outcome.status), 1) << outcome.err;
        EXPECT_EQ(outcome.err.rfind("Error: ", 0), 0u) << outcome.err;
        EXPECT_EQ(mirelo::testing::line_count(outcome.err), 1u) << outcome.err;
    }
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
        const ChildOutcome outcome = in_child([&](int) {
            const uint64_t limit = status_kib("VmSize") * 1024 + 32 * MIB;
            const rlimit rl{limit, limit};
            ::setrlimit(RLIMIT_AS, &rl);
            return exported_call_code(c.path, generic_path);
        });
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
        EXPECT_EQ(WEXITSTATUS(outcome.status), c.code) << outcome.err;
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
        const ChildOutcome outcome = in_child([&](int) {
            const int full = ::open("/dev/full", O_WRONLY);
            ::dup2(full, STDOUT_FILENO);
            ::close(full);
            return exported_call_code(project_path, generic_path);
        });
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
        EXPECT_EQ(WEXITSTATUS(outcome.status), 1) << outcome.err;
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
        const int code = exported_call_code(project_path, generic_path);
        write_report(report, "returned");
        return code;  // and exit() flushes stdio: nothing of the line may be left for it
    });
    EXPECT_EQ(outcome.report, "returned");
    ASSERT_TRUE(WIFEXITED(outcome.status)) << "ended by signal " << WTERMSIG(outcome.status);
    EXPECT_EQ(WEXITSTATUS(outcome.status), 1) << outcome.err;
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
    EXPECT_EQ(json, mirelo::process(project, {generic}, "").view());
    free_string(const_cast<char*>(text));
}

}  // namespace
