// Operation: one row of the "Operations" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct Operation {
    static constexpr std::string_view ELEMENT_NAME = "Operations";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    double electricity_consumption = 0.0;  // "ElectricityConsumption": electricity consumption per unit of floor area and year
    double heating_consumption = 0.0;  // "HeatingConsumption": heat consumption per unit of floor area and year
    std::string heat_supply_utility_link;  // "HeatSupplyUtilityLink": link text of the `OperationUtility` that supplies heat
    std::string scenario_link;  // "ScenarioLink": link text of the `OperationScenario` whose data points apply
    Link parsed_heat_supply_utility_link;  // (computed): `Link::parse` of `heat_supply_utility_link`
    Link parsed_scenario_link;  // (computed): `Link::parse` of `scenario_link`

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Operation ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
