#include "parser.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

#include "log.hpp"
#include "shared_error.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using testing::CapturingLogger;
using testing::LogEntry;
using testing::stop_of;
using testing::TempDir;

constexpr const char* kInvalidDigit = "u32: invalid digit found in string";
constexpr const char* kGenDkSetting = R"(<Settings ID="1" Name="UID" Value="3735928559"/>)";

std::vector<LogEntry> entries_at(const CapturingLogger& logger, LogLevel level) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : logger.entries()) {
        if (e.level == level) out.push_back(e);
    }
    return out;
}

std::vector<std::string> setting_names(const Parser& parser) {
    std::vector<std::string> out;
    for (const Setting& s : parser.settings) out.push_back(s.name);
    return out;
}

std::string in_root(const std::string& body) { return "<Root>" + body + "</Root>"; }

TEST(Parser, ReadsProjectFileAndPassesFinalCheck) {
    TempDir dir;
    CapturingLogger logger;
    std::string path =
        dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)" + std::string(kGenDkSetting)));
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 5u);
    ASSERT_EQ(parser.settings.size(), 1u);
    const Setting* setting = parser.settings.find(4294967301ull);
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(setting->value, "3735928559");
    EXPECT_NO_THROW(parser.assert_tables());

    auto info = entries_at(logger, LogLevel::Info);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].target, "mirelo::parser");
    EXPECT_EQ(info[0].text, "File: " + path);
    EXPECT_TRUE(entries_at(logger, LogLevel::Error).empty());
}

TEST(Parser, RecordWithoutDatabaseIdIsFatal) {
    const struct {
        const char* label;
        std::string body;
    } cases[] = {
        {"no Database yet", R"(<Settings ID="1"/>)"},
        {"Database without attributes", R"(<Database/><Settings ID="1"/>)"},
        {"Database without the id", R"(<Database Name="x"/><Settings ID="1"/>)"},
        {"cleared by a later Database", R"(<Database PrimaryDatabaseUID="5"/><Database/><Settings ID="1"/>)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        std::string path = dir.write("p.xml", in_root(c.body));
        Parser parser;
        FatalStop stop = stop_of([&] { parser.parse_file(path, false); });
        EXPECT_EQ(stop.message(), "Missing database id");
        EXPECT_NE(stop.context().find("element Settings"), std::string::npos) << stop.what();
    }
}

TEST(Parser, DatabaseElementAttributes) {
    CapturingLogger logger;
    TempDir dir;
    const struct {
        const char* uid;
        uint32_t id;
    } good[] = {{"+7", 7}, {"007", 7}, {"0", 0}, {"4294967295", 4294967295u}};
    for (const auto& c : good) {
        SCOPED_TRACE(c.uid);
        std::string path =
            dir.write("p.xml", in_root(std::string(R"(<Database PrimaryDatabaseUID=")") + c.uid + "\"/>"));
        Parser parser;
        parser.parse_file(path, true);
        EXPECT_EQ(parser.primary_db_id, c.id);
    }
    for (const char* uid : {" 7", "7.0", "-7", "x"}) {
        SCOPED_TRACE(uid);
        std::string path = dir.write("p.xml", in_root(std::string(R"(<Database PrimaryDatabaseUID=")") + uid + "\"/>"));
        Parser parser;
        FatalStop stop = stop_of([&] { parser.parse_file(path, true); });
        EXPECT_EQ(stop.message(), kInvalidDigit);
        EXPECT_NE(stop.context().find("element Database"), std::string::npos) << stop.what();
    }

    // Attributes before the id are logged at debug level; those after it
    // are not looked at, so a second id under another prefix does no harm.
    std::string path = dir.write(
        "p.xml",
        in_root(R"(<Database xmlns:a="urn:a" Name="Main" a:Kind="lib" PrimaryDatabaseUID="9")"
                R"( a:PrimaryDatabaseUID="bad" After="1"/>)"));
    Parser parser;
    CapturingLogger fresh;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 9u);
    auto debug = entries_at(fresh, LogLevel::Debug);
    ASSERT_EQ(debug.size(), 2u);
    EXPECT_EQ(debug[0].target, "mirelo::parser");
    EXPECT_EQ(debug[0].text, R"(Skipping: Name = "Main")");
    EXPECT_EQ(debug[1].text, R"(Skipping: Kind = "lib")");
}

TEST(Parser, EachDatabaseElementSetsTheIdOfTheRecordsAfterIt) {
    TempDir dir;
    std::string path = dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="a"/>)"
                                                  R"(<Database PrimaryDatabaseUID="6"/><Settings ID="1" Name="b"/>)"));
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 6u);
    ASSERT_EQ(parser.settings.size(), 2u);
    EXPECT_EQ(parser.settings.find(Link(5, 1).combined_id)->name, "a");
    EXPECT_EQ(parser.settings.find(Link(6, 1).combined_id)->name, "b");

    // The id at the end of the file counts: a last Database without one
    // leaves the project file without a database id.
    std::string cleared =
        dir.write("c.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1"/><Database/>)"));
    Parser project;
    FatalStop stop = stop_of([&] { project.parse_file(cleared, true); });
    EXPECT_EQ(stop.message(), "Missing database id");
    EXPECT_EQ(project.settings.size(), 1u);
    // A library file may end without one.
    Parser library;
    EXPECT_NO_THROW(library.parse_file(cleared, false));
    EXPECT_EQ(library.primary_db_id, 0u);
}

TEST(Parser, UnknownElementsAreSkippedWithoutReadingTheirAttributes) {
    CapturingLogger logger;
    TempDir dir;
    std::string path = dir.write("p.xml", R"(<p:Project xmlns:p="urn:p" xmlns="urn:d">)"
                                          R"(<Database xmlns="" PrimaryDatabaseUID="5"/>)"
                                          R"(<Setting xmlns="" ID="x"/><settings xmlns="" ID="x"/>)"
                                          R"(<Unknown ID="x"/></p:Project>)");
    Parser parser;
    std::string out = testing::capture_fd(1, [&] { parser.parse_file(path, true); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(parser.settings.empty());
    std::vector<std::string> warned;
    for (const LogEntry& e : entries_at(logger, LogLevel::Warn)) {
        EXPECT_EQ(e.target, "mirelo::parser");
        warned.push_back(e.text);
    }
    EXPECT_EQ(warned,
              (std::vector<std::string>{"Skipping Xml element: {urn:p}p:Project", "Skipping Xml element: Setting",
                                        "Skipping Xml element: settings", "Skipping Xml element: {urn:d}Unknown"}));
}

TEST(Parser, RecordsAreReadAtAnyDepthUnderAnyRoot) {
    TempDir dir;
    std::string path =
        dir.write("p.xml", R"(<?xml version="1.0" encoding="UTF-8"?>)"
                           "\n<!-- project -->\n"
                           R"(<x:Anything xmlns:x="urn:x"><Database PrimaryDatabaseUID="5"/>)"
                           R"(<Settings ID="1" Name="outer"><x:Settings ID="2" Name="nested">text</x:Settings>)"
                           R"(</Settings><Group><![CDATA[<Settings ID="9"/>]]><Settings ID="3" Name="deep"/></Group>)"
                           "<?pi data?></x:Anything>");
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(setting_names(parser), (std::vector<std::string>{"outer", "nested", "deep"}));
}

TEST(Parser, LaterRecordReplacesEarlierUnderTheSameCombinedId) {
    TempDir dir;
    std::string project =
        dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)"
                                   R"(<Settings ID="1" Name="first"/><Settings ID="2" Name="two"/>)"
                                   R"(<Settings ID="1" Name="again"/>)"
                                   R"(<Database PrimaryDatabaseUID="6"/><Settings ID="1" Name="other db"/>)"));
    std::string library =
        dir.write("l.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="2" Name="library"/>)"));
    Parser parser;
    parser.parse_file(project, true);
    parser.parse_file(library, false);
    EXPECT_EQ(parser.primary_db_id, 6u);
    EXPECT_EQ(setting_names(parser), (std::vector<std::string>{"again", "library", "other db"}));
}

TEST(Parser, ReaderErrorKeepsEarlierRecordsAndTheCallGoesOn) {
    const struct {
        const char* label;
        std::string bad;
        std::string error;
    } cases[] = {
        {"duplicate attribute", R"(<Settings ID="2" Name="a" Name="b"/>)", "duplicate attribute"},
        {"same namespace under two prefixes",
         R"(<Settings xmlns:a="urn:a" xmlns:b="urn:a" ID="2" a:Name="x" b:Name="y"/>)", "duplicate attribute"},
        {"undefined entity", R"(<Settings ID="2" Name="&nbsp;"/>)", "undefined entity"},
        {"undefined entity in text", "<Text>&nbsp;</Text>", "undefined entity"},
        {"unbound prefix", R"(<Settings ID="2" q:Name="x"/>)", "unbound prefix"},
        {"raw < in a value", R"(<Settings ID="2" Name="a<b"/>)", "not well-formed (invalid token)"},
        {"mismatched tag", "<Group></Other>", "mismatched tag"},
        {"invalid UTF-8", "<Settings ID=\"2\" Name=\"\xff\"/>", "not well-formed (invalid token)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CapturingLogger logger;
        TempDir dir;
        std::string bad =
            dir.write("bad.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="kept"/>)" + c.bad +
                                         R"(<Settings ID="3" Name="lost"/>)"));
        std::string next =
            dir.write("next.xml", in_root(R"(<Database PrimaryDatabaseUID="7"/><Settings ID="1" Name="next"/>)"));
        Parser parser;
        parser.parse_file(bad, true);
        parser.parse_file(next, false);
        EXPECT_EQ(parser.primary_db_id, 5u);
        EXPECT_EQ(setting_names(parser), (std::vector<std::string>{"kept", "next"}));
        auto errors = entries_at(logger, LogLevel::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].target, "mirelo::parser");
        EXPECT_EQ(errors[0].text.rfind("Error: " + c.error + " at " + bad + ":1:", 0), 0u) << errors[0].text;
    }
}

// Anything a document type declares would change what is read (entities
// expanded, attribute defaults added, tokenised values normalised, unknown
// references dropped); such a declaration ends the file where it stands,
// before the root element, so no record is read from the file.
TEST(Parser, DocumentTypeWithDeclarationsIsAReaderError) {
    const std::string records =
        in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="Parti&nbsp;tions" Value="  7  "/>)");
    const struct {
        const char* label;
        std::string doctype;
    } cases[] = {
        {"parameter-entity reference", "<!DOCTYPE Root [ %x; ]>"},
        {"entity declaration", R"(<!DOCTYPE Root [<!ENTITY nbsp " ">]>)"},
        {"attribute default", R"(<!DOCTYPE Root [<!ATTLIST Settings Name CDATA "default">]>)"},
        {"tokenised attribute type", "<!DOCTYPE Root [<!ATTLIST Settings Value NMTOKEN #IMPLIED>]>"},
        {"empty internal subset", "<!DOCTYPE Root []>"},
        {"system identifier", R"(<!DOCTYPE Root SYSTEM "root.dtd">)"},
        {"public identifier", R"(<!DOCTYPE Root PUBLIC "-//mirelo//x" "root.dtd">)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CapturingLogger logger;
        TempDir dir;
        std::string path = dir.write("p.xml", c.doctype + "\n" + records);
        Parser parser;
        EXPECT_EQ(stop_of([&] { parser.parse_file(path, true); }).message(), "Missing database id");
        EXPECT_TRUE(parser.settings.empty());
        auto errors = entries_at(logger, LogLevel::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].text.rfind("Error: document types with an external identifier or an internal subset are "
                                       "not supported at " + path + ":1:",
                                       0),
                  0u)
            << errors[0].text;
    }
}

// A bare document type declares nothing: the file is read as without it,
// and an unknown entity after it is still an error.
TEST(Parser, PlainDocumentTypeIsReadAsUsual) {
    CapturingLogger logger;
    TempDir dir;
    std::string path = dir.write(
        "p.xml", "<!DOCTYPE Root>\n" + in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="kept"/>)"
                                               R"(<Settings ID="2" Name="a&nbsp;b"/>)"));
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 5u);
    EXPECT_EQ(setting_names(parser), (std::vector<std::string>{"kept"}));
    auto errors = entries_at(logger, LogLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text.rfind("Error: undefined entity at " + path + ":2:", 0), 0u) << errors[0].text;
}

// The bytes of a UTF-16 text, after a byte-order mark when `bom` is set.
std::string utf16_bytes(std::u16string_view text, bool big_endian, bool bom) {
    std::string out = !bom ? "" : big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        out += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

// Every file is read as UTF-8 whatever its XML declaration names; only a
// UTF-16 byte-order mark, or a zero byte among the first two (which no UTF-8
// document starts with), selects UTF-16.
TEST(Parser, FilesAreReadAsUtf8WhateverTheDeclarationNames) {
    const std::string records = R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="kept"/>)";
    const std::u16string utf16 =
        u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><Root><Database PrimaryDatabaseUID=\"5\"/>"
        u"<Settings ID=\"1\" Name=\"kept\"/><Settings ID=\"2\" Name=\"Gr\u00F6\u00DFe \u212A\"/></Root>";
    const struct {
        const char* label;
        std::string file;
        std::vector<std::string> names;
        std::string error;  // empty when the file reads to its end
    } cases[] = {
        {"windows-1252 over ASCII",
         R"(<?xml version="1.0" encoding="windows-1252"?>)" + in_root(records + R"(<Settings ID="2" Name="end"/>)"),
         {"kept", "end"}, ""},
        {"made-up name", R"(<?xml version="1.0" encoding="x-no-such-thing"?>)" + in_root(records), {"kept"}, ""},
        {"misspelt utf8", R"(<?xml version="1.0" encoding="utf8"?>)" + in_root(records), {"kept"}, ""},
        {"ISO-8859-1 with a Latin-1 byte",
         R"(<?xml version="1.0" encoding="ISO-8859-1"?>)" +
             in_root(records + "<Settings ID=\"2\" Name=\"caf\xE9\"/><Settings ID=\"3\" Name=\"lost\"/>"),
         {"kept"}, "not well-formed (invalid token)"},
        {"US-ASCII over UTF-8",
         R"(<?xml version="1.0" encoding="US-ASCII"?>)" +
             in_root(records + "<Settings ID=\"2\" Name=\"Gr\xC3\xB6\xC3\x9F" "e\"/>"),
         {"kept", "Gr\xC3\xB6\xC3\x9F" "e"}, ""},
        {"UTF-16 little-endian", utf16_bytes(utf16, false, true), {"kept", "Gr\xC3\xB6\xC3\x9F" "e \xE2\x84\xAA"}, ""},
        {"UTF-16 big-endian", utf16_bytes(utf16, true, true), {"kept", "Gr\xC3\xB6\xC3\x9F" "e \xE2\x84\xAA"}, ""},
        {"UTF-16 little-endian without a byte-order mark", utf16_bytes(utf16, false, false),
         {"kept", "Gr\xC3\xB6\xC3\x9F" "e \xE2\x84\xAA"}, ""},
        {"UTF-16 big-endian without a byte-order mark", utf16_bytes(utf16, true, false),
         {"kept", "Gr\xC3\xB6\xC3\x9F" "e \xE2\x84\xAA"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CapturingLogger logger;
        TempDir dir;
        std::string path = dir.write("p.xml", c.file);
        Parser parser;
        parser.parse_file(path, true);
        EXPECT_EQ(parser.primary_db_id, 5u);
        EXPECT_EQ(setting_names(parser), c.names);
        auto errors = entries_at(logger, LogLevel::Error);
        if (c.error.empty()) {
            EXPECT_TRUE(errors.empty()) << errors[0].text;
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].text.rfind("Error: " + c.error + " at " + path + ":1:", 0), 0u) << errors[0].text;
        }
    }
}

// References are decoded; literal tabs and line ends become blanks, while
// those written as character references are kept.
TEST(Parser, AttributeValuesAreDecodedAndNormalised) {
    const struct {
        const char* label;
        std::string settings;
        std::string name;
        std::string value;
    } cases[] = {
        {"references", R"(<Settings Name="A &amp; B" Value="&#65;&#x42;&lt;&gt;&apos;&quot;"/>)", "A & B",
         "AB<>'\""},
        {"white space", "<Settings Name=\"a\tb\nc\r\nd\" Value=\" x&#9;y&#10;z&#13; \"/>", "a b c d", " x\ty\nz\r "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        std::string path = dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)" + c.settings));
        Parser parser;
        parser.parse_file(path, true);
        ASSERT_EQ(parser.settings.size(), 1u);
        EXPECT_EQ(parser.settings[0].name, c.name);
        EXPECT_EQ(parser.settings[0].value, c.value);
    }
}

TEST(Parser, FileWithoutRootElement) {
    for (const char* text : {"", R"(<?xml version="1.0"?>)", "   \n"}) {
        SCOPED_TRACE(text);
        CapturingLogger logger;
        TempDir dir;
        std::string path = dir.write("p.xml", text);
        Parser library;
        EXPECT_NO_THROW(library.parse_file(path, false));
        auto errors = entries_at(logger, LogLevel::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].text.rfind("Error: no element found at " + path, 0), 0u) << errors[0].text;

        Parser project;
        EXPECT_EQ(stop_of([&] { project.parse_file(path, true); }).message(), "Missing database id");
    }
}

TEST(Parser, TruncatedFileKeepsCompleteStartTags) {
    CapturingLogger logger;
    TempDir dir;
    std::string path = dir.write("p.xml", R"(<Root><Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="a">)"
                                          R"(<Settings ID="2" Name="b"/><Settings ID="3" Na)");
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 5u);
    EXPECT_EQ(setting_names(parser), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(entries_at(logger, LogLevel::Error).size(), 1u);
}

TEST(Parser, ByteOrderMarkIsAccepted) {
    TempDir dir;
    std::string path =
        dir.write("p.xml", "\xEF\xBB\xBF" + in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1"/>)"));
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 5u);
    EXPECT_EQ(parser.settings.size(), 1u);
}

TEST(Parser, UnreadableFiles) {
    TempDir dir;
    std::string good = dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)"));
    std::string missing = (dir.path() / "missing.xml").string();
    Parser parser;
    parser.parse_file(good, true);
    FatalStop stop = stop_of([&] { parser.parse_file(missing, false); });
    EXPECT_EQ(stop.message(), "Could not open file " + missing + ": No such file or directory (os error 2)");

    // A directory opens but does not read: a reader error, not a stop.
    CapturingLogger logger;
    EXPECT_NO_THROW(parser.parse_file(dir.path().string(), false));
    auto errors = entries_at(logger, LogLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "Error: Is a directory (os error 21) at " + dir.path().string());
}

TEST(Parser, NamespacedAttributesAreReadByLocalName) {
    TempDir dir;
    std::string path = dir.write(
        "p.xml",
        in_root(R"(<Database PrimaryDatabaseUID="5"/>)"
                R"(<Settings xmlns:a="urn:a" xmlns:b="urn:b" xmlns="urn:d")"
                R"( a:ID="4" a:Name="first" b:Name="second" Other="o"/>)"));
    Parser parser;
    std::string out = testing::capture_fd(1, [&] { parser.parse_file(path, true); });
    ASSERT_EQ(parser.settings.size(), 1u);
    EXPECT_EQ(parser.settings[0].id, 4u);
    EXPECT_EQ(parser.settings[0].name, "second");
    // Namespace declarations are not attributes of the record.
    EXPECT_EQ(out, "Skipping: Other = \"o\"\n");
}

TEST(Parser, SecondTopLevelElementIsAReaderError) {
    CapturingLogger logger;
    TempDir dir;
    std::string path = dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1"/>)") +
                                              in_root(R"(<Database PrimaryDatabaseUID="6"/><Settings ID="2"/>)"));
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.primary_db_id, 5u);
    EXPECT_EQ(parser.settings.size(), 1u);
    auto errors = entries_at(logger, LogLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text.rfind("Error: junk after document element at " + path + ":1:", 0), 0u) << errors[0].text;
}

TEST(Parser, XmlDeclarationVersionIsNotChecked) {
    TempDir dir;
    std::string path = dir.write(
        "p.xml", R"(<?xml version="2.0"?>)" + in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1"/>)"));
    Parser parser;
    parser.parse_file(path, true);
    EXPECT_EQ(parser.settings.size(), 1u);
}

TEST(Parser, ReadsAcrossBufferBoundaries) {
    std::string body = R"(<Database PrimaryDatabaseUID="5"/>)";
    const int count = 3000;
    for (int i = 1; i <= count; ++i) {
        body += "<Settings ID=\"" + std::to_string(i) + "\" Name=\"n" + std::to_string(i) + "\" Value=\"" +
                std::string(static_cast<size_t>(i % 37), 'v') + "\"/>\n";
    }
    TempDir dir;
    std::string path = dir.write("p.xml", in_root(body));
    Parser parser;
    parser.parse_file(path, true);
    ASSERT_EQ(parser.settings.size(), static_cast<size_t>(count));
    for (int i = 1; i <= count; ++i) {
        const Setting* s = parser.settings.find(Link(5, static_cast<uint32_t>(i)).combined_id);
        ASSERT_NE(s, nullptr) << i;
        // Compared as number text and prefix, not as `"n" + std::to_string(i)`:
        // that sum trips a false -Wrestrict of GCC 12 at -O3.
        ASSERT_EQ(s->name.substr(0, 1), "n") << i;
        ASSERT_EQ(s->name.substr(1), std::to_string(i));
        ASSERT_EQ(s->value.size(), static_cast<size_t>(i % 37));
    }
}

TEST(Parser, ElementWithoutConstructionIsNotStored) {
    TempDir dir;
    std::string path = dir.write(
        "p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)"
                         R"(<Elements ID="1" ConstructionLink="None"/><Elements ID="2" ConstructionLink="0:3"/>)"));
    Parser parser;
    parser.parse_file(path, true);
    ASSERT_EQ(parser.elements.size(), 1u);
    EXPECT_EQ(parser.elements[0].id, 2u);
    EXPECT_EQ(parser.elements[0].parsed_construction_link, Link(5, 3));
}

TEST(Parser, FatalStopInALibraryFileNamesThePlace) {
    TempDir dir;
    std::string project = dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)"));
    std::string library = dir.write("lib.xml",
                                    "<Root>\n  <Database PrimaryDatabaseUID=\"6\"/>\n"
                                    "  <OperationUtilities ID=\"7\" Order=\"1.5\" Name=\"x\"/>\n</Root>");
    Parser parser;
    parser.parse_file(project, true);
    FatalStop stop = stop_of([&] { parser.parse_file(library, false); });
    EXPECT_EQ(stop.message(), kInvalidDigit);
    const std::string what = stop.what();
    const std::vector<std::string> parts = {kInvalidDigit, "attribute Order=\"1.5\"", "file " + library + ":3:3",
                                            "element OperationUtilities", "ID=7"};
    for (const std::string& part : parts) {
        EXPECT_NE(what.find(part), std::string::npos) << part << " in " << what;
    }
}

// The input bytes that set a call's memory limit: what the reader consumed
// of each file, up to its end or its reader error, each file once.
TEST(Parser, CountsTheBytesReadOfEachFileOnce) {
    TempDir dir;
    const std::string whole = in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" Name="a"/>)");
    const std::string good_start = R"(<Root><Database PrimaryDatabaseUID="5"/><Settings ID="1"/>)";
    const std::string file = dir.write("whole.xml", whole);
    const std::string cut = dir.write("cut.xml", good_start + R"(<Settings ID="2" Na)");
    const std::string not_xml = dir.write("text.xml", "plain text, not a document\n");
    // Three gigabytes, all but the start a hole that reads as zero bytes.
    const std::string sparse = dir.write("sparse.xml", good_start);
    std::filesystem::resize_file(sparse, uint64_t{3} << 30);
    const std::string link = (dir.path() / "link.xml").string();
    std::filesystem::create_hard_link(file, link);

    const struct {
        const char* label;
        std::vector<std::string> paths;
        uint64_t bytes;
    } cases[] = {
        {"a whole file", {file}, whole.size()},
        {"files add up", {file, cut}, whole.size() + good_start.size()},
        {"a cut file: up to its unfinished tag", {cut}, good_start.size()},
        {"not XML at all", {not_xml}, 0},
        {"a sparse file: up to its first zero byte", {sparse}, good_start.size()},
        {"a directory", {dir.path().string()}, 0},
        {"one path thrice", {file, file, file}, whole.size()},
        {"one file under two names", {file, link}, whole.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Parser parser;
        testing::capture_fd(2, [&] {
            for (const std::string& path : c.paths) parser.parse_file(path, false);
        });
        EXPECT_EQ(parser.bytes_read(), c.bytes);
    }
}

TEST(Parser, CountsWhatCameThroughAPipe) {
    // More than a pipe holds, so that the reader reads while the writer writes.
    std::string body = R"(<Database PrimaryDatabaseUID="5"/>)";
    const size_t count = 5000;
    for (size_t i = 1; i <= count; ++i) body += "<Settings ID=\"" + std::to_string(i) + "\" Name=\"piped\"/>\n";
    const std::string content = in_root(body);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        std::string_view left = content;
        while (!left.empty()) {
            const ssize_t n = ::write(fds[1], left.data(), left.size());
            if (n <= 0) break;
            left.remove_prefix(static_cast<size_t>(n));
        }
        ::close(fds[1]);
    });
    Parser parser;
    parser.parse_file("/dev/fd/" + std::to_string(fds[0]), true);
    writer.join();
    ::close(fds[0]);
    EXPECT_EQ(parser.settings.size(), count);
    EXPECT_EQ(parser.bytes_read(), content.size());
}

size_t open_descriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

TEST(Parser, FilesAreClosedOnEveryPath) {
    TempDir dir;
    const std::vector<std::string> paths = {
        dir.write("ok.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1"/>)")),
        dir.write("stop.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="x"/>)")),
        dir.write("error.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="1" ID="2"/>)")),
        dir.write("empty.xml", ""),
    };
    const size_t before = open_descriptors();
    for (int round = 0; round < 3; ++round) {
        for (const std::string& path : paths) {
            Parser parser;
            try {
                parser.parse_file(path, true);
            } catch (const FatalStop&) {
            }
        }
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Parser, FinalCheck) {
    const struct {
        const char* label;
        std::string body;
        const char* message;  // "" for success
    } cases[] = {
        {"generic database present", kGenDkSetting, ""},
        {"no UID setting", R"(<Settings ID="1" Name="Other" Value="3735928559"/>)", "Missing GEN_DK"},
        {"lower-case name", R"(<Settings ID="1" Name="uid" Value="3735928559"/>)", "Missing GEN_DK"},
        {"name with a blank", R"(<Settings ID="1" Name="UID " Value="3735928559"/>)", "Missing GEN_DK"},
        {"other database only", R"(<Settings ID="1" Name="UID" Value="5"/>)", "Missing GEN_DK"},
        {"bad UID after the match", std::string(kGenDkSetting) + R"(<Settings ID="2" Name="UID" Value="x"/>)",
         kInvalidDigit},
        {"bad UID before the match", R"(<Settings ID="2" Name="UID" Value="x"/>)" + std::string(kGenDkSetting),
         kInvalidDigit},
        {"value with a blank", R"(<Settings ID="1" Name="UID" Value=" 3735928559"/>)", kInvalidDigit},
        {"value with plus", R"(<Settings ID="1" Name="UID" Value="+3735928559"/>)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        Parser parser;
        parser.parse_file(dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)" + c.body)), true);
        if (*c.message == '\0') {
            EXPECT_NO_THROW(parser.assert_tables());
        } else {
            FatalStop stop = stop_of([&] { parser.assert_tables(); });
            EXPECT_EQ(stop.message(), c.message);
        }
    }

    TempDir dir;
    Parser zero;
    zero.parse_file(dir.write("p.xml", in_root(R"(<Database PrimaryDatabaseUID="0"/>)" + std::string(kGenDkSetting))),
                    true);
    EXPECT_EQ(zero.settings[0].link.database_id, 0u);
    EXPECT_EQ(stop_of([&] { zero.assert_tables(); }).message(), "Missing primary_db_id");

    Parser bad;
    bad.parse_file(
        dir.write("b.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/><Settings ID="2" Name="UID" Value="x"/>)")),
        true);
    FatalStop stop = stop_of([&] { bad.assert_tables(); });
    EXPECT_NE(stop.context().find("5:2"), std::string::npos) << stop.what();
}

TEST(Parser, ElectricityUtilityOfTheGenericDatabase) {
    const std::string gen = R"(<Database PrimaryDatabaseUID="3735928559"/>)";
    const struct {
        const char* label;
        std::string body;
        uint64_t id;  // 0: not found
    } cases[] = {
        {"none", "", 0},
        {"generic heat only", gen + R"(<OperationUtilities ID="1" IsElectricity="false"/>)", 0},
        {"electricity of another database",
         R"(<Database PrimaryDatabaseUID="5"/><OperationUtilities ID="1" IsElectricity="true"/>)" + gen, 0},
        {"first qualifying in table order",
         gen + R"(<OperationUtilities ID="1" IsElectricity="false"/><OperationUtilities ID="4" IsElectricity="True"/>)"
               R"(<OperationUtilities ID="2" IsElectricity="true"/>)",
         Link(GEN_DK_DB_ID, 4).combined_id},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        Parser parser;
        parser.parse_file(dir.write("l.xml", in_root(R"(<Database PrimaryDatabaseUID="5"/>)" + c.body)), false);
        auto found = parser.get_electricity_utility();
        if (c.id == 0) {
            ASSERT_FALSE(found.ok());
            EXPECT_EQ(found.error(), "Could not find electricity utility");
        } else {
            ASSERT_TRUE(found.ok());
            EXPECT_EQ(found.value(), c.id);
        }
    }
}

}  // namespace
}  // namespace mirelo
