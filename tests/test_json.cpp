// The compact JSON text: escaping, numbers, maps and the whole document.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "json.hpp"
#include "lib.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

std::string escaped(std::string_view text) {
    json::Text out;
    json::escape_str(out, text);
    return out.str();
}

TEST(JsonText, EscapesQuotesBackslashesAndControlBytesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {std::string("\b\t\n\f\r", 5), "\"\\b\\t\\n\\f\\r\""},
        {std::string("\x00\x01\x0b\x1b\x1f\x7f", 6), "\"\\u0000\\u0001\\u000b\\u001b\\u001f\\u007f\""},
        {"a/b", "\"a/b\""},                                // the solidus stays
        {"Gr\xc3\xbcn \xe2\x82\xac", "\"Gr\xc3\xbcn \xe2\x82\xac\""},  // UTF-8 stays as it is
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(escaped(text), expected);
}

// Writes one value through a fresh encoder.
template <class F>
std::string write(F&& body) {
    json::Text out;
    json::Encoder encoder(out);
    body(encoder);
    EXPECT_TRUE(encoder.ok());
    return out.str();
}

TEST(JsonText, NumbersHaveTheirKindsText) {
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_f64(2020.0); }), "2020.0");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_u32(2020); }), "2020");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_i32(-5); }), "-5");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_u64(std::numeric_limits<uint64_t>::max()); }),
              "18446744073709551615");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_f64(-0.0); }), "0.0");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_f64(std::nan("")); }), "null");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_f64(-INFINITY); }), "null");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_f64(1e-7); }), "0.0000001");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_f64(1e21); }), "1000000000000000000000.0");
}

TEST(JsonText, SequencesMapsAndOptionals) {
    const std::vector<std::string> none;
    const std::vector<std::string> one{"x"};
    const std::vector<std::string> empty_unit{""};
    EXPECT_EQ(write([&](json::Encoder& e) { e.value(none); }), "[]");
    EXPECT_EQ(write([&](json::Encoder& e) { e.value(one); }), "[\"x\"]");
    EXPECT_EQ(write([&](json::Encoder& e) { e.value(empty_unit); }), "[\"\"]");
    EXPECT_EQ(write([](json::Encoder& e) { e.value(std::optional<uint32_t>()); }), "null");
    EXPECT_EQ(write([](json::Encoder& e) { e.value(std::optional<uint32_t>(0)); }), "0");

    // Integer keys are quoted, the values they name are not; text keys are escaped.
    const std::map<uint32_t, uint32_t> years{{2020, 1}, {9999, 2}};
    EXPECT_EQ(write([&](json::Encoder& e) { e.map(years); }), "{\"2020\":1,\"9999\":2}");
    const std::map<std::string, double> named{{"a\"b", 0.5}};
    EXPECT_EQ(write([&](json::Encoder& e) { e.map(named); }), "{\"a\\\"b\":0.5}");
    EXPECT_EQ(write([](json::Encoder& e) { e.map(std::map<std::string, int32_t>()); }), "{}");
    EXPECT_EQ(write([](json::Encoder& e) { e.emit_struct("Empty", 0, [] {}); }), "{}");
}

TEST(JsonText, KindsThatCannotBeKeysFailAndStopTheEncoding) {
    const std::vector<std::function<void(json::Encoder&)>> bad_keys = {
        [](json::Encoder& e) { e.emit_bool(true); },
        [](json::Encoder& e) { e.emit_option_none(); },
        [](json::Encoder& e) { e.emit_seq(0, [] {}); },
        [](json::Encoder& e) { e.emit_map(0, [] {}); },
        [](json::Encoder& e) { e.emit_struct("S", 0, [] {}); },
    };
    for (const auto& key : bad_keys) {
        json::Text out;
        json::Encoder encoder(out);
        encoder.emit_map(1, [&] {
            encoder.emit_map_elt_key(0, [&] { key(encoder); });
            encoder.emit_map_elt_val(0, [&] { encoder.emit_u32(1); });
        });
        ASSERT_TRUE(encoder.error().has_value());
        EXPECT_EQ(*encoder.error(), json::EncoderError::BadHashmapKey);
        EXPECT_EQ(out, "{");  // nothing is appended after the failure
    }
    // Reals as keys are written between quotes like integers.
    json::Text out;
    json::Encoder encoder(out);
    encoder.emit_map_elt_key(0, [&] { encoder.emit_f64(2.5); });
    EXPECT_TRUE(encoder.ok());
    EXPECT_EQ(out, "\"2.5\"");
}

TEST(JsonDocument, SmallProjectIsWrittenByteForByte) {
    testing::TempDir dir;
    const std::string project = dir.write("project.xml", R"(<P>
  <Database PrimaryDatabaseUID="1"/>
  <Buildings ID="1" OperationID="1" Name="B &amp; &quot;C&quot;" FloorArea="120" InitialYear="2020" CalculationTimeSpan="1"/>
  <Operations ID="1" ElectricityConsumption="2" HeatingConsumption="-0" HeatSupplyUtilityLink="0:2" ScenarioLink="0:1"/>
  <Utilities/>
  <OperationUtilities ID="2" Name="Heat" Order="2" IsElectricity="false"/>
  <OperationScenarios ID="1" Name="S" Description="line&#10;feed"/>
</P>)");
    const std::string generic = dir.write("generic.xml", R"(<G>
  <Database PrimaryDatabaseUID="3735928559"/>
  <Settings ID="1" Name="UID" Value="3735928559"/>
  <OperationUtilities ID="1" Name="Grid" Order="1" IsElectricity="true"/>
</G>)");
    const std::string expected =
        R"({"node_type":"Root","children":[{"node_type":"Building","operation_child":{"node_type":"Operation",)"
        R"("children":[{"node_type":"OperationUtility","children":[],"datamodel":{"link":{"database_id":3735928559,)"
        R"("row_id":1,"combined_id":8030895855},"id":1,"name":"Grid","order":1,"is_electricity":true},"amount":2.0,)"
        R"("results":{"node_type":"Results","stages":{},"weight":null,"demo_weight":null},"calc_usage_multiplier":0.0},)"
        R"({"node_type":"OperationUtility","children":[],"datamodel":{"link":{"database_id":1,"row_id":2,)"
        R"("combined_id":8589934593},"id":2,"name":"Heat","order":2,"is_electricity":false},"amount":0.0,)"
        R"("results":{"node_type":"Results","stages":{},"weight":null,"demo_weight":null},"calc_usage_multiplier":0.0}],)"
        R"("datamodel":{"link":{"database_id":1,"row_id":1,"combined_id":4294967297},"id":1,)"
        R"("electricity_consumption":2.0,"heating_consumption":0.0,"heat_supply_utility_link":"0:2",)"
        R"("scenario_link":"0:1","parsed_heat_supply_utility_link":{"database_id":1,"row_id":2,)"
        R"("combined_id":8589934593},"parsed_scenario_link":{"database_id":1,"row_id":1,"combined_id":4294967297}},)"
        R"("scenario_model":{"link":{"database_id":1,"row_id":1,"combined_id":4294967297},"id":1,"name":"S",)"
        R"("description":"line\nfeed"},"results":{"node_type":"Results","stages":{},"weight":null,"demo_weight":null}},)"
        R"("all_elements_child":{"node_type":"AllElements","children":[],"results":{"node_type":"Results",)"
        R"("stages":{},"weight":null,"demo_weight":null}},"datamodel":{"link":{"database_id":1,"row_id":1,)"
        R"("combined_id":4294967297},"id":1,"operation_id":1,"source_id":0,"name":"B & \"C\"","address":"",)"
        R"("owner":"","typefield":"","floor_area":120.0,"gross_area":0.0,"building_lifespan":0,"initial_year":2020,)"
        R"("calculation_timespan":1,"description":"","report_purpose":"","report_building_elements":""},)"
        R"("results":{"node_type":"Results","stages":{},"weight":null,"demo_weight":null}}]})";
    EXPECT_EQ(process(project, {generic}, "", {}), expected);
}

}  // namespace
}  // namespace mirelo
