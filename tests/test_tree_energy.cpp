#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
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

using testing::json_of;
using testing::stage_names;
using testing::Years;
using testing::years_of;

constexpr uint32_t kMaxYear = 4294967295u;

Building make_building(uint32_t initial_year, uint32_t timespan, double floor_area) {
    Building b;
    b.link = Link(1, 1);
    b.id = 1;
    b.name = "House";
    b.floor_area = floor_area;
    b.initial_year = initial_year;
    b.calculation_timespan = timespan;
    return b;
}

Operation make_operation(double electricity, double heating) {
    Operation o;
    o.link = Link(1, 4);
    o.id = 4;
    o.electricity_consumption = electricity;
    o.heating_consumption = heating;
    return o;
}

OperationDataPointNode make_point(uint32_t year, double gwp, uint32_t row = 7) {
    OperationDataPoint dp;
    dp.link = Link(1, row);
    dp.id = row;
    dp.scenario_id = 3;
    dp.year = year;
    OperationDataPointNode node(dp);
    OperationIndicatorGroup group;
    group.link = Link(1, row + 100);
    group.id = row + 100;
    group.data_point_id = row;
    group.utility_id = 2;
    group.gwp = gwp;
    group.ser = 2 * gwp;
    node.add_child(OperationIndicatorGroupNode(group));
    return node;
}

OperationUtilityNode make_utility(bool electricity, const std::vector<std::pair<uint32_t, double>>& points,
                                  double amount = 0.0) {
    OperationUtility u;
    u.link = Link(1, electricity ? 2 : 3);
    u.id = electricity ? 2 : 3;
    u.name = electricity ? "Electricity" : "District heating";
    u.order = electricity ? 1 : 2;
    u.is_electricity = electricity;
    OperationUtilityNode node(u, amount);
    uint32_t row = 10;
    for (const auto& [year, gwp] : points) node.add_child(make_point(year, gwp, row++));
    return node;
}

// Fails every event, as a full disk or a closed stream would.
class FailingWriter : public XmlWriter {
public:
    XmlStatus start_element(std::string_view, std::span<const XmlAttr>) override { return std::string("full"); }
    XmlStatus end_element() override { return std::string("full"); }
    XmlStatus characters(std::string_view) override { return std::string("full"); }
};

TEST(OperationUtilityCalculation, YearlyValuesFollowDataPoints) {
    const struct {
        const char* name;
        uint32_t initial_year;
        uint32_t timespan;
        double floor_area;  // with electricity consumption 1.0 this is the multiplier
        std::vector<std::pair<uint32_t, double>> points;
        Years gwp;  // empty: "b6" holds no indicator at all
    } cases[] = {
        {"between two points", 2020, 3, 10.0, {{2021, 2.0}, {2023, 4.0}},
         {{2020, 20.0}, {2021, 20.0}, {2022, 30.0}, {9999, 70.0}}},
        {"point before the period", 2020, 2, 1.0, {{2018, 1.0}, {2022, 5.0}},
         {{2018, 1.0}, {2019, 2.0}, {2020, 3.0}, {2021, 4.0}, {9999, 10.0}}},
        {"single point after the period", 2020, 5, 3.0, {{2030, 2.0}},
         {{2020, 6.0}, {2021, 6.0}, {2022, 6.0}, {2023, 6.0}, {2024, 6.0}, {9999, 30.0}}},
        {"single point inside the period", 2020, 4, 1.0, {{2022, 1.5}},
         {{2020, 1.5}, {2021, 1.5}, {2022, 1.5}, {2023, 1.5}, {9999, 6.0}}},
        {"equal years: the later point overwrites", 2020, 3, 1.0, {{2021, 1.0}, {2021, 3.0}},
         {{2020, 1.0}, {2021, 3.0}, {2022, 3.0}, {9999, 7.0}}},
        {"period reaching the total's year", 9998, 2, 1.0, {{9998, 1.0}}, {{9998, 1.0}, {9999, 2.0}}},
        {"empty period", 2020, 0, 1.0, {{2020, 1.0}}, {}},
        {"the latest period a building may have", 4294967284u, 10, 1.0, {{4294967290u, 1.0}, {kMaxYear, 6.0}},
         {{4294967284u, 1.0}, {4294967285u, 1.0}, {4294967286u, 1.0}, {4294967287u, 1.0}, {4294967288u, 1.0},
          {4294967289u, 1.0}, {4294967290u, 1.0}, {4294967291u, 2.0}, {4294967292u, 3.0}, {4294967293u, 4.0},
          {9999, 16.0}}},
        {"point at the last year of the range", 2020, 2, 1.0, {{kMaxYear, 1.0}},
         {{2020, 1.0}, {2021, 1.0}, {9999, 2.0}}},
        {"two points at the last year of the range", 4294967290u, 3, 1.0, {{kMaxYear, 2.0}, {kMaxYear, 4.0}},
         {{4294967290u, 2.0}, {4294967291u, 2.0}, {4294967292u, 2.0}, {9999, 6.0}}},
        {"points beyond a period near the end of the range", 4294967290u, 2, 1.0,
         {{4294967293u, 1.0}, {kMaxYear, 3.0}},
         {{4294967290u, 1.0}, {4294967291u, 1.0}, {9999, 2.0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OperationUtilityNode node = make_utility(true, c.points);
        const Building bld = make_building(c.initial_year, c.timespan, c.floor_area);
        ASSERT_FALSE(node.calculate(bld, make_operation(1.0, 0.0)).has_value());
        EXPECT_EQ(node.calc_usage_multiplier, c.floor_area);
        EXPECT_EQ(years_of(node.results, "b6", "gwp"), c.gwp);
        ASSERT_TRUE(node.results.stages.contains("b6"));
        if (c.gwp.empty()) {
            EXPECT_TRUE(node.results.stages.find("b6")->indicators.empty());
            continue;
        }
        Years ser;
        for (const auto& [year, value] : c.gwp) ser[year] = 2 * value;
        EXPECT_EQ(years_of(node.results, "b6", "ser"), ser);
    }
}

TEST(OperationUtilityCalculation, ResultsHoldB6AndSumForEveryIndicator) {
    OperationUtilityNode node = make_utility(true, {{2020, 1.5}});
    ASSERT_FALSE(node.calculate(make_building(2020, 2, 2.0), make_operation(1.0, 0.0)).has_value());
    EXPECT_EQ(stage_names(node.results), (std::vector<std::string>{"b6", "sum"}));
    for (std::string_view ind : INDICATORS) {
        SCOPED_TRACE(ind);
        EXPECT_EQ(years_of(node.results, "b6", ind).size(), 3u);
        EXPECT_EQ(years_of(node.results, "sum", ind), years_of(node.results, "b6", ind));
    }
    EXPECT_FALSE(node.results.weight.has_value());
    EXPECT_FALSE(node.results.demo_weight.has_value());
}

TEST(OperationUtilityCalculation, UtilityWithoutDataPointsFails) {
    OperationUtilityNode node = make_utility(true, {}, 150.0);
    EXPECT_TRUE(node.calculate(make_building(2020, 3, 10.0), make_operation(1.0, 1.0)).has_value());
    EXPECT_TRUE(node.results.stages.empty());
    EXPECT_EQ(node.calc_usage_multiplier, 0.0);
}

TEST(OperationUtilityCalculation, MultiplierTakesTheUtilitysConsumption) {
    const Building bld = make_building(2020, 1, 10.0);
    const Operation opr = make_operation(2.5, 4.0);

    OperationUtilityNode electricity = make_utility(true, {{2020, 1.0}});
    OperationUtilityNode heat = make_utility(false, {{2020, 1.0}});
    // A heat-supply record flagged as electricity is treated as electricity.
    OperationUtilityNode flagged = make_utility(false, {{2020, 1.0}});
    flagged.datamodel.is_electricity = true;

    for (OperationUtilityNode* node : {&electricity, &heat, &flagged}) node->calculate(bld, opr);
    EXPECT_EQ(electricity.calc_usage_multiplier, 25.0);
    EXPECT_EQ(heat.calc_usage_multiplier, 40.0);
    EXPECT_EQ(flagged.calc_usage_multiplier, 25.0);
    EXPECT_EQ(years_of(heat.results, "b6", "gwp"), (Years{{2020, 40.0}, {9999, 40.0}}));
}

TEST(OperationUtilityCalculation, InsertResultAddsAndReplaces) {
    const OperationUtilityNode node = make_utility(true, {});
    TreeResultStage rs("b6");
    node.calculate_insert_result("gwp", 2021, 1.0, rs);
    node.calculate_insert_result("gwp", 2020, 2.0, rs);
    node.calculate_insert_result("gwp", 2021, 3.0, rs);
    node.calculate_insert_result("odp", 2021, 4.0, rs);
    ASSERT_EQ(rs.indicators.size(), 2u);
    const TreeResultIndicator* gwp = rs.indicators.find("gwp");
    ASSERT_NE(gwp, nullptr);
    EXPECT_EQ(gwp->indicator, "gwp");
    ASSERT_EQ(gwp->years.size(), 2u);
    EXPECT_EQ(gwp->years.find(2020u)->value, 2.0);
    EXPECT_EQ(*gwp->years.find(2021u), TreeResultYear(2021, 3.0));
    EXPECT_EQ(rs.indicators.find("odp")->years.find(2021u)->value, 4.0);
}

TEST(OperationUtilityCalculation, DataPointWithoutOneGroupStopsInsideThePeriodOnly) {
    const OperationUtilityNode node = make_utility(true, {});
    const Building bld = make_building(2020, 3, 1.0);
    const Operation opr = make_operation(1.0, 0.0);
    OperationDataPointNode good = make_point(2020, 1.0);
    OperationDataPointNode bare(good.datamodel);
    OperationDataPointNode doubled = make_point(2020, 1.0);
    doubled.add_child(doubled.children.front());

    const struct {
        const char* name;
        std::function<void(TreeResultStage&)> call;
        const char* message;  // nullptr: no stop
    } cases[] = {
        {"at a point without group",
         [&](TreeResultStage& rs) { node.calculate_at_data_point(bld, opr, bare, 2021, 1.0, rs); },
         "assertion failed: dp.children.len() == 1"},
        {"at a point with two groups",
         [&](TreeResultStage& rs) { node.calculate_at_data_point(bld, opr, doubled, 2021, 1.0, rs); },
         "assertion failed: dp.children.len() == 1"},
        {"between, first point bare",
         [&](TreeResultStage& rs) { node.calculate_between_data_points(bld, opr, bare, good, 2021, 1.0, rs); },
         "assertion failed: dp1.children.len() == 1"},
        {"between, second point bare",
         [&](TreeResultStage& rs) { node.calculate_between_data_points(bld, opr, good, bare, 2021, 1.0, rs); },
         "assertion failed: dp2.children.len() == 1"},
        {"after the period nothing is checked",
         [&](TreeResultStage& rs) {
             node.calculate_at_data_point(bld, opr, bare, 2023, 1.0, rs);
             node.calculate_between_data_points(bld, opr, bare, bare, 2023, 1.0, rs);
         },
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TreeResultStage rs("b6");
        if (!c.message) {
            EXPECT_NO_THROW(c.call(rs));
            EXPECT_TRUE(rs.indicators.empty());
            continue;
        }
        try {
            c.call(rs);
            ADD_FAILURE() << "no fatal stop";
        } catch (const FatalStop& stop) {
            EXPECT_EQ(stop.message(), c.message);
        }
    }

    // The same stop through the whole calculation, when a walk reaches the point.
    OperationUtilityNode utility = make_utility(true, {{2021, 1.0}});
    utility.children.front().children.clear();
    EXPECT_THROW(utility.calculate(bld, opr), FatalStop);
}

TEST(OperationUtilityCalculation, BetweenFactorUsesWrappingDifferences) {
    const OperationUtilityNode node = make_utility(true, {});
    const Building bld = make_building(0, 4294967294u, 1.0);  // the longest period a building may have
    const OperationDataPointNode dp1 = make_point(10, 1.0);
    const OperationDataPointNode dp2 = make_point(14, 5.0);
    TreeResultStage rs("b6");
    // 2 years before dp1: (2 - 10) wraps to 4294967288, so the factor is huge.
    node.calculate_between_data_points(bld, make_operation(1.0, 0.0), dp1, dp2, 2, 1.0, rs);
    node.calculate_between_data_points(bld, make_operation(1.0, 0.0), dp1, dp2, 11, 2.0, rs);
    const TreeResultIndicator* gwp = rs.indicators.find("gwp");
    ASSERT_NE(gwp, nullptr);
    EXPECT_EQ(gwp->years.find(2u)->value, 4.0 * (4294967288.0 / 4.0) + 1.0);
    EXPECT_EQ(gwp->years.find(11u)->value, 4.0);
}

TEST(OperationNodeCalculation, SkipsUtilitiesWithoutDataPointsAndSumsTheRest) {
    OperationNode op(make_operation(2.0, 3.0), OperationScenario{});
    op.add_child(make_utility(true, {}));
    op.add_child(make_utility(false, {{2020, 1.0}}));
    op.calculate(make_building(2020, 2, 1.0));
    EXPECT_TRUE(op.children[0].results.stages.empty());
    EXPECT_EQ(op.children[0].calc_usage_multiplier, 0.0);
    EXPECT_EQ(op.children[1].calc_usage_multiplier, 3.0);

    op.calculate_hierarchy_sums();
    EXPECT_EQ(op.results, op.children[1].results);
}

TEST(BuildingNodeCalculation, SumsBothBranches) {
    BuildingNode b(make_building(2020, 3, 10.0));
    EXPECT_EQ(b.node_type, "Building");
    EXPECT_EQ(b.operation_child.node_type, "Operation");
    EXPECT_TRUE(b.operation_child.children.empty());
    EXPECT_EQ(json_of(b.operation_child.datamodel), json_of(Operation{}));

    OperationNode op(make_operation(1.0, 2.0), OperationScenario{});
    op.add_child(make_utility(true, {{2020, 1.0}, {2022, 3.0}}));
    op.add_child(make_utility(false, {{2019, 0.5}}));
    b.operation_child = op;

    SuperCategory sc_record;
    sc_record.link = Link(1, 30);
    SuperCategoryNode sc(sc_record);
    for (std::string_view stage : {STAGE_A1_3, STAGE_SUM}) {
        TreeResultStage s{std::string(stage)};
        TreeResultIndicator gwp("gwp");
        gwp.years.insert_or_assign(TreeResultYear(2020, 5.0));
        gwp.years.insert_or_assign(TreeResultYear(2030, 7.0));
        s.indicators.insert_or_assign(gwp);
        sc.results.stages.insert_or_assign(s);
    }
    sc.results.weight = 3.0;
    b.all_elements_child.add_child(sc);

    ASSERT_FALSE(b.calculate().has_value());
    b.calculate_hierarchy_sums();

    const OperationNode& o = b.operation_child;
    EXPECT_EQ(stage_names(b.results), (std::vector<std::string>{"a1_3", "b6", "sum"}));
    for (std::string_view ind : {"gwp", "ser"}) {
        SCOPED_TRACE(ind);
        Years b6 = years_of(o.children[0].results, "b6", ind);
        for (const auto& [year, value] : years_of(o.children[1].results, "b6", ind)) b6[year] += value;
        EXPECT_EQ(years_of(b.results, "b6", ind), b6);

        Years sum = years_of(o.results, "sum", ind);
        for (const auto& [year, value] : years_of(b.all_elements_child.results, "sum", ind)) sum[year] += value;
        EXPECT_EQ(years_of(b.results, "sum", ind), sum);
    }
    EXPECT_EQ(years_of(b.results, "b6", "gwp"),
              (Years{{2019, 10.0}, {2020, 10.0 + 10.0}, {2021, 20.0 + 10.0}, {2022, 30.0 + 10.0},
                     {9999, 60.0 + 40.0}}));
    EXPECT_EQ(years_of(b.results, "sum", "gwp").at(2030), 7.0);
    EXPECT_EQ(b.results.weight, 3.0);
    EXPECT_FALSE(b.results.demo_weight.has_value());
}

// A period whose years leave the 32-bit range stops the building before
// anything of it is calculated, whatever its branches hold: no year may
// wrap around to the start of the range (data points there would otherwise
// be taken for years of the period).
TEST(BuildingNodeCalculation, PeriodOutsideThe32BitYearsStopsBeforeAnythingIsCalculated) {
    const struct {
        const char* name;
        uint32_t initial_year;
        uint32_t timespan;
        bool stops;
    } cases[] = {
        {"no years from year 0", 0, 0, true},
        {"last year and tail past the range", 4294967290u, 10, true},
        {"the tail's end one past the range", 4294967285u, 10, true},
        {"from year 1 over the whole range", 1, 4294967294u, true},
        {"the latest period", 4294967284u, 10, false},
        {"the longest period", 0, 4294967294u, false},
        {"no years from year 1", 1, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.stops) {
            BuildingNode b(make_building(c.initial_year, c.timespan, 1.0));
            EXPECT_FALSE(b.calculate().has_value());
            continue;
        }
        for (const bool with_energy : {false, true}) {
            BuildingNode b(make_building(c.initial_year, c.timespan, 1.0));
            if (with_energy) {
                // Data points in the years a wrapped period would reach.
                b.operation_child.add_child(make_utility(true, {{0, 1.0}, {2, 2.0}, {4, 3.0}, {6, 4.0}}));
            }
            const FatalStop stop = testing::stop_of([&] { (void)b.calculate(); });
            EXPECT_EQ(stop.message().rfind("calculation period too long: ", 0), 0u) << stop.message();
            for (const OperationUtilityNode& utility : b.operation_child.children) {
                EXPECT_TRUE(utility.results.stages.empty());
                EXPECT_EQ(utility.calc_usage_multiplier, 0.0);
            }
        }
    }
}

TEST(EnergyNodesPrint, WritesLinesWithDepthPrefixes) {
    OperationUtilityNode u = make_utility(true, {{2020, 1.0}}, 150.0);
    const OperationDataPointNode& dp = u.children.front();
    const std::string u_line = u.datamodel.display_line();
    const std::string dp_line = dp.datamodel.display_line();
    const std::string g_line = dp.children.front().datamodel.display_line();

    EXPECT_EQ(testing::capture_fd(1, [&] { u.print(3, true); }),
              "[3]      " + u_line + "\n[3]      <Amount=\"150\">\n[4]        " + dp_line + "\n[5]          " +
                  g_line + "\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { u.print(3, false); }), u_line + "\n<Amount=\"150\">\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { dp.print(0, false); }), dp_line + "\n");

    OperationScenario scenario;
    scenario.name = "Default";
    BuildingNode b(make_building(2020, 50, 120.0));
    b.operation_child = OperationNode(make_operation(1.0, 2.0), scenario);
    b.operation_child.add_child(make_utility(false, {}, 0.25));
    const std::string h_line = b.operation_child.children.front().datamodel.display_line();
    EXPECT_EQ(testing::capture_fd(1, [&] { b.print(1, true); }),
              "[1]  " + b.datamodel.display_line() + "\n[2]    " + b.operation_child.datamodel.display_line() +
                  "\n[2]    " + scenario.display_line() + "\n[3]      " + h_line +
                  "\n[3]      <Amount=\"0.25\">\n[2]    AllElements\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { b.print(1, false); }), b.datamodel.display_line() + "\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { b.operation_child.print(0, false); }),
              b.operation_child.datamodel.display_line() + "\n" + scenario.display_line() + "\n");
}

TEST(EnergyNodesXml, UtilityWritesMultiplierRecordAndResultsButNoDataPoints) {
    OperationUtilityNode u = make_utility(true, {{2020, 0.5}});
    {
        std::ostringstream out;
        XmlWriter writer(out);
        u.node_to_xml(writer);
        EXPECT_EQ(out.str(),
                  "<OperationUtility calc_usage_multiplier=\"0\"><Datamodel link=\"8589934593\" id=\"2\" "
                  "name=\"Electricity\" order=\"1\" is_electricity=\"true\"></Datamodel><Results></Results>"
                  "</OperationUtility>");
        EXPECT_TRUE(writer.open_elements().empty());
    }
    u.calculate(make_building(2020, 1, 20.0), make_operation(1.0, 0.0));
    std::ostringstream out;
    XmlWriter writer(out);
    u.node_to_xml(writer);
    const std::string xml = out.str();
    EXPECT_EQ(xml.rfind("<OperationUtility calc_usage_multiplier=\"20\"><Datamodel ", 0), 0u);
    EXPECT_NE(xml.find("<Results><ResultStage stage=\"b6\"><ResultIndicator indicator=\"gwp\">"
                       "<ResultYear year=\"2020\">10</ResultYear><ResultYear year=\"9999\">10</ResultYear>"),
              std::string::npos);
    EXPECT_NE(xml.find("</ResultStage><ResultStage stage=\"sum\">"), std::string::npos);
    EXPECT_EQ(xml.find("OperationDataPoint"), std::string::npos);
    EXPECT_TRUE(xml.ends_with("</ResultIndicator></ResultStage></Results></OperationUtility>"));
}

TEST(EnergyNodesXml, DataPointNodesWriteBareElementsAndIgnoreFailures) {
    const OperationDataPointNode dp = make_point(2020, 1.0);
    std::ostringstream out;
    XmlWriter writer(out);
    dp.node_to_xml(writer);
    dp.children.front().node_to_xml(writer);
    EXPECT_EQ(out.str(),
              "<OperationDataPoint><OperationIndicatorGroup></OperationIndicatorGroup></OperationDataPoint>"
              "<OperationIndicatorGroup></OperationIndicatorGroup>");

    FailingWriter failing;
    EXPECT_NO_THROW(dp.node_to_xml(failing));
    EXPECT_NO_THROW(dp.children.front().node_to_xml(failing));
}

// A data point whose element cannot be started must not end the element
// around it in its place.
TEST(EnergyNodesXml, DataPointThatFailedToStartLeavesTheEnclosingElementOpen) {
    std::ostringstream out;
    testing::ScriptedWriter writer(out);
    writer.fail_start = OperationDataPointNode::NODE_NAME;
    ASSERT_FALSE(writer.start_element("Outer", {}));
    OperationDataPointNode dp = make_point(2020, 1.0);
    dp.node_to_xml(writer);
    EXPECT_EQ(writer.open_elements(), std::vector<std::string>{"Outer"});
    EXPECT_EQ(out.str(), "<Outer><OperationIndicatorGroup></OperationIndicatorGroup>");
}

TEST(EnergyNodesXml, FailedNodeElementStopsTheDump) {
    FailingWriter failing;
    EXPECT_THROW(make_utility(true, {}).node_to_xml(failing), FatalStop);
    EXPECT_THROW(OperationNode(Operation{}, OperationScenario{}).node_to_xml(failing), FatalStop);
    EXPECT_THROW(BuildingNode(Building{}).node_to_xml(failing), FatalStop);
}

TEST(EnergyNodesXml, BuildingHoldsRecordResultsThenBothBranches) {
    BuildingNode b(make_building(2020, 50, 200.0));
    b.operation_child = OperationNode(make_operation(1.0, 2.0), OperationScenario{});
    b.operation_child.add_child(make_utility(true, {}));
    b.operation_child.add_child(make_utility(false, {}));
    std::ostringstream out;
    XmlWriter writer(out);
    b.node_to_xml(writer);
    const std::string xml = out.str();

    const std::vector<std::string> in_order = {
        "<Building><Datamodel link=\"4294967297\"", "floor_area=\"200\"", "</Datamodel><Results></Results>",
        "<Operation><Datamodel link=\"1:4\"", "</Datamodel><Results></Results><OperationUtility ",
        "</OperationUtility><OperationUtility ", "</OperationUtility></Operation><AllElements>",
        "</AllElements></Building>"};
    size_t pos = 0;
    for (const std::string& part : in_order) {
        SCOPED_TRACE(part);
        const size_t found = xml.find(part, pos);
        ASSERT_NE(found, std::string::npos);
        pos = found + 1;
    }
    EXPECT_EQ(xml.size(), xml.rfind("</Building>") + 11);
    EXPECT_TRUE(writer.open_elements().empty());
}

TEST(EnergyNodesJson, UtilityNodeEncodesItsMembersInOrder) {
    const OperationUtilityNode u = make_utility(true, {{2020, 0.5}}, 150.0);
    EXPECT_EQ(json_of(u),
              R"({"node_type":"OperationUtility","children":[{"node_type":"OperationDataPoint","children":[)"
              R"({"node_type":"OperationIndicatorGroup","datamodel":{"link":{"database_id":1,"row_id":110,)"
              R"("combined_id":472446402561},"id":110,"data_point_id":10,"utility_id":2,"gwp":0.5,"odp":0.0,)"
              R"("pocp":0.0,"ap":0.0,"ep":0.0,"adpe":0.0,"adpf":0.0,"penr":0.0,"per":0.0,"senr":0.0,"ser":1.0}}],)"
              R"("datamodel":{"link":{"database_id":1,"row_id":10,"combined_id":42949672961},"id":10,)"
              R"("scenario_id":3,"year":2020}}],"datamodel":{"link":{"database_id":1,"row_id":2,)"
              R"("combined_id":8589934593},"id":2,"name":"Electricity","order":1,"is_electricity":true},)"
              R"("amount":150.0,"results":{"node_type":"Results","stages":{},"weight":null,"demo_weight":null},)"
              R"("calc_usage_multiplier":0.0})");

    OperationUtilityNode calculated = make_utility(true, {{2020, 0.5}}, 150.0);
    calculated.calculate(make_building(2020, 1, 20.0), make_operation(1.0, 0.0));
    const std::string text = json_of(calculated);
    EXPECT_NE(text.find(R"("results":{"node_type":"Results","stages":{"b6":{"node_type":"ResultStage","stage":"b6",)"
                        R"("indicators":{"gwp":{"node_type":"ResultIndicator","indicator":"gwp","years":{"2020":)"
                        R"({"node_type":"ResultYear","year":2020,"value":10.0},"9999":{"node_type":"ResultYear",)"
                        R"("year":9999,"value":10.0}}},)"),
              std::string::npos);
    EXPECT_TRUE(text.ends_with(R"("weight":null,"demo_weight":null},"calc_usage_multiplier":20.0})"));
}

TEST(EnergyNodesJson, BuildingAndOperationNodesEncodeTheirMembersInOrder) {
    OperationScenario scenario;
    scenario.name = "Default";
    BuildingNode b(make_building(2020, 50, 120.0));
    b.operation_child = OperationNode(make_operation(1.0, 2.0), scenario);
    b.operation_child.add_child(make_utility(true, {}));
    const std::string empty_results = json_of(TreeResults{});

    const std::string operation = R"({"node_type":"Operation","children":[)" +
                                  json_of(b.operation_child.children.front()) + R"(],"datamodel":)" +
                                  json_of(b.operation_child.datamodel) + R"(,"scenario_model":)" +
                                  json_of(scenario) + R"(,"results":)" + empty_results + "}";
    EXPECT_EQ(json_of(b.operation_child), operation);
    EXPECT_EQ(json_of(b), R"({"node_type":"Building","operation_child":)" + operation +
                              R"(,"all_elements_child":)" + json_of(b.all_elements_child) + R"(,"datamodel":)" +
                              json_of(b.datamodel) + R"(,"results":)" + empty_results + "}");
}

TEST(OperationUtilityCalculation, LongestPeriodWithFarDataPointIsRefusedNotWalked) {
    // The longest period a building may have runs from year 0 to near the top
    // of the range; a data point at the top would ask for four billion yearly
    // values. The call must end quickly with a clear stop instead.
    OperationUtilityNode node = make_utility(true, {{4294967295u, 1.0}});
    try {
        (void)node.calculate(make_building(0, 4294967294u, 1.0), make_operation(1.0, 0.0));
        FAIL() << "expected a fatal stop";
    } catch (const FatalStop& stop) {
        EXPECT_NE(stop.message().find("calculation period too long"), std::string::npos);
    }
    EXPECT_TRUE(node.results.stages.empty());
}

}  // namespace
}  // namespace mirelo
