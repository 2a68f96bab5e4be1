// Diagnostic lines as a host reads them: one line each, whatever input text
// they quote, on standard error ("Error: ") and standard output ("Skipping: ").
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "log.hpp"
#include "parser.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using testing::capture_fd;
using testing::CapturingLogger;
using testing::example_path;
using testing::lines_of;
using testing::read_file;
using testing::replaced;
using testing::TempDir;

TEST(DiagnosticLines, ControlCharactersAreEscapedAndEverythingElseKept) {
    const struct {
        const char* label;
        std::string text;
        std::string written;
    } cases[] = {
        {"line feed", "x\nError: forged", "x\\nError: forged"},
        {"carriage return", "a\r\nb", "a\\r\\nb"},
        {"other C0 controls", std::string("\0\x01\x08\x0b\x0c\x1b[31m\x1f", 11),
         "\\u0000\\u0001\\u0008\\u000b\\u000c\\u001b[31m\\u001f"},
        {"delete", "a\x7f", "a\\u007f"},
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
