#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "lib.hpp"
#include "mirelo.h"
#include "test_support.hpp"

namespace mirelo {
namespace {

using testing::call_exported;
using testing::CallResult;
using testing::capture_fd;
using testing::example_path;
using testing::line_count;
using testing::read_file;
using testing::TempDir;

// Pieces of a small generic database; the stage links are put in per test.
std::string generic_db(std::string_view stage_links, bool with_uid = true, std::string_view lifespan = "20") {
    std::string xml = R"(<Db><Database PrimaryDatabaseUID="3735928559"/>)";
    if (with_uid) xml += R"(<Settings ID="1" Name="UID" Value="3735928559"/>)";
    xml += R"(
<Sources ID="1" Name="Generic" Official="true" Readonly="true"/>
<OperationUtilities ID="1" Name="Electricity" Order="1" IsElectricity="true"/>
<OperationUtilities ID="2" Name="Heat" Order="2" IsElectricity="false"/>
<OperationScenarios ID="1" Name="Base" Description=""/>
<OperationDataPoints ID="1" ScenarioID="1" Year="2020"/>
<OperationDataPoints ID="2" ScenarioID="1" Year="2030"/>
<OperationIndicatorGroups ID="1" DataPointID="1" UtilityID="1" GWP="0.5"/>
<OperationIndicatorGroups ID="2" DataPointID="1" UtilityID="2" GWP="0.2"/>
<OperationIndicatorGroups ID="3" DataPointID="2" UtilityID="1" GWP="0.3"/>
<OperationIndicatorGroups ID="4" DataPointID="2" UtilityID="2" GWP="0.1"/>
<SuperCategories ID="1" Name="Envelope" Order="1"/>
<Categories ID="1" IsStage="false" Name="Walls" Order="1" SuperCategoryID="1" Units="m2"/>
<Categories ID="9" IsStage="true" Name="Stage data" Order="1" SuperCategoryID="None" Units="kg"/>
<Constructions ID="1" CategoryID="1" SourceID="1" Name="Wall" Unit="m2" Comment=""/>
<ProductLinks ID="1" ConstructionID="1" ProductLink="0:1" Order="1" Amount="10" Density="1" Lifespan=")";
    xml += lifespan;
    xml += R"(" Transport="0"/>
<Products ID="1" SourceID="1" Name="Brick" Comment=""/>
<Stages ID="1" CategoryID="9" SourceID="1" Name="Brick A" Stage="a1_3" StageUnit="kg" IndicatorUnit="kg" Factor="1" Quantity="1" GWP="0.25"/>
<Stages ID="2" CategoryID="9" SourceID="1" Name="Brick C3" Stage="c3" StageUnit="kg" IndicatorUnit="kg" Factor="1" Quantity="1" GWP="0.01"/>
)";
    xml += stage_links;
    xml += "</Db>\n";
    return xml;
}

constexpr std::string_view GOOD_STAGES = R"(<StageLinks ID="1" ProductID="1" StageLink="0:1" Stage="a1_3"/>
<StageLinks ID="2" ProductID="1" StageLink="0:2" Stage="c3"/>)";
constexpr std::string_view NO_A1_3 = R"(<StageLinks ID="2" ProductID="1" StageLink="0:2" Stage="c3"/>)";

constexpr std::string_view BUILDING =
    R"(<Buildings ID="1" OperationID="1" SourceID="1" Name="House" FloorArea="100" InitialYear="2025" CalculationTimeSpan="10"/>)";

std::string project(std::string_view buildings = BUILDING, std::string_view db_id = "7",
                    std::string_view scenario_link = "3735928559:1") {
    std::string xml = "<P><Database PrimaryDatabaseUID=\"";
    xml += db_id;
    xml += "\"/>\n";
    xml += R"(<Sources ID="1" Name="Own" Official="false" Readonly="false"/>)";
    xml += buildings;
    xml += R"(<Operations ID="1" ElectricityConsumption="10" HeatingConsumption="20" HeatSupplyUtilityLink="3735928559:2" ScenarioLink=")";
    xml += scenario_link;
    xml += R"("/>
<Elements ID="1" BuildingID="1" ConstructionLink="3735928559:1" SourceID="1" Enabled="true" Name="Wall" Amount="5" Order="1" Comment=""/>
</P>
)";
    return xml;
}

// The input files of one case, written into a temporary directory.
struct Inputs {
    TempDir dir;
    std::string project_path;
    std::vector<std::string> libraries;

    Inputs(std::string_view project_xml, std::string_view generic_xml) {
        project_path = dir.write("project.xml", project_xml);
        libraries.push_back(dir.write("generic.xml", generic_xml));
    }
};

// A strict recursive-descent check that a text is exactly one JSON value.
class JsonChecker {
public:
    explicit JsonChecker(std::string_view text) : s_(text) {}
    bool valid() {
        if (!value()) return false;
        return pos_ == s_.size();
    }

private:
    bool value() {
        if (pos_ >= s_.size()) return false;
        switch (s_[pos_]) {
            case '{': return container('}', true);
            case '[': return container(']', false);
            case '"': return string();
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return number();
        }
    }
    bool container(char close, bool object) {
        ++pos_;
        if (peek(close)) return ++pos_, true;
        for (;;) {
            if (object) {
                if (!string() || !peek(':')) return false;
                ++pos_;
            }
            if (!value()) return false;
            if (peek(close)) return ++pos_, true;
            if (!peek(',')) return false;
            ++pos_;
        }
    }
    bool string() {
        if (!peek('"')) return false;
        for (++pos_; pos_ < s_.size(); ++pos_) {
            unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c < 0x20) return false;
            if (c == '"') return ++pos_, true;
            if (c == '\\') {
                if (++pos_ >= s_.size()) return false;
                char e = s_[pos_];
                if (e == 'u') {
                    if (pos_ + 4 >= s_.size()) return false;
                    for (int i = 1; i <= 4; ++i)
                        if (!std::isxdigit(static_cast<unsigned char>(s_[pos_ + i]))) return false;
                    pos_ += 4;
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        size_t start = pos_;
        if (peek('-')) ++pos_;
        if (!digits()) return false;
        if (s_[start] == '-' ? s_[start + 1] == '0' && pos_ - start > 2 : s_[start] == '0' && pos_ - start > 1)
            return false;
        if (peek('.')) {
            ++pos_;
            if (!digits()) return false;
        }
        if (peek('e') || peek('E')) {
            ++pos_;
            if (peek('+') || peek('-')) ++pos_;
            if (!digits()) return false;
        }
        return true;
    }
    bool digits() {
        size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }
    bool literal(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    bool peek(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

    std::string_view s_;
    size_t pos_ = 0;
};

TEST(JsonCheckerTest, TellsValidFromInvalid) {
    for (std::string_view good : {R"({"a":[1,-0.5,2e3,true,null,"x\"y\u00e9"],"b":{}})", "[]", "0"}) {
        EXPECT_TRUE(JsonChecker(good).valid()) << good;
    }
    for (std::string_view bad : {"{", R"({"a":1,})", "[1 2]", "01", R"({"a"})", "{}x", "\"\x01\""}) {
        EXPECT_FALSE(JsonChecker(bad).valid()) << bad;
    }
}

// Every stop on the worker ends in the empty text and exactly one line.
TEST(SafeProcessTest, FatalStopGivesEmptyTextAndOneDiagnosticLine) {
    struct Case {
        const char* name;
        std::string project_xml;
        std::string generic_xml;
        const char* message;
    };
    const Case cases[] = {
        {"no generic database id", project(), generic_db(GOOD_STAGES, false), "Missing GEN_DK"},
        {"primary database id 0", project(BUILDING, "0"), generic_db(GOOD_STAGES), "Missing primary_db_id"},
        {"no building", project(""), generic_db(GOOD_STAGES), "index out of bounds"},
        {"link without colon", project(BUILDING, "7", "3735928559-1"), generic_db(GOOD_STAGES),
         "Not a full link (Missing colon)"},
        {"lifespan 0 in the calculation", project(), generic_db(GOOD_STAGES, true, "0"),
         "attempted to divide by zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Inputs in(c.project_xml, c.generic_xml);
        std::string result = "not run";
        std::string err = capture_fd(2, [&] { result = safe_process(in.project_path, in.libraries, ""); });
        EXPECT_EQ(result, "");
        EXPECT_EQ(line_count(err), 1u) << err;
        EXPECT_EQ(err.rfind("Error: fatal: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.back(), '\n');
    }

    TempDir dir;
    std::string result = "not run";
    std::string err =
        capture_fd(2, [&] { result = safe_process((dir.path() / "missing.xml").string(), {}, ""); });
    EXPECT_EQ(result, "");
    EXPECT_EQ(line_count(err), 1u) << err;
}

TEST(ProcessTest, ProductErrorIsReportedAndTheTreeStillReturned) {
    Inputs in(project(), generic_db(NO_A1_3));
    std::string json;
    std::string err = capture_fd(2, [&] { json = safe_process(in.project_path, in.libraries, ""); });
    EXPECT_EQ(err, "Error: Missing stage A1_3\n");
    EXPECT_EQ(json.rfind(R"({"node_type":"Root","children":[{"node_type":"Building")", 0), 0u);
    EXPECT_TRUE(JsonChecker(json).valid());

    // The energy branch is calculated, but nothing is summed up the tree.
    RootNode root;
    capture_fd(2, [&] { root = calculated_tree(read_inputs(in.project_path, in.libraries)); });
    const BuildingNode& building = root.children.at(0);
    EXPECT_TRUE(building.operation_child.children.at(0).results.stages.contains("b6"));
    EXPECT_TRUE(building.operation_child.results.stages.empty());
    EXPECT_TRUE(building.all_elements_child.results.stages.empty());
    EXPECT_TRUE(building.results.stages.empty());
    EXPECT_FALSE(building.results.weight.has_value());
}

TEST(ProcessTest, SuccessfulRunSumsUpToTheBuilding) {
    Inputs in(project(), generic_db(GOOD_STAGES));
    std::string err;
    RootNode root;
    err = capture_fd(2, [&] { root = calculated_tree(read_inputs(in.project_path, in.libraries)); });
    EXPECT_EQ(err, "");
    const TreeResults& results = root.children.at(0).results;
    for (std::string_view stage : {"a1_3", "b4", "b6", "c3", "sum"}) {
        EXPECT_TRUE(results.stages.contains(stage)) << stage;
    }
    ASSERT_TRUE(results.weight.has_value());
    EXPECT_EQ(*results.weight, 50.0);  // 5 m2 x 10 kg/m2 x quantity 1
}

TEST(ProcessTest, OutputFileGetsExactlyTheReturnedBytes) {
    Inputs in(project(), generic_db(GOOD_STAGES));
    std::string out_path = in.dir.write("out.json", std::string(100000, 'x'));  // longer: must be truncated
    std::string json = process(in.project_path, in.libraries, out_path, {}).str();
    ASSERT_FALSE(json.empty());
    EXPECT_EQ(read_file(out_path), json);

    std::string again = process(in.project_path, in.libraries, "", {}).str();
    EXPECT_EQ(again, json);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(in.dir.path())) ++entries;
    EXPECT_EQ(entries, 3u);  // project, generic database, out.json: nothing new

    std::string missing_dir = (in.dir.path() / "no-such-dir" / "out.json").string();
    std::string result = "not run";
    std::string err = capture_fd(2, [&] { result = safe_process(in.project_path, in.libraries, missing_dir); });
    EXPECT_EQ(result, "");
    EXPECT_EQ(line_count(err), 1u) << err;
    EXPECT_NE(err.find("no-such-dir"), std::string::npos) << err;
}

// A file that did not receive the whole text must not pass for written,
// whether the text is short or long.
TEST(WritePayloadTest, WriteFailureIsFatalWhateverThePayloadSize) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    for (size_t size : {size_t{1}, size_t{8191}, size_t{8192}, size_t{100000}}) {
        SCOPED_TRACE(size);
        EXPECT_THROW(write_payload_to_file(std::string(size, 'a'), "/dev/full"), FatalStop);
    }
}

TEST(ProcessTest, ExampleProjectRunsEndToEndAndIsStable) {
    std::string project_path = example_path("project.xml");
    std::string generic_path = example_path("generic_db.xml");
    CallResult first, second;
    std::string err = capture_fd(2, [&] {
        first = call_exported(project_path, {generic_path});
        second = call_exported(project_path, {generic_path});
    });
    EXPECT_EQ(err, "");
    ASSERT_FALSE(first.null);
    EXPECT_GT(first.text.size(), 10000u);
    EXPECT_TRUE(JsonChecker(first.text).valid());
    EXPECT_NE(first.text.back(), '\n');
    EXPECT_EQ(second.text, first.text);
}

// The example is meant to show the main features of the calculation; this
// keeps edits of the example data from losing them.
TEST(ProcessTest, ExampleProjectCoversTheCalculation) {
    RootNode root = calculated_tree(read_inputs(example_path("project.xml"), {example_path("generic_db.xml")}));
    ASSERT_EQ(root.children.size(), 1u);
    const BuildingNode& building = root.children[0];

    const TreeResultStage* b6 = building.results.stages.find("b6");
    ASSERT_NE(b6, nullptr);
    const TreeResultIndicator* gwp = b6->indicators.find("gwp");
    ASSERT_NE(gwp, nullptr);
    const uint32_t first = building.datamodel.initial_year;
    const uint32_t last = first + building.datamodel.calculation_timespan - 1;
    EXPECT_EQ(gwp->years.size(), building.datamodel.calculation_timespan + 1u);  // every year and the total
    // Interpolated years: three consecutive years that keep changing in one direction.
    bool interpolated = false;
    for (uint32_t y = first + 1; y < last; ++y) {
        const TreeResultYear* prev = gwp->years.find(y - 1);
        const TreeResultYear* cur = gwp->years.find(y);
        const TreeResultYear* next = gwp->years.find(y + 1);
        ASSERT_TRUE(prev && cur && next) << y;
        if ((prev->value - cur->value) * (cur->value - next->value) > 0) interpolated = true;
    }
    EXPECT_TRUE(interpolated);

    bool replacement = false, demolition = false, benefit = false;
    for (const auto& super_category : building.all_elements_child.children)
        for (const auto& category : super_category.children)
            for (const auto& element : category.children)
                for (const auto& construction : element.children)
                    for (const auto& product : construction.children) {
                        if (product.calc_replacements > 0) replacement = true;
                        if (element.datamodel.amount < 0 && product.calc_demo_weight > 0) demolition = true;
                        for (const auto& stage : product.children)
                            if (stage.results.stages.contains("d")) benefit = true;
                    }
    EXPECT_TRUE(replacement);
    EXPECT_TRUE(demolition);
    EXPECT_TRUE(benefit);
}

TEST(CApiTest, InvalidUtf8PathIsRefusedWithTwoLines) {
    struct Case {
        std::string path;
        size_t valid_up_to;
    };
    const Case cases[] = {
        {"abc\xff.xml", 3},
        {"ab\xc0\xaf", 2},                 // overlong form of "/"
        {"\xe2\x82\xac\xed\xa0\x80", 3},  // a surrogate after a valid euro sign
        {"x\xf4\x90\x80\x80", 1},         // above U+10FFFF
        {"p\xe2\x82", 1},                 // cut short
        {"\x80", 0},                      // a lone continuation byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.valid_up_to);
        CallResult result;
        result.null = false;
        std::string err = capture_fd(2, [&] { result = call_exported(c.path, {}); });
        EXPECT_TRUE(result.null);
        EXPECT_EQ(err, "Error: invalid utf-8: invalid byte near index " + std::to_string(c.valid_up_to) +
                           "\nError: Error parsing input_xml_path\n");
    }
}

TEST(CApiTest, ArgumentsThatCannotBeUsedGiveNull) {
    TempDir dir;
    std::string good = (dir.path() / "project.xml").string();
    const char* bad_library = "lib\xfe.xml";
    CallResult result;
    result.null = false;
    std::string err = capture_fd(2, [&] { result = call_exported(good, {"ok.xml", bad_library}); });
    EXPECT_TRUE(result.null);
    EXPECT_EQ(err, "Error: invalid utf-8: invalid byte near index 3\nError: Error parsing library_xml_paths\n");

    const char* out = reinterpret_cast<const char*>(1);
    err = capture_fd(2, [&] { out = process_xml_file_to_json(nullptr, nullptr, 0); });
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(line_count(err), 1u);

    out = reinterpret_cast<const char*>(1);
    err = capture_fd(2, [&] { out = process_xml_file_to_json(good.c_str(), nullptr, 2); });
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(line_count(err), 1u);

    free_string(nullptr);
}

TEST(CApiTest, StoppedRunGivesEmptyTextNotNull) {
    // No library at all (a null array of length 0 is allowed): the generic
    // database is missing, so the run stops.
    std::string project_path = example_path("project.xml");
    CallResult result;
    std::string err = capture_fd(2, [&] { result = call_exported(project_path, {}); });
    EXPECT_FALSE(result.null);
    EXPECT_EQ(result.text, "");
    EXPECT_NE(err.find("Missing GEN_DK"), std::string::npos);

    // A valid non-ASCII path passes the check and reaches the reader.
    TempDir dir;
    std::string path = (dir.path() / "ma\xc3\xafs.xml").string();
    err = capture_fd(2, [&] { result = call_exported(path, {}); });
    EXPECT_FALSE(result.null);
    EXPECT_EQ(result.text, "");
    EXPECT_EQ(line_count(err), 1u);
}

}  // namespace
}  // namespace mirelo
