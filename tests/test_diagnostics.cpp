// Diagnostic lines as a host reads them: one line each, whatever input text
// they quote, on standard error ("Error: ") and standard output ("Skipping: ").
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "child.hpp"
#include "log.hpp"
#include "parser.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using testing::capture_fd;
using testing::capture_writes;
using testing::ChildOutcome;
using testing::CapturingLogger;
using testing::example_path;
using testing::lines_of;
using testing::read_file;
using testing::replaced;
using testing::TempDir;

// Every character a diagnostic line escapes, with its escape.
constexpr std::pair<char, std::string_view> ESCAPED[] = {
    {'\x00', "\\u0000"}, {'\x01', "\\u0001"}, {'\x02', "\\u0002"}, {'\x03', "\\u0003"}, {'\x04', "\\u0004"},
    {'\x05', "\\u0005"}, {'\x06', "\\u0006"}, {'\x07', "\\u0007"}, {'\x08', "\\u0008"}, {'\n', "\\n"},
    {'\x0b', "\\u000b"}, {'\x0c', "\\u000c"}, {'\r', "\\r"},       {'\x0e', "\\u000e"}, {'\x0f', "\\u000f"},
    {'\x10', "\\u0010"}, {'\x11', "\\u0011"}, {'\x12', "\\u0012"}, {'\x13', "\\u0013"}, {'\x14', "\\u0014"},
    {'\x15', "\\u0015"}, {'\x16', "\\u0016"}, {'\x17', "\\u0017"}, {'\x18', "\\u0018"}, {'\x19', "\\u0019"},
    {'\x1a', "\\u001a"}, {'\x1b', "\\u001b"}, {'\x1c', "\\u001c"}, {'\x1d', "\\u001d"}, {'\x1e', "\\u001e"},
    {'\x1f', "\\u001f"}, {'\x7f', "\\u007f"},
};

TEST(DiagnosticLines, ControlCharactersAreEscapedAndEverythingElseKept) {
    std::string escaped_set;
    std::string escapes;
    std::string between_kept = "<";
    std::string escapes_between_kept = "<";
    for (const auto& [c, escape] : ESCAPED) {
        escaped_set += c;
        escapes += escape;
        (between_kept += c) += '>';
        (escapes_between_kept += escape) += '>';
    }
    std::string kept = "\t";
    for (int c = 0x20; c <= 0xff; ++c) {
        if (c != 0x7f) kept += static_cast<char>(c);
    }
    const struct {
        const char* label;
        std::string text;
        std::string written;
    } cases[] = {
        {"line feed", "x\nError: forged", "x\\nError: forged"},
        {"carriage return", "a\r\nb", "a\\r\\nb"},
        {"every escaped character", escaped_set, escapes},
        {"every escaped character between kept bytes", between_kept, escapes_between_kept},
        {"every byte that is kept: tab, backslash, 0x20 to 0x7e, 0x80 to 0xff", kept, kept},
        {"tab and backslash stay", "a\tb\\nc\\u000a", "a\tb\\nc\\u000a"},
        {"other bytes stay", "caf\xC3\xA9 \xC2\x85 \xFF \x80", "caf\xC3\xA9 \xC2\x85 \xFF \x80"},
        {"more escapes than one write holds", std::string(300, '\n') + "end", [] {
             std::string out;
             for (int i = 0; i < 300; ++i) out += "\\n";
             return out + "end";
         }()},
        {"long plain text", std::string(100000, 'v'), std::string(100000, 'v')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(capture_fd(2, [&] { print_stderr_line("Error: ", c.text); }), "Error: " + c.written + "\n");
        EXPECT_EQ(capture_fd(2, [&] { print_stderr_line("Error: " + c.text); }), "Error: " + c.written + "\n");
        EXPECT_EQ(capture_fd(1, [&] { print_skipping_line(c.text, c.text); }),
                  "Skipping: " + c.written + " = \"" + c.written + "\"\n");
    }
}

// Every line goes out in one write call, so that threads writing at once
// never tear each other's lines: lines with more escapes than fit in one
// gathering of pieces, and Skipping lines longer than a stdio buffer. The
// streams are captured write by write, so a line written in two calls shows
// on every run.
TEST(DiagnosticLines, ConcurrentLinesArriveWhole) {
    constexpr int THREADS = 16;
    constexpr int LINES = 100;
    const std::string feeds(100, '\n');
    std::string escaped_feeds;
    for (int i = 0; i < 100; ++i) escaped_feeds += "\\n";
    const std::string long_value(10000, 'v');
    const struct {
        const char* label;
        int fd;
        // Writes the i-th line of thread t, and the line as it must arrive.
        std::function<void(int t, int i)> write;
        std::function<std::string(int t, int i)> line;
    } streams[] = {
        {"standard error", 2,
         [&](int t, int) { print_stderr_line("Error: ", "thread " + std::to_string(t) + " \"" + feeds + "\""); },
         [&](int t, int) { return "Error: thread " + std::to_string(t) + " \"" + escaped_feeds + "\"\n"; }},
        {"standard output", 1,
         [&](int t, int i) { print_skipping_line("thread " + std::to_string(t), i % 2 == 0 ? feeds : long_value); },
         [&](int t, int i) {
             return "Skipping: thread " + std::to_string(t) + " = \"" + (i % 2 == 0 ? escaped_feeds : long_value) +
                    "\"\n";
         }},
    };
    for (const auto& stream : streams) {
        SCOPED_TRACE(stream.label);
        std::map<std::string, int> expected;
        for (int t = 0; t < THREADS; ++t) {
            for (int i = 0; i < LINES; ++i) ++expected[stream.line(t, i)];
        }
        const std::vector<std::string> records = capture_writes(stream.fd, [&stream] {
            std::latch start(THREADS);
            std::vector<std::thread> threads;
            for (int t = 0; t < THREADS; ++t) {
                threads.emplace_back([t, &start, &stream] {
                    start.arrive_and_wait();
                    for (int i = 0; i < LINES; ++i) stream.write(t, i);
                });
            }
            for (std::thread& thread : threads) thread.join();
        });
        std::map<std::string, int> arrived;
        size_t torn = 0;
        std::string first_torn;
        for (const std::string& record : records) {
            if (expected.count(record) != 0) {
                ++arrived[record];
            } else if (torn++ == 0) {
                first_torn = record.substr(0, 200);
            }
        }
        EXPECT_EQ(torn, 0u) << records.size() << " writes, the first not a whole line: " << first_torn;
        EXPECT_TRUE(arrived == expected) << records.size() << " writes";
    }
}

// A Skipping line takes its place after what the host wrote to the stream
// before it, and reaches a stream without a file descriptor through its
// buffer.
TEST(DiagnosticLines, SkippingLineFollowsWhatTheStreamHolds) {
    EXPECT_EQ(capture_writes(1,
                             [] {
                                 std::fputs("the host's own text, ", stdout);
                                 print_skipping_line("name", "a\nb");
                             }),
              (std::vector<std::string>{"the host's own text, ", "Skipping: name = \"a\\nb\"\n"}));

    char* text = nullptr;
    size_t size = 0;
    std::FILE* const memory = open_memstream(&text, &size);
    ASSERT_NE(memory, nullptr);
    std::FILE* const real = stdout;
    stdout = memory;
    try {
        print_skipping_line("name", "a\nb");
    } catch (const FatalStop& stop) {
        ADD_FAILURE() << stop.what();
    }
    stdout = real;
    std::fclose(memory);
    EXPECT_EQ(std::string(text, size), "Skipping: name = \"a\\nb\"\n");
    std::free(text);
}

// A line whose escaped text cannot be given a buffer, memory having run
// out, still arrives whole and in order, in several writes: on standard
// error, and a Skipping line on standard output (sent to the same file).
TEST(DiagnosticLines, LongLineArrivesWholeWhenMemoryRunsOut) {
    if (testing::SANITIZED) GTEST_SKIP() << "an address-space limit cannot be set under sanitizers";
    constexpr size_t CONTROLS = 8 * testing::MIB;
    const std::string text(CONTROLS, '\x01');
    constexpr int NO_LIMIT = 3;
    constexpr int BUFFER_STILL_FITS = 4;
    const struct {
        const char* label;
        std::function<void()> write;
        std::string before;
        std::string after;
    } cases[] = {
        {"standard error", [&text] { print_stderr_line("Error: ", text); }, "Error: ", "\n"},
        {"standard output",
         [&text] {
             ::dup2(STDERR_FILENO, STDOUT_FILENO);
             print_skipping_line("name", text);
         },
         "Skipping: name = \"", "\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const ChildOutcome outcome = testing::in_child([&c](int report) {
            if (!testing::limit_address_space(testing::MIB)) return NO_LIMIT;
            // The escaped line is six times the text: it must not fit. The
            // pointer is kept in a volatile, or the compiler may drop the pair
            // of calls and take the allocation for granted.
            void* volatile buffer = std::malloc(6 * CONTROLS);
            if (buffer != nullptr) {
                std::free(buffer);
                return BUFFER_STILL_FITS;
            }
            c.write();
            testing::report_returned(report);
            return 0;
        });
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.status;
        ASSERT_NE(WEXITSTATUS(outcome.status), NO_LIMIT) << "the address-space limit could not be set";
        // Memory this process's heap already holds, from other tests run
        // before in it, needs no new address space. ctest runs each test in a
        // process of its own.
        if (WEXITSTATUS(outcome.status) == BUFFER_STILL_FITS) {
            GTEST_SKIP() << "this process's heap has room for the line: run the test alone";
        }
        ASSERT_TRUE(testing::returned_detail(outcome).has_value()) << outcome.err.substr(0, 200);
        std::string expected = c.before;
        expected.reserve(expected.size() + 6 * CONTROLS + c.after.size());
        for (size_t i = 0; i < CONTROLS; ++i) expected += "\\u0001";
        expected += c.after;
        // Compared without printing megabytes of text on a failure.
        const auto differs =
            std::mismatch(outcome.err.begin(), outcome.err.end(), expected.begin(), expected.end()).first;
        EXPECT_TRUE(outcome.err == expected) << outcome.err.size() << " bytes of " << expected.size()
                                             << ", the first difference at byte " << (differs - outcome.err.begin());
    }
}

// The escaping happens where lines are written: the texts handed to a
// logger are what the input says.
TEST(DiagnosticLines, LogRecordsStayAsTheInputSaysThem) {
    TempDir dir;
    const std::string path =
        dir.write("cut\nhere.xml", "<Root><Database PrimaryDatabaseUID=\"5\"/><Settings ID=\"1\" Na");
    CapturingLogger logger;
    Parser parser;
    const std::string err = capture_fd(2, [&] { parser.parse_file(path, true); });
    EXPECT_EQ(lines_of(err).size(), 1u) << err;
    std::string escaped_path = path;
    escaped_path.replace(escaped_path.find('\n'), 1, "\\n");
    EXPECT_EQ(err.rfind("Error: unclosed token at " + escaped_path + ":1:", 0), 0u) << err;
    std::vector<std::string> records;
    for (const auto& entry : logger.entries()) {
        if (entry.level == LogLevel::Error) records.push_back(entry.text);
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0] + "\n", replaced(err, escaped_path, path));
}

// An input value with a line feed cannot make a line that reads as an
// error of its own.
TEST(DiagnosticLines, InputCannotForgeASecondLine) {
    const std::string example = read_file(example_path("project.xml"));
    const std::vector<std::string> generic = {example_path("generic_db.xml")};
    TempDir dir;

    const testing::SeenCall skipping = testing::call_seen(
        dir.write("skipping.xml",
                  replaced(example, "<Sources ID=\"1\"", "<Sources Note=\"x&#10;Error: forged\" ID=\"1\"")),
        generic);
    EXPECT_FALSE(skipping.text.empty());
    EXPECT_EQ(skipping.out, "Skipping: Note = \"x\\nError: forged\"\n");
    EXPECT_EQ(skipping.err, "");

    const testing::SeenCall stopped = testing::call_seen(
        dir.write("stopped.xml", replaced(example, "FloorArea=\"140\"", "FloorArea=\"140&#10;Error: forged\"")),
        generic);
    EXPECT_EQ(stopped.text, "");
    ASSERT_EQ(lines_of(stopped.err).size(), 1u) << stopped.err;
    EXPECT_EQ(stopped.err.rfind("Error: fatal: real: invalid float literal", 0), 0u) << stopped.err;
    EXPECT_NE(stopped.err.find("FloorArea=\"140\\nError: forged\""), std::string::npos) << stopped.err;

    const testing::SeenCall missing = testing::call_seen((dir.path() / "no\nsuch.xml").string(), generic);
    EXPECT_EQ(missing.text, "");
    EXPECT_EQ(lines_of(missing.err).size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("no\\nsuch.xml"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace mirelo
