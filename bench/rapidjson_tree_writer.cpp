#include "rapidjson_tree_writer.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace mirelo::bench {

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Scalars, in the kinds our encoder gives them.
void put(JsonWriter& w, std::string_view v) { w.String(v.data(), static_cast<rapidjson::SizeType>(v.size())); }
void put(JsonWriter& w, const std::string& v) { put(w, std::string_view(v)); }
void put(JsonWriter& w, bool v) { w.Bool(v); }
void put(JsonWriter& w, uint32_t v) { w.Uint(v); }
void put(JsonWriter& w, int32_t v) { w.Int(v); }
void put(JsonWriter& w, uint64_t v) { w.Uint64(v); }
void put(JsonWriter& w, double v) {
    if (std::isfinite(v)) w.Double(v);
    else w.Null();
}

// Composite values; declared first because the tree refers back and forth.
template <class T>
void put(JsonWriter& w, const std::optional<T>& v);
template <class T, class A>
void put(JsonWriter& w, const std::vector<T, A>& v);
void put(JsonWriter& w, const Link& v);
void put(JsonWriter& w, const TreeResultYear& v);
void put(JsonWriter& w, const TreeResultIndicator& v);
void put(JsonWriter& w, const TreeResultStage& v);
void put(JsonWriter& w, const TreeResults& v);
void put(JsonWriter& w, const Building& v);
void put(JsonWriter& w, const Operation& v);
void put(JsonWriter& w, const OperationScenario& v);
void put(JsonWriter& w, const OperationUtility& v);
void put(JsonWriter& w, const OperationDataPoint& v);
void put(JsonWriter& w, const OperationIndicatorGroup& v);
void put(JsonWriter& w, const SuperCategory& v);
void put(JsonWriter& w, const Category& v);
void put(JsonWriter& w, const Element& v);
void put(JsonWriter& w, const Construction& v);
void put(JsonWriter& w, const Product& v);
void put(JsonWriter& w, const ProductLink& v);
void put(JsonWriter& w, const StageLink& v);
void put(JsonWriter& w, const Stage& v);
void put(JsonWriter& w, const Source& v);
void put(JsonWriter& w, const OperationIndicatorGroupNode& v);
void put(JsonWriter& w, const OperationDataPointNode& v);
void put(JsonWriter& w, const OperationUtilityNode& v);
void put(JsonWriter& w, const OperationNode& v);
void put(JsonWriter& w, const StageNode& v);
void put(JsonWriter& w, const ProductNode& v);
void put(JsonWriter& w, const ConstructionNode& v);
void put(JsonWriter& w, const ElementNode& v);
void put(JsonWriter& w, const CategoryNode& v);
void put(JsonWriter& w, const SuperCategoryNode& v);
void put(JsonWriter& w, const AllElementsNode& v);
void put(JsonWriter& w, const BuildingNode& v);
void put(JsonWriter& w, const RootNode& v);

template <class T>
void member(JsonWriter& w, std::string_view key, const T& v) {
    w.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    put(w, v);
}

template <class T>
void put(JsonWriter& w, const std::optional<T>& v) {
    if (v) put(w, *v);
    else w.Null();
}

template <class T, class A>
void put(JsonWriter& w, const std::vector<T, A>& v) {
    w.StartArray();
    for (const T& e : v) put(w, e);
    w.EndArray();
}

void indicators(JsonWriter& w, double gwp, double odp, double pocp, double ap, double ep, double adpe, double adpf,
                double penr, double per, double senr, double ser) {
    member(w, "gwp", gwp);
    member(w, "odp", odp);
    member(w, "pocp", pocp);
    member(w, "ap", ap);
    member(w, "ep", ep);
    member(w, "adpe", adpe);
    member(w, "adpf", adpf);
    member(w, "penr", penr);
    member(w, "per", per);
    member(w, "senr", senr);
    member(w, "ser", ser);
}

void put(JsonWriter& w, const Link& v) {
    w.StartObject();
    member(w, "database_id", v.database_id);
    member(w, "row_id", v.row_id);
    member(w, "combined_id", v.combined_id);
    w.EndObject();
}

// Results.

void put(JsonWriter& w, const TreeResultYear& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "year", v.year);
    member(w, "value", v.value);
    w.EndObject();
}

void put(JsonWriter& w, const TreeResultIndicator& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "indicator", v.indicator);
    w.Key("years");
    w.StartObject();
    for (const TreeResultYear& entry : v.years) {
        // A year key is the year's digits as a member name.
        char key[16];
        auto end = std::to_chars(key, key + sizeof key, entry.year).ptr;
        w.Key(key, static_cast<rapidjson::SizeType>(end - key), true);
        put(w, entry);
    }
    w.EndObject();
    w.EndObject();
}

void put(JsonWriter& w, const TreeResultStage& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "stage", v.stage);
    w.Key("indicators");
    w.StartObject();
    for (const TreeResultIndicator& indicator : v.indicators) member(w, indicator.indicator, indicator);
    w.EndObject();
    w.EndObject();
}

void put(JsonWriter& w, const TreeResults& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    w.Key("stages");
    w.StartObject();
    for (const TreeResultStage& stage : v.stages) member(w, stage.stage, stage);
    w.EndObject();
    member(w, "weight", v.weight);
    member(w, "demo_weight", v.demo_weight);
    w.EndObject();
}

// Records.

void put(JsonWriter& w, const Building& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "operation_id", v.operation_id);
    member(w, "source_id", v.source_id);
    member(w, "name", v.name);
    member(w, "address", v.address);
    member(w, "owner", v.owner);
    member(w, "typefield", v.typefield);
    member(w, "floor_area", v.floor_area);
    member(w, "gross_area", v.gross_area);
    member(w, "building_lifespan", v.building_lifespan);
    member(w, "initial_year", v.initial_year);
    member(w, "calculation_timespan", v.calculation_timespan);
    member(w, "description", v.description);
    member(w, "report_purpose", v.report_purpose);
    member(w, "report_building_elements", v.report_building_elements);
    w.EndObject();
}

void put(JsonWriter& w, const Operation& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "electricity_consumption", v.electricity_consumption);
    member(w, "heating_consumption", v.heating_consumption);
    member(w, "heat_supply_utility_link", v.heat_supply_utility_link);
    member(w, "scenario_link", v.scenario_link);
    member(w, "parsed_heat_supply_utility_link", v.parsed_heat_supply_utility_link);
    member(w, "parsed_scenario_link", v.parsed_scenario_link);
    w.EndObject();
}

void put(JsonWriter& w, const OperationScenario& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "name", v.name);
    member(w, "description", v.description);
    w.EndObject();
}

void put(JsonWriter& w, const OperationUtility& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "name", v.name);
    member(w, "order", v.order);
    member(w, "is_electricity", v.is_electricity);
    w.EndObject();
}

void put(JsonWriter& w, const OperationDataPoint& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "scenario_id", v.scenario_id);
    member(w, "year", v.year);
    w.EndObject();
}

void put(JsonWriter& w, const OperationIndicatorGroup& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "data_point_id", v.data_point_id);
    member(w, "utility_id", v.utility_id);
    indicators(w, v.gwp, v.odp, v.pocp, v.ap, v.ep, v.adpe, v.adpf, v.penr, v.per, v.senr, v.ser);
    w.EndObject();
}

void put(JsonWriter& w, const SuperCategory& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "name", v.name);
    member(w, "order", v.order);
    w.EndObject();
}

void put(JsonWriter& w, const Category& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "is_stage", v.is_stage);
    member(w, "name", v.name);
    member(w, "order", v.order);
    member(w, "super_category_id", v.super_category_id);
    member(w, "units", v.units);
    w.EndObject();
}

void put(JsonWriter& w, const Element& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "building_id", v.building_id);
    member(w, "construction_link", v.construction_link);
    member(w, "source_id", v.source_id);
    member(w, "enabled", v.enabled);
    member(w, "name", v.name);
    member(w, "amount", v.amount);
    member(w, "order", v.order);
    member(w, "comment", v.comment);
    member(w, "parsed_construction_link", v.parsed_construction_link);
    w.EndObject();
}

void put(JsonWriter& w, const Construction& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "category_id", v.category_id);
    member(w, "source_id", v.source_id);
    member(w, "name", v.name);
    member(w, "unit", v.unit);
    member(w, "comment", v.comment);
    w.EndObject();
}

void put(JsonWriter& w, const Product& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "source_id", v.source_id);
    member(w, "name", v.name);
    member(w, "comment", v.comment);
    w.EndObject();
}

void put(JsonWriter& w, const ProductLink& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "construction_id", v.construction_id);
    member(w, "product_link", v.product_link);
    member(w, "order", v.order);
    member(w, "amount", v.amount);
    member(w, "density", v.density);
    member(w, "lifespan", v.lifespan);
    member(w, "transport", v.transport);
    member(w, "parsed_product_link", v.parsed_product_link);
    w.EndObject();
}

void put(JsonWriter& w, const StageLink& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "product_id", v.product_id);
    member(w, "stage_link", v.stage_link);
    member(w, "stage", v.stage);
    member(w, "parsed_stage_link", v.parsed_stage_link);
    w.EndObject();
}

void put(JsonWriter& w, const Stage& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "category_id", v.category_id);
    member(w, "source_id", v.source_id);
    member(w, "name", v.name);
    member(w, "stage", v.stage);
    member(w, "stage_unit", v.stage_unit);
    member(w, "indicator_unit", v.indicator_unit);
    member(w, "factor", v.factor);
    member(w, "density", v.density);
    member(w, "quantity", v.quantity);
    member(w, "default_c_link", v.default_c_link);
    member(w, "default_d_link", v.default_d_link);
    member(w, "external_source", v.external_source);
    member(w, "external_id", v.external_id);
    member(w, "external_url", v.external_url);
    member(w, "comment", v.comment);
    indicators(w, v.gwp, v.odp, v.pocp, v.ap, v.ep, v.adpe, v.adpf, v.penr, v.per, v.senr, v.ser);
    w.EndObject();
}

void put(JsonWriter& w, const Source& v) {
    w.StartObject();
    member(w, "link", v.link);
    member(w, "id", v.id);
    member(w, "name", v.name);
    member(w, "official", v.official);
    member(w, "read_only", v.read_only);
    w.EndObject();
}

// Nodes.

void put(JsonWriter& w, const OperationIndicatorGroupNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "datamodel", v.datamodel);
    w.EndObject();
}

void put(JsonWriter& w, const OperationDataPointNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    w.EndObject();
}

void put(JsonWriter& w, const OperationUtilityNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "amount", v.amount);
    member(w, "results", v.results);
    member(w, "calc_usage_multiplier", v.calc_usage_multiplier);
    w.EndObject();
}

void put(JsonWriter& w, const OperationNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "scenario_model", v.scenario_model);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const StageNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "datamodel", v.datamodel);
    member(w, "linkmodel", v.linkmodel);
    member(w, "source", v.source);
    member(w, "category", v.category);
    member(w, "results", v.results);
    member(w, "calc_replacements", v.calc_replacements);
    w.EndObject();
}

void put(JsonWriter& w, const ProductNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "linkmodel", v.linkmodel);
    member(w, "source", v.source);
    member(w, "results", v.results);
    member(w, "calc_stage_amount", v.calc_stage_amount);
    member(w, "calc_stage_amount_unit", v.calc_stage_amount_unit);
    member(w, "calc_indicator_amount_a1_3", v.calc_indicator_amount_a1_3);
    member(w, "calc_weight", v.calc_weight);
    member(w, "calc_replacements", v.calc_replacements);
    member(w, "calc_demo_weight", v.calc_demo_weight);
    w.EndObject();
}

void put(JsonWriter& w, const ConstructionNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "source", v.source);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const ElementNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "source", v.source);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const CategoryNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const SuperCategoryNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "datamodel", v.datamodel);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const AllElementsNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const BuildingNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "operation_child", v.operation_child);
    member(w, "all_elements_child", v.all_elements_child);
    member(w, "datamodel", v.datamodel);
    member(w, "results", v.results);
    w.EndObject();
}

void put(JsonWriter& w, const RootNode& v) {
    w.StartObject();
    member(w, "node_type", v.node_type);
    member(w, "children", v.children);
    w.EndObject();
}

}  // namespace

std::string rapidjson_encode(const RootNode& root, double& write_seconds) {
    const auto start = std::chrono::steady_clock::now();
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    put(writer, root);
    write_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool same_json_value(const std::string& a, const std::string& b, std::string& detail) {
    constexpr unsigned FLAGS = rapidjson::kParseFullPrecisionFlag;
    rapidjson::Document da;
    rapidjson::Document db;
    if (da.Parse<FLAGS>(a.data(), a.size()).HasParseError()) {
        detail = std::string("first text does not parse: ") + rapidjson::GetParseError_En(da.GetParseError()) +
                 " at offset " + std::to_string(da.GetErrorOffset());
        return false;
    }
    if (db.Parse<FLAGS>(b.data(), b.size()).HasParseError()) {
        detail = std::string("second text does not parse: ") + rapidjson::GetParseError_En(db.GetParseError()) +
                 " at offset " + std::to_string(db.GetErrorOffset());
        return false;
    }
    if (!(da == db)) {
        detail = "the documents differ as JSON values";
        return false;
    }
    return true;
}

}  // namespace mirelo::bench
