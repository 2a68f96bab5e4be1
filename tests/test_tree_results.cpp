#include "tree_results.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "datamodel_stage.hpp"
#include "json.hpp"
#include "test_support.hpp"
#include "tree.hpp"

namespace mirelo {
namespace {

using testing::ScriptedWriter;
using testing::stage_names;

using Years = std::initializer_list<std::pair<uint32_t, double>>;

TreeResultIndicator make_indicator(std::string name, Years years) {
    TreeResultIndicator indicator(std::move(name));
    for (auto [year, value] : years) indicator.years.insert_or_assign(TreeResultYear(year, value));
    return indicator;
}

// A stage holding one indicator "gwp" with the given years.
TreeResultStage gwp_stage(std::string name, Years years) {
    TreeResultStage stage(std::move(name));
    stage.indicators.insert_or_assign(make_indicator("gwp", years));
    return stage;
}

void put(TreeResults& results, TreeResultStage stage) {
    results.stages.insert_or_assign(std::move(stage));
}

// Year -> value of the indicator "gwp" of a stage, or a note that something is absent.
std::vector<std::pair<uint32_t, double>> gwp_years(const TreeResults& results, std::string_view stage) {
    std::vector<std::pair<uint32_t, double>> out;
    const TreeResultStage* s = results.stages.find(stage);
    if (!s) {
        ADD_FAILURE() << "no stage " << stage;
        return out;
    }
    const TreeResultIndicator* gwp = s->indicators.find("gwp");
    if (!gwp) {
        ADD_FAILURE() << "no gwp in stage " << stage;
        return out;
    }
    for (const TreeResultYear& entry : gwp->years) {
        EXPECT_EQ(YearMap::key_of(entry), entry.year);
        out.emplace_back(entry.year, entry.value);
    }
    return out;
}

using YearList = std::vector<std::pair<uint32_t, double>>;

TEST(ResultTimeSum, StoresTheTotalOfAllYearsUnderFinalYear) {
    const struct {
        const char* what;
        Years years;
        double total;
    } cases[] = {
        {"two years", {{2020, 1.5}, {2070, 2.5}}, 4.0},
        {"an earlier total is counted again", {{2020, 1.5}, {2070, 2.5}, {9999, 10.0}}, 14.0},
        {"only a zero total", {{9999, 0.0}}, 0.0},
        {"no years", {}, 0.0},
        // Ascending order: (1 + 1e16) rounds to 1e16, so the 1 is lost.
        {"years added in ascending order", {{2022, -1e16}, {2020, 1.0}, {2021, 1e16}}, 0.0},
    };
    for (const auto& c : cases) {
        TreeResultIndicator indicator = make_indicator("gwp", c.years);
        size_t before = indicator.years.size() + (indicator.years.contains(FINAL_YEAR) ? 0 : 1);
        indicator.calculate_time_sum();
        const TreeResultYear* total = indicator.years.find(FINAL_YEAR);
        ASSERT_NE(total, nullptr) << c.what;
        EXPECT_EQ(total->year, FINAL_YEAR) << c.what;
        EXPECT_EQ(total->value, c.total) << c.what;
        EXPECT_EQ(indicator.years.size(), before) << c.what;
    }
}

TEST(ResultTimeSum, CoversEveryIndicatorOfEveryStage) {
    TreeResults results;
    TreeResultStage b4a("b4_a");
    b4a.indicators.insert_or_assign(make_indicator("gwp", {{2030, 2.0}}));
    b4a.indicators.insert_or_assign(make_indicator("ser", {{2030, 3.0}, {2040, 4.0}}));
    put(results, std::move(b4a));
    put(results, gwp_stage("sum", {{2020, 5.0}}));
    results.calculate_time_sum();

    EXPECT_EQ(gwp_years(results, "b4_a"), (YearList{{2030, 2.0}, {9999, 2.0}}));
    EXPECT_EQ(results.stages.find("b4_a")->indicators.find("ser")->years.find(FINAL_YEAR)->value, 7.0);
    EXPECT_EQ(gwp_years(results, "sum"), (YearList{{2020, 5.0}, {9999, 5.0}}));
}

TEST(ResultStageSums, B4IsMadeFromItsPartsOnly) {
    TreeResults results;
    put(results, gwp_stage("c3", {{2070, 1.0}, {9999, 1.0}}));
    put(results, gwp_stage("b4_c", {{2050, 2.0}, {2070, 0.5}, {9999, 2.5}}));
    ASSERT_FALSE(results.calculate_stage_sums());

    EXPECT_EQ(stage_names(results), (std::vector<std::string>{"b4", "b4_c", "c3", "sum"}));
    EXPECT_EQ(results.stages.find("b4")->stage, "b4");
    EXPECT_EQ(gwp_years(results, "b4"), gwp_years(results, "b4_c"));
    // "b4_c" reaches "sum" through "b4" only, once.
    EXPECT_EQ(gwp_years(results, "sum"), (YearList{{2050, 2.0}, {2070, 1.5}, {9999, 3.5}}));

    // Both parts: a year only one of them has keeps that one's value.
    TreeResults both;
    put(both, gwp_stage("b4_a", {{2040, 1.0}, {9999, 1.0}}));
    put(both, gwp_stage("b4_c", {{2050, 2.0}, {9999, 2.0}}));
    ASSERT_FALSE(both.calculate_b4_stage_sum());
    EXPECT_EQ(gwp_years(both, "b4"), (YearList{{2040, 1.0}, {2050, 2.0}, {9999, 3.0}}));
}

TEST(ResultStageSums, WithoutB4PartsAnEarlierB4Stays) {
    TreeResults results;
    put(results, gwp_stage("b4", {{2030, 7.0}}));
    put(results, gwp_stage("a1_3", {{2020, 1.0}}));
    ASSERT_FALSE(results.calculate_stage_sums());
    EXPECT_EQ(gwp_years(results, "b4"), (YearList{{2030, 7.0}}));
    EXPECT_EQ(gwp_years(results, "sum"), (YearList{{2020, 1.0}, {2030, 7.0}}));

    TreeResults none;
    put(none, gwp_stage("a1_3", {{2020, 1.0}}));
    ASSERT_FALSE(none.calculate_b4_stage_sum());
    EXPECT_EQ(stage_names(none), (std::vector<std::string>{"a1_3"}));
}

TEST(ResultStageSums, SumAddsTheSixStagesInListOrder) {
    TreeResults results;
    // Written order ((((a1_3 + b4) + b6) + c3) + c4) + d: the 1 is absorbed
    // by 1e16 before -1e16 cancels it. Any other order keeps it.
    put(results, gwp_stage("a1_3", {{2020, 1e16}}));
    put(results, gwp_stage("b4_a", {{2020, 1.0}}));
    put(results, gwp_stage("b6", {{2020, -1e16}, {2021, 3.0}}));
    put(results, gwp_stage("d", {{2021, 0.25}}));
    // Neither an old "sum" nor an unknown stage is read into the new one.
    put(results, gwp_stage("sum", {{2020, 100.0}}));
    put(results, gwp_stage("x", {{2020, 100.0}}));
    ASSERT_FALSE(results.calculate_stage_sums());
    EXPECT_EQ(gwp_years(results, "sum"), (YearList{{2020, 0.0}, {2021, 3.25}}));

    // Running the stage sums again gives the same "b4" and "sum".
    TreeResults again = results;
    ASSERT_FALSE(again.calculate_stage_sums());
    EXPECT_EQ(again, results);
}

TEST(ResultStageSums, SumExistsEvenWithoutStages) {
    TreeResults results;
    put(results, gwp_stage("b4_x", {{2020, 1.0}}));
    ASSERT_FALSE(results.calculate_stage_sums());
    const TreeResultStage* sum = results.stages.find("sum");
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(sum->stage, "sum");
    EXPECT_TRUE(sum->indicators.empty());
    EXPECT_FALSE(results.stages.contains("b4"));
}

TEST(ResultAddOther, ParentTakesOnlyHierarchyStages) {
    TreeResults child;
    for (const char* name : {"a1_3", "b4_a", "b4_c", "b4", "sum", "other"}) put(child, gwp_stage(name, {{2020, 1.0}}));
    TreeResults parent;
    ASSERT_FALSE(parent.add_other_results(child));
    EXPECT_EQ(stage_names(parent), (std::vector<std::string>{"a1_3", "b4", "sum"}));
}

TEST(ResultAddOther, MergesYearByYear) {
    TreeResults parent;
    TreeResultStage own = gwp_stage("b6", {{2020, 1.0}, {2021, 2.0}, {2030, 4.0}});
    own.indicators.insert_or_assign(make_indicator("odp", {{2020, 1.0}}));
    put(parent, std::move(own));
    TreeResults child;
    TreeResultStage other = gwp_stage("b6", {{2019, 0.5}, {2021, 10.0}, {2025, 20.0}, {2040, 40.0}});
    other.indicators.insert_or_assign(make_indicator("ser", {{2020, 9.0}}));
    put(child, std::move(other));

    ASSERT_FALSE(parent.add_other_results(child));
    EXPECT_EQ(gwp_years(parent, "b6"),
              (YearList{{2019, 0.5}, {2020, 1.0}, {2021, 12.0}, {2025, 20.0}, {2030, 4.0}, {2040, 40.0}}));
    const TreeResultStage& b6 = *parent.stages.find("b6");
    EXPECT_EQ(b6.stage, "b6");
    ASSERT_TRUE(b6.indicators.contains("odp"));
    ASSERT_TRUE(b6.indicators.contains("ser"));
    EXPECT_EQ(b6.indicators.find("ser")->years.find(2020u)->value, 9.0);

    // Same years on both sides: values added in place.
    const TreeResults same_years = parent;
    ASSERT_FALSE(parent.add_other_results(same_years));
    EXPECT_EQ(gwp_years(parent, "b6"),
              (YearList{{2019, 1.0}, {2020, 2.0}, {2021, 24.0}, {2025, 40.0}, {2030, 8.0}, {2040, 80.0}}));
}

TEST(ResultAddOther, AddsWeights) {
    const std::optional<double> none;
    const struct {
        std::optional<double> own, other, expected;
    } cases[] = {
        {none, 2.0, 2.0},
        {1.0, none, 1.0},
        {1.0, 2.0, 3.0},
        {none, none, none},
    };
    for (const auto& c : cases) {
        TreeResults parent, child;
        parent.weight = c.own;
        child.weight = c.other;
        parent.demo_weight = c.other;
        child.demo_weight = c.own;
        ASSERT_FALSE(parent.add_other_results(child));
        EXPECT_EQ(parent.weight, c.expected);
        EXPECT_EQ(parent.demo_weight, c.expected);
    }
}

TEST(ResultAddOther, CopiesAreIndependent) {
    TreeResults child;
    put(child, gwp_stage("a1_3", {{2020, 1.0}}));
    const TreeResults original = child;
    TreeResults parent;
    ASSERT_FALSE(parent.add_other_results(child));
    ASSERT_FALSE(parent.add_other_results(child));
    ASSERT_FALSE(parent.calculate_stage_sums());
    EXPECT_EQ(child, original);
    EXPECT_EQ(gwp_years(parent, "a1_3"), (YearList{{2020, 2.0}}));

    TreeResultStage sum("sum");
    ASSERT_FALSE(sum.add_other_stage(*child.stages.find("a1_3")));
    sum.indicators.find("gwp")->years.find(2020u)->value = 99.0;
    EXPECT_EQ(child, original);
}

TEST(ResultMaps, IndicatorsFollowTheFixedOrder) {
    TreeResultStage stage("a1_3");
    for (std::string name : {"zeta", "GWP", "gw"}) stage.indicators.insert_or_assign(TreeResultIndicator(name));
    for (auto it = INDICATORS.rbegin(); it != INDICATORS.rend(); ++it) {
        stage.indicators.insert_or_assign(TreeResultIndicator(std::string(*it)));
    }
    std::vector<std::string> names;
    for (const TreeResultIndicator& indicator : stage.indicators) names.push_back(indicator.indicator);
    std::vector<std::string> expected(INDICATORS.begin(), INDICATORS.end());
    expected.insert(expected.end(), {"GWP", "gw", "zeta"});
    EXPECT_EQ(names, expected);

    IndicatorOrder less;
    for (std::string_view name : {"gwp", "ser", "zeta", ""}) EXPECT_FALSE(less(name, name)) << name;
    EXPECT_TRUE(less("", "a"));
    EXPECT_TRUE(less("ser", ""));
}

TEST(ResultJson, MatchesTheDocumentForm) {
    TreeResults results;
    put(results, gwp_stage("b6", {{2020, 12.5}}));
    results.calculate_time_sum();
    auto text = json::encode(results);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(),
              R"({"node_type":"Results","stages":{"b6":{"node_type":"ResultStage","stage":"b6","indicators":{"gwp":)"
              R"({"node_type":"ResultIndicator","indicator":"gwp","years":{"2020":{"node_type":"ResultYear",)"
              R"("year":2020,"value":12.5},"9999":{"node_type":"ResultYear","year":9999,"value":12.5}}}}}},)"
              R"("weight":null,"demo_weight":null})");

    TreeResults weighted;
    weighted.weight = 2.0;
    weighted.demo_weight = std::numeric_limits<double>::quiet_NaN();
    put(weighted, TreeResultStage("sum"));
    auto weighted_text = json::encode(weighted);
    ASSERT_TRUE(weighted_text.ok());
    EXPECT_EQ(weighted_text.value(),
              R"({"node_type":"Results","stages":{"sum":{"node_type":"ResultStage","stage":"sum","indicators":{}}},)"
              R"("weight":2.0,"demo_weight":null})");
}

std::string results_xml(const TreeResults& results) {
    std::ostringstream out;
    XmlWriter writer(out);
    results.node_to_xml(writer);
    EXPECT_TRUE(writer.open_elements().empty());
    return out.str();
}

TreeResultStage full_stage(std::string name, Years years) {
    TreeResultStage stage(std::move(name));
    for (std::string_view indicator : INDICATORS) {
        stage.indicators.insert_or_assign(make_indicator(std::string(indicator), years));
    }
    return stage;
}

TEST(ResultXml, WritesStagesIndicatorsAndYearsInFixedOrder) {
    EXPECT_EQ(results_xml(TreeResults()), "<Results></Results>");

    TreeResults results;
    results.weight = 5.0;  // never written
    for (const char* name : {"sum", "b4_a", "a1_3", "b4", "B"}) put(results, TreeResultStage(name));
    std::string xml = results_xml(results);
    EXPECT_EQ(xml,
              "<Results><ResultStage stage=\"B\"></ResultStage><ResultStage stage=\"a1_3\"></ResultStage>"
              "<ResultStage stage=\"b4\"></ResultStage><ResultStage stage=\"b4_a\"></ResultStage>"
              "<ResultStage stage=\"sum\"></ResultStage></Results>");

    TreeResults one;
    TreeResultStage stage = full_stage("c3", {{2030, 12.0}, {9999, 0.5}, {2020, -0.0}, {10000, std::nan("")}});
    stage.indicators.insert_or_assign(make_indicator("GWP", {{2020, 1.0}}));
    stage.indicators.insert_or_assign(make_indicator("extra", {{2020, 1.0}}));
    put(one, std::move(stage));
    std::string expected = "<Results><ResultStage stage=\"c3\">";
    for (std::string_view indicator : INDICATORS) {
        expected += "<ResultIndicator indicator=\"" + std::string(indicator) +
                    "\"><ResultYear year=\"2020\">0</ResultYear><ResultYear year=\"2030\">12</ResultYear>"
                    "<ResultYear year=\"9999\">0.5</ResultYear><ResultYear year=\"10000\">NaN</ResultYear>"
                    "</ResultIndicator>";
    }
    expected += "</ResultStage></Results>";
    EXPECT_EQ(results_xml(one), expected);
}

TEST(ResultXml, StageWithoutSomeIndicatorsWritesThoseItHas) {
    TreeResults results;
    TreeResultStage stage("b6");
    stage.indicators.insert_or_assign(make_indicator("ser", {}));
    stage.indicators.insert_or_assign(make_indicator("odp", {{2020, 1.0}}));
    put(results, std::move(stage));
    EXPECT_EQ(results_xml(results),
              "<Results><ResultStage stage=\"b6\"><ResultIndicator indicator=\"odp\"><ResultYear year=\"2020\">1"
              "</ResultYear></ResultIndicator><ResultIndicator indicator=\"ser\"></ResultIndicator></ResultStage>"
              "</Results>");
}

TEST(ResultXml, WriteFailures) {
    TreeResults results;
    put(results, full_stage("a1_3", {{2020, 1.5}}));

    {  // Lost character data is ignored: every year element is still written.
        std::ostringstream out;
        ScriptedWriter writer(out);
        writer.fail_characters = true;
        results.node_to_xml(writer);
        EXPECT_TRUE(writer.open_elements().empty());
        EXPECT_NE(out.str().find("<ResultIndicator indicator=\"ser\"><ResultYear year=\"2020\"></ResultYear>"),
                  std::string::npos);
        EXPECT_EQ(out.str().find("1.5"), std::string::npos);
    }

    const struct {
        const char* start;
        const char* end;
        std::vector<std::string> still_open;
    } cases[] = {
        {"Results", "", {}},
        {"ResultStage", "", {"Results"}},
        {"ResultIndicator", "", {"Results", "ResultStage"}},
        {"ResultYear", "", {"Results", "ResultStage", "ResultIndicator"}},
        {"", "ResultYear", {"Results", "ResultStage", "ResultIndicator", "ResultYear"}},
        {"", "ResultIndicator", {"Results", "ResultStage", "ResultIndicator"}},
        {"", "ResultStage", {"Results", "ResultStage"}},
        {"", "Results", {"Results"}},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        ScriptedWriter writer(out);
        writer.fail_start = c.start;
        writer.fail_end = c.end;
        std::string element = *c.start ? c.start : c.end;
        try {
            results.node_to_xml(writer);
            ADD_FAILURE() << "no stop for " << element;
        } catch (const FatalStop& stop) {
            EXPECT_EQ(stop.message(), "failed writing XML element " + element + ": disk full");
        }
        EXPECT_EQ(writer.open_elements(), c.still_open) << element;
    }
}

}  // namespace
}  // namespace mirelo
