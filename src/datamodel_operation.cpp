#include "datamodel_operation.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void Operation::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "ElectricityConsumption") electricity_consumption = read_real(a);
        else if (n == "HeatingConsumption") heating_consumption = read_real(a);
        else if (n == "HeatSupplyUtilityLink") heat_supply_utility_link = a.value;
        else if (n == "ScenarioLink") scenario_link = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
    // Both links are required: an absent attribute leaves the empty text,
    // whose parse stops the call like any other malformed link.
    parsed_heat_supply_utility_link = read_link(heat_supply_utility_link, database_id, "HeatSupplyUtilityLink");
    parsed_scenario_link = read_link(scenario_link, database_id, "ScenarioLink");
}

std::string Operation::display_line() const {
    return DisplayLine("Operation")
        .field("ID", id)
        .field("ElectricityConsumption", electricity_consumption)
        .field("HeatingConsumption", heating_consumption)
        .field("HeatSupplyUtilityLink", parsed_heat_supply_utility_link, false)
        .field("ScenarioLink", parsed_scenario_link, false)
        .finish();
}

void Operation::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Operation", 8, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("electricity_consumption", 2, electricity_consumption);
        encoder.field("heating_consumption", 3, heating_consumption);
        encoder.field("heat_supply_utility_link", 4, heat_supply_utility_link);
        encoder.field("scenario_link", 5, scenario_link);
        encoder.field("parsed_heat_supply_utility_link", 6, parsed_heat_supply_utility_link);
        encoder.field("parsed_scenario_link", 7, parsed_scenario_link);
    });
}

void Operation::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", link.to_string()},
        {"id", xml_value(id)},
        {"electricity_consumption", xml_value(electricity_consumption)},
        {"heating_consumption", xml_value(heating_consumption)},
        {"heat_supply_utility_link", heat_supply_utility_link},
        {"scenario_link", scenario_link},
    };
    write_record_element(writer, node_name, attrs);
}

size_t Operation::heap_bytes() const { return budget::texts_bytes(heat_supply_utility_link, scenario_link); }

}  // namespace mirelo
