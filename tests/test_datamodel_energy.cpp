#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datamodel_building.hpp"
#include "datamodel_operation.hpp"
#include "datamodel_operation_data_point.hpp"
#include "datamodel_operation_indicator_group.hpp"
#include "datamodel_operation_scenario.hpp"
#include "datamodel_operation_utility.hpp"
#include "datamodel_setting.hpp"
#include "json.hpp"
#include "shared_error.hpp"
#include "test_support.hpp"
#include "xml_writer.hpp"

namespace mirelo {
namespace {

using Attrs = std::vector<XmlAttribute>;
using mirelo::testing::capture_fd;
using mirelo::testing::json_of;
using mirelo::testing::stop_of;
using mirelo::testing::xml_of;

template <class R>
R read(const Attrs& attrs, uint32_t database_id = 7) {
    R record;
    record.from_xml(R::ELEMENT_NAME, attrs, database_id);
    return record;
}

const Attrs OPERATION_LINKS = {{"HeatSupplyUtilityLink", "0:3"}, {"ScenarioLink", "0:2"}};

Attrs with_links(Attrs attrs) {
    attrs.insert(attrs.end(), OPERATION_LINKS.begin(), OPERATION_LINKS.end());
    return attrs;
}

TEST(EnergyRecords, SettingOfTheGenericDatabase) {
    auto s = read<Setting>({{"ID", "1"}, {"Name", "UID"}, {"Value", "3735928559"}}, 3735928559u);
    EXPECT_EQ(s.id, 1u);
    EXPECT_EQ(s.link.database_id, 3735928559u);
    EXPECT_EQ(s.link.row_id, 1u);
    EXPECT_EQ(s.link.combined_id, 8030895855ull);
    EXPECT_EQ(s.display_line(), R"(<Setting ID="1", Name="UID", Value="3735928559",>)");
    EXPECT_EQ(json_of(s),
              R"({"link":{"database_id":3735928559,"row_id":1,"combined_id":8030895855},"id":1,)"
              R"("name":"UID","value":"3735928559"})");
}

TEST(EnergyRecords, DefaultsWhenAttributesAreAbsent) {
    auto b = read<Building>({}, 9);
    EXPECT_EQ(b.link.combined_id, 9u);
    EXPECT_EQ(b.display_line(),
              R"(<Building ID="0", OperationID="0", SourceID="0", Name="", Address="", Owner="", Type="", )"
              R"(FloorArea="0", GrossArea="0", BuildingLifeSpan="0", InitialYear="0", CalculationTimeSpan="0", )"
              R"(Description="", ReportPurpose="", ReportBuildingElements="",>)");

    auto g = read<OperationIndicatorGroup>({{"ID", "4"}, {"DataPointID", "3"}, {"UtilityID", "1"}});
    for (double v : {g.gwp, g.odp, g.pocp, g.ap, g.ep, g.adpe, g.adpf, g.penr, g.per, g.senr, g.ser}) {
        EXPECT_EQ(v, 0.0);
    }
    EXPECT_EQ(g.display_line(),
              R"(<OperationIndicatorGroup ID="4", DataPointID="3", UtilityID="1", GWP="0", ODP="0", POCP="0", )"
              R"(AP="0", EP="0", ADPE="0", ADPF="0", PENR="0", PER="0", SENR="0", SER="0">)");
}

TEST(EnergyRecords, BuildingReadsEveryAttribute) {
    auto b = read<Building>({{"ID", "2"},
                             {"OperationID", "4"},
                             {"SourceID", "1"},
                             {"Name", "House \"A\""},
                             {"Address", "Main St 1"},
                             {"Owner", "A & B"},
                             {"Type", "Detached"},
                             {"FloorArea", "120"},
                             {"GrossArea", "0.5"},
                             {"BuildingLifeSpan", "80"},
                             {"InitialYear", "2020"},
                             {"CalculationTimeSpan", "50"},
                             {"Description", "d"},
                             {"ReportPurpose", "p"},
                             {"ReportBuildingElements", "e"}});
    EXPECT_EQ(b.link.combined_id, (2ull << 32) | 7);
    EXPECT_EQ(b.display_line(),
              R"(<Building ID="2", OperationID="4", SourceID="1", Name="House "A"", Address="Main St 1", )"
              R"(Owner="A & B", Type="Detached", FloorArea="120", GrossArea="0.5", BuildingLifeSpan="80", )"
              R"(InitialYear="2020", CalculationTimeSpan="50", Description="d", ReportPurpose="p", )"
              R"(ReportBuildingElements="e",>)");
    EXPECT_EQ(json_of(b),
              R"({"link":{"database_id":7,"row_id":2,"combined_id":8589934599},"id":2,"operation_id":4,)"
              R"("source_id":1,"name":"House \"A\"","address":"Main St 1","owner":"A & B",)"
              R"("typefield":"Detached","floor_area":120.0,"gross_area":0.5,"building_lifespan":80,)"
              R"("initial_year":2020,"calculation_timespan":50,"description":"d","report_purpose":"p",)"
              R"("report_building_elements":"e"})");
    EXPECT_EQ(xml_of(b),
              R"(<Datamodel link="8589934599" id="2" operation_id="4" source_id="1" name="House &quot;A&quot;" )"
              R"(address="Main St 1" owner="A &amp; B" type="Detached" floor_area="120" gross_area="0.5" )"
              R"(building_lifespan="80" initial_year="2020" calculation_timespan="50" description="d" )"
              R"(report_purpose="p" report_building_elements="e"></Datamodel>)");
}

TEST(EnergyRecords, UnknownAttributesAreSkippedOnStdout) {
    Building b;
    std::string out = capture_fd(1, [&] {
        b.from_xml("Buildings", Attrs{{"Colour", "red"}, {"id", "5"}, {"Name", "x"}}, 7);
    });
    EXPECT_EQ(out, "Skipping: Colour = \"red\"\nSkipping: id = \"5\"\n");
    EXPECT_EQ(b.id, 0u);
    EXPECT_EQ(b.link.combined_id, 7u);
    EXPECT_EQ(b.name, "x");

    // Every record type of the energy branch reports what it does not know.
    const std::function<void()> readers[] = {
        [] { read<Setting>({{"X", "1"}}); },
        [] { read<Operation>(with_links({{"X", "1"}})); },
        [] { read<OperationUtility>({{"X", "1"}}); },
        [] { read<OperationScenario>({{"X", "1"}}); },
        [] { read<OperationDataPoint>({{"X", "1"}}); },
        [] { read<OperationIndicatorGroup>({{"gwp", "1"}}); },
    };
    const char* expected[] = {"Skipping: X = \"1\"\n", "Skipping: X = \"1\"\n", "Skipping: X = \"1\"\n",
                              "Skipping: X = \"1\"\n", "Skipping: X = \"1\"\n", "Skipping: gwp = \"1\"\n"};
    for (size_t i = 0; i < std::size(readers); ++i) EXPECT_EQ(capture_fd(1, readers[i]), expected[i]) << i;
}

TEST(EnergyRecords, LaterValueOfTheSameNameWins) {
    auto s = read<OperationScenario>({{"Name", "first"}, {"Name", "second"}, {"Description", "&<\""}});
    EXPECT_EQ(s.name, "second");
    EXPECT_EQ(s.display_line(), R"(<OperationScenario ID="0", Name="second", Description="&<"",>)");
}

TEST(EnergyRecords, RealDisplayTexts) {
    const struct {
        const char* text;
        const char* display;
    } cases[] = {
        {"1e2", "100"}, {"0.1", "0.1"}, {"NaN", "NaN"}, {"-0", "0"}, {"-inf", "-inf"},
    };
    for (const auto& c : cases) {
        auto b = read<Building>({{"FloorArea", c.text}});
        std::string line = b.display_line();
        EXPECT_NE(line.find(std::string("FloorArea=\"") + c.display + "\","), std::string::npos) << c.text << ": " << line;
    }
    EXPECT_TRUE(std::isnan(read<Building>({{"FloorArea", "NaN"}}).floor_area));
    EXPECT_TRUE(std::signbit(read<Building>({{"FloorArea", "-0"}}).floor_area));
}

TEST(EnergyRecords, ConversionFailuresStopAndNameTheAttribute) {
    const struct {
        std::function<void()> call;
        const char* message;
        const char* attribute;
    } cases[] = {
        {[] { read<OperationDataPoint>({{"Year", " 2020"}}); }, "u32: invalid digit found in string", "Year"},
        {[] { read<OperationDataPoint>({{"Year", "2020.0"}}); }, "u32: invalid digit found in string", "Year"},
        {[] { read<OperationDataPoint>({{"Year", "-1"}}); }, "u32: invalid digit found in string", "Year"},
        {[] { read<OperationDataPoint>({{"ScenarioID", ""}}); }, "u32: cannot parse integer from empty string",
         "ScenarioID"},
        {[] { read<Building>({{"InitialYear", "4294967296"}}); }, "u32: number too large to fit in target type",
         "InitialYear"},
        {[] { read<Setting>({{"ID", "x"}}); }, "u32: invalid digit found in string", "ID"},
        {[] { read<OperationUtility>({{"IsElectricity", "1"}}); }, "bool: provided string was not `true` or `false`", "IsElectricity"},
        {[] { read<OperationUtility>({{"IsElectricity", "yes"}}); }, "bool: provided string was not `true` or `false`", "IsElectricity"},
        {[] { read<OperationUtility>({{"Order", "-2"}}); }, "u32: invalid digit found in string", "Order"},
        {[] { read<Building>({{"FloorArea", "ten"}}); }, "real: invalid float literal", "FloorArea"},
        {[] { read<Operation>(with_links({{"HeatingConsumption", "1,5"}})); }, "real: invalid float literal", "HeatingConsumption"},
        {[] { read<OperationIndicatorGroup>({{"PENR", "Infinity"}}); }, "real: invalid float literal", "PENR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute);
        const FatalStop stop = stop_of(c.call);
        EXPECT_EQ(stop.message(), c.message);
        EXPECT_NE(std::string(stop.what()).find(c.attribute), std::string::npos) << stop.what();
    }
}

TEST(EnergyRecords, ElementNameIsChecked) {
    Building b;
    EXPECT_EQ(stop_of([&] { b.from_xml("Building", Attrs{}, 1); }).message(),
              "assertion failed: name.local_name == \"Buildings\"");

    OperationIndicatorGroup g;
    EXPECT_EQ(stop_of([&] { g.from_xml("OperationDataPoints", Attrs{}, 1); }).message(),
              "assertion failed: name.local_name == \"OperationIndicatorGroups\"");
}

TEST(EnergyRecords, UtilityBooleanAndOutputs) {
    for (const char* text : {"TRUE", "True", "true"}) {
        EXPECT_TRUE(read<OperationUtility>({{"IsElectricity", text}}).is_electricity) << text;
    }
    auto u = read<OperationUtility>({{"ID", "1"}, {"Name", "Electricity"}, {"Order", "+3"}, {"IsElectricity", "false"}},
                                    3735928559u);
    EXPECT_FALSE(u.is_electricity);
    EXPECT_EQ(u.display_line(), R"(<OperationUtility ID="1", Name="Electricity", Order="3", IsElectricity="false">)");
    EXPECT_EQ(json_of(u),
              R"({"link":{"database_id":3735928559,"row_id":1,"combined_id":8030895855},"id":1,)"
              R"("name":"Electricity","order":3,"is_electricity":false})");
    EXPECT_EQ(xml_of(u),
              R"(<Datamodel link="8030895855" id="1" name="Electricity" order="3" is_electricity="false"></Datamodel>)");
}

TEST(EnergyRecords, OperationParsesItsLinks) {
    auto op = read<Operation>({{"ID", "1"},
                               {"ElectricityConsumption", "10"},
                               {"HeatingConsumption", "20.5"},
                               {"HeatSupplyUtilityLink", "0:3"},
                               {"ScenarioLink", "0:2"}},
                              5);
    EXPECT_EQ(op.scenario_link, "0:2");
    EXPECT_EQ(op.parsed_scenario_link.database_id, 5u);
    EXPECT_EQ(op.parsed_scenario_link.row_id, 2u);
    EXPECT_EQ(op.parsed_scenario_link.combined_id, 8589934597ull);
    EXPECT_EQ(op.parsed_heat_supply_utility_link.combined_id, (3ull << 32) | 5);
    EXPECT_EQ(op.display_line(),
              R"(<Operation ID="1", ElectricityConsumption="10", HeatingConsumption="20.5", )"
              R"(HeatSupplyUtilityLink="5:3" ScenarioLink="5:2">)");
    EXPECT_EQ(json_of(op),
              R"({"link":{"database_id":5,"row_id":1,"combined_id":4294967301},"id":1,)"
              R"("electricity_consumption":10.0,"heating_consumption":20.5,)"
              R"("heat_supply_utility_link":"0:3","scenario_link":"0:2",)"
              R"("parsed_heat_supply_utility_link":{"database_id":5,"row_id":3,"combined_id":12884901893},)"
              R"("parsed_scenario_link":{"database_id":5,"row_id":2,"combined_id":8589934597}})");
    EXPECT_EQ(xml_of(op),
              R"(<Datamodel link="5:1" id="1" electricity_consumption="10" heating_consumption="20.5" )"
              R"(heat_supply_utility_link="0:3" scenario_link="0:2"></Datamodel>)");
}

TEST(EnergyRecords, OperationLinkFailures) {
    const struct {
        Attrs attrs;
        const char* message;
        const char* attribute;
    } cases[] = {
        {{{"ID", "1"}, {"ScenarioLink", "0:2"}}, "Not a full link (Missing colon)", "HeatSupplyUtilityLink"},
        {{{"HeatSupplyUtilityLink", "0:3"}}, "Not a full link (Missing colon)", "ScenarioLink"},
        {{}, "Not a full link (Missing colon)", "HeatSupplyUtilityLink"},
        {{{"HeatSupplyUtilityLink", ""}, {"ScenarioLink", "0:2"}}, "Not a full link (Missing colon)",
         "HeatSupplyUtilityLink"},
        {{{"HeatSupplyUtilityLink", "3"}, {"ScenarioLink", "0:2"}}, "Not a full link (Missing colon)",
         "HeatSupplyUtilityLink"},
        {{{"HeatSupplyUtilityLink", "0:3"}, {"ScenarioLink", "0:x"}}, "u32: invalid digit found in string",
         "ScenarioLink"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute);
        const FatalStop stop = stop_of([&] { read<Operation>(c.attrs, 5); });
        EXPECT_EQ(stop.message(), c.message);
        EXPECT_NE(std::string(stop.what()).find(c.attribute), std::string::npos) << stop.what();
    }
}

TEST(EnergyRecords, DataPointAndScenario) {
    auto p = read<OperationDataPoint>({{"ID", "3"}, {"ScenarioID", "2"}, {"Year", "+2020"}});
    EXPECT_EQ(p.year, 2020u);
    EXPECT_EQ(p.display_line(), R"(<OperationDataPoint ID="3", ScenarioID="2", Year="2020",>)");
    EXPECT_EQ(json_of(p),
              R"({"link":{"database_id":7,"row_id":3,"combined_id":12884901895},"id":3,"scenario_id":2,"year":2020})");

    auto s = read<OperationScenario>({{"ID", "2"}, {"Name", "Base"}, {"Description", "line\nfeed"}});
    EXPECT_EQ(json_of(s),
              R"({"link":{"database_id":7,"row_id":2,"combined_id":8589934599},"id":2,)"
              R"("name":"Base","description":"line\nfeed"})");
}

TEST(EnergyRecords, IndicatorGroupValues) {
    auto g = read<OperationIndicatorGroup>({{"ID", "4"},
                                            {"DataPointID", "3"},
                                            {"UtilityID", "1"},
                                            {"GWP", "1"},
                                            {"ODP", "2"},
                                            {"POCP", "3"},
                                            {"AP", "4"},
                                            {"EP", "5"},
                                            {"ADPE", "6"},
                                            {"ADPF", "7"},
                                            {"PENR", "8.5"},
                                            {"PER", "9"},
                                            {"SENR", "NaN"},
                                            {"SER", "-11"}});
    EXPECT_EQ(g.display_line(),
              R"(<OperationIndicatorGroup ID="4", DataPointID="3", UtilityID="1", GWP="1", ODP="2", POCP="3", )"
              R"(AP="4", EP="5", ADPE="6", ADPF="7", PENR="8.5", PER="9", SENR="NaN", SER="-11">)");
    EXPECT_EQ(json_of(g),
              R"({"link":{"database_id":7,"row_id":4,"combined_id":17179869191},"id":4,"data_point_id":3,)"
              R"("utility_id":1,"gwp":1.0,"odp":2.0,"pocp":3.0,"ap":4.0,"ep":5.0,"adpe":6.0,"adpf":7.0,)"
              R"("penr":8.5,"per":9.0,"senr":null,"ser":-11.0})");

    const struct {
        const char* name;
        std::optional<double> value;
    } lookups[] = {
        {"gwp", 1.0},   {"GWP", 1.0},         {"  gwp\t", 1.0},      {"odp", 2.0},       {"pocp", 3.0},
        {"ap", 4.0},    {"ep", 5.0},          {"adpe", 6.0},         {"adpf", 7.0},      {"PENR", 8.5},
        {" penr", 8.5}, {"Penr", 8.5},        {"per", 9.0},          {"ser", -11.0},     {"pe nr", std::nullopt},
        {"penr2", std::nullopt}, {"", std::nullopt}, {"g wp", std::nullopt}, {"sum", std::nullopt},
    };
    for (const auto& l : lookups) EXPECT_EQ(g.get_indicator(l.name), l.value) << '"' << l.name << '"';
    auto senr = g.get_indicator("senr");
    ASSERT_TRUE(senr.has_value());
    EXPECT_TRUE(std::isnan(*senr));
}

}  // namespace
}  // namespace mirelo
