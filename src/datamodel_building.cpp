#include "datamodel_building.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void Building::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "OperationID") operation_id = read_u32(a);
        else if (n == "SourceID") source_id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Address") address = a.value;
        else if (n == "Owner") owner = a.value;
        else if (n == "Type") typefield = a.value;
        else if (n == "FloorArea") floor_area = read_real(a);
        else if (n == "GrossArea") gross_area = read_real(a);
        else if (n == "BuildingLifeSpan") building_lifespan = read_u32(a);
        else if (n == "InitialYear") initial_year = read_u32(a);
        else if (n == "CalculationTimeSpan") calculation_timespan = read_u32(a);
        else if (n == "Description") description = a.value;
        else if (n == "ReportPurpose") report_purpose = a.value;
        else if (n == "ReportBuildingElements") report_building_elements = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string Building::display_line() const {
    return DisplayLine("Building")
        .field("ID", id)
        .field("OperationID", operation_id)
        .field("SourceID", source_id)
        .field("Name", name)
        .field("Address", address)
        .field("Owner", owner)
        .field("Type", typefield)
        .field("FloorArea", floor_area)
        .field("GrossArea", gross_area)
        .field("BuildingLifeSpan", building_lifespan)
        .field("InitialYear", initial_year)
        .field("CalculationTimeSpan", calculation_timespan)
        .field("Description", description)
        .field("ReportPurpose", report_purpose)
        .field("ReportBuildingElements", report_building_elements)
        .finish();
}

void Building::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Building", 16, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("operation_id", 2, operation_id);
        encoder.field("source_id", 3, source_id);
        encoder.field("name", 4, name);
        encoder.field("address", 5, address);
        encoder.field("owner", 6, owner);
        encoder.field("typefield", 7, typefield);
        encoder.field("floor_area", 8, floor_area);
        encoder.field("gross_area", 9, gross_area);
        encoder.field("building_lifespan", 10, building_lifespan);
        encoder.field("initial_year", 11, initial_year);
        encoder.field("calculation_timespan", 12, calculation_timespan);
        encoder.field("description", 13, description);
        encoder.field("report_purpose", 14, report_purpose);
        encoder.field("report_building_elements", 15, report_building_elements);
    });
}

void Building::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"operation_id", xml_value(operation_id)},
        {"source_id", xml_value(source_id)},
        {"name", name},
        {"address", address},
        {"owner", owner},
        {"type", typefield},
        {"floor_area", xml_value(floor_area)},
        {"gross_area", xml_value(gross_area)},
        {"building_lifespan", xml_value(building_lifespan)},
        {"initial_year", xml_value(initial_year)},
        {"calculation_timespan", xml_value(calculation_timespan)},
        {"description", description},
        {"report_purpose", report_purpose},
        {"report_building_elements", report_building_elements},
    };
    write_record_element(writer, node_name, attrs);
}

size_t Building::heap_bytes() const {
    return budget::texts_bytes(name, address, owner, typefield, description, report_purpose, report_building_elements);
}

}  // namespace mirelo
