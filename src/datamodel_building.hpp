// Building: one row of the "Buildings" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct Building {
    static constexpr std::string_view ELEMENT_NAME = "Buildings";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t operation_id = 0;  // "OperationID": foreign key of the building's `Operation`
    uint32_t source_id = 0;  // "SourceID": foreign key of a `Source`
    std::string name;  // "Name": name
    std::string address;  // "Address": address
    std::string owner;  // "Owner": owner
    std::string typefield;  // "Type": type of building
    double floor_area = 0.0;  // "FloorArea": floor area; the energy consumptions are per unit of it
    double gross_area = 0.0;  // "GrossArea": gross area
    uint32_t building_lifespan = 0;  // "BuildingLifeSpan": life span of the building in years
    uint32_t initial_year = 0;  // "InitialYear": first year of the calculation period
    uint32_t calculation_timespan = 0;  // "CalculationTimeSpan": length of the calculation period in years
    std::string description;  // "Description": description
    std::string report_purpose;  // "ReportPurpose": purpose of the report
    std::string report_building_elements;  // "ReportBuildingElements": report text on the building elements

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Building ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
