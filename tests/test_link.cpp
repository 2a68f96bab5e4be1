// Record identifiers and the calculation error value.
#include <gtest/gtest.h>

#include <string>

#include "json.hpp"
#include "link.hpp"
#include "shared_error.hpp"

namespace mirelo {
namespace {

struct GoodLink {
    const char* text;
    uint32_t parent_db_uid;
    uint32_t database_id;
    uint32_t row_id;
    uint64_t combined_id;
    const char* display;
};

TEST(LinkParse, ReadsDatabaseAndRowParts) {
    const GoodLink cases[] = {
        {"0:17", 5, 5, 17, 73014444037ull, "5:17"},  // 0 stands for the file's own database
        {"7:0", 5, 7, 0, 7, "7:0"},                  // row 0 is a row like any other
        {"+3:+4", 9, 3, 4, (4ull << 32) | 3, "3:4"},
        {"007:08", 9, 7, 8, (8ull << 32) | 7, "7:8"},
        {"0:5", 0, 0, 5, 5ull << 32, "0:5"},
        {"4294967295:4294967295", 1, 4294967295u, 4294967295u, 0xFFFFFFFFFFFFFFFFull, "4294967295:4294967295"},
    };
    for (const GoodLink& c : cases) {
        SCOPED_TRACE(c.text);
        const Link link = Link::parse(c.text, c.parent_db_uid);
        EXPECT_EQ(link.database_id, c.database_id);
        EXPECT_EQ(link.row_id, c.row_id);
        EXPECT_EQ(link.combined_id, c.combined_id);
        EXPECT_EQ(link.to_string(), c.display);
    }
}

TEST(LinkParse, SameRecordFromAnyTextHasOneCombinedId) {
    EXPECT_EQ(Link::parse("0:9", 4), Link::parse("4:9", 77));
    EXPECT_EQ(Link::parse("0:9", 4).combined_id, Link(4, 9).combined_id);
}

TEST(LinkParse, MalformedTextsStopWithTheirMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "Not a full link (Missing colon)"},
        {"None", "Not a full link (Missing colon)"},
        {"12", "Not a full link (Missing colon)"},
        {"3:4:5", "u32: invalid digit found in string"},  // the second colon stays in the row part
        {":5", "u32: cannot parse integer from empty string"},
        {"5:", "u32: cannot parse integer from empty string"},
        {" 5:1", "u32: invalid digit found in string"},
        {"5:1 ", "u32: invalid digit found in string"},
        {"4294967296:1", "u32: number too large to fit in target type"},
        {"-1:2", "u32: invalid digit found in string"},
        {"x:99999999999", "u32: invalid digit found in string"},  // the database part is judged first
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        try {
            (void)Link::parse(text, 1);
            ADD_FAILURE() << "expected a fatal stop";
        } catch (const FatalStop& stop) {
            EXPECT_EQ(stop.message(), message);
        }
    }
}

TEST(Link, CombinedIdRoundTripsAndEncodes) {
    const Link link = Link::parse_from_combined_id((12ull << 32) | 7);
    EXPECT_EQ(link.database_id, 7u);
    EXPECT_EQ(link.row_id, 12u);
    EXPECT_EQ(link.combined_id, Link(7, 12).combined_id);

    auto json = json::encode(link);
    ASSERT_TRUE(json.ok());
    EXPECT_EQ(json.value(), R"({"database_id":7,"row_id":12,"combined_id":51539607559})");
}

TEST(SharedError, DisplayIsThePayloadAloneAndDebugNamesTheVariant) {
    const SharedError stage = SharedError::missing_stage("Missing stage A1_3");
    EXPECT_EQ(stage.display(), "Missing stage A1_3");
    EXPECT_EQ(stage.description(), "Missing stage A1_3");
    EXPECT_EQ(stage.debug(), "MissingStage(\"Missing stage A1_3\")");

    const SharedError quoted = SharedError::missing_indicator("Missing indicator \"x\"\n");
    EXPECT_EQ(quoted.debug(), "MissingIndicator(\"Missing indicator \\\"x\\\"\\n\")");

    const SharedError io = SharedError::io({2, "No such file or directory"});
    EXPECT_EQ(io.display(), "No such file or directory");
    EXPECT_EQ(io.kind(), SharedError::Kind::Io);

    // Every variant has a number of its own, none of them the "no error" one.
    const SharedError all[] = {io,
                               SharedError::cffi_type_error("a"),
                               stage,
                               quoted,
                               SharedError::missing_indicator_group("b"),
                               SharedError::skipping_stage_calculation("c")};
    for (size_t i = 0; i < std::size(all); ++i) {
        EXPECT_NE(all[i].get_error_number(), NO_ERROR_INT);
        for (size_t j = 0; j < i; ++j) EXPECT_NE(all[i].get_error_number(), all[j].get_error_number());
    }
}

TEST(FatalStop, ContextFollowsTheMessageWithoutChangingIt) {
    FatalStop stop("no entry found for key");
    EXPECT_STREQ(stop.what(), "no entry found for key");
    stop.add_context("Element 5:3 refers to constructions 5:12");
    stop.add_context("file a.xml:3:7");
    EXPECT_EQ(stop.message(), "no entry found for key");
    EXPECT_STREQ(stop.what(), "no entry found for key (Element 5:3 refers to constructions 5:12, file a.xml:3:7)");
}

}  // namespace
}  // namespace mirelo
