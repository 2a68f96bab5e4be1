#include "datamodel_operation_data_point.hpp"

#include "json.hpp"

namespace mirelo {

void OperationDataPoint::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        if (a.local_name == "ID") id = read_u32(a);
        else if (a.local_name == "ScenarioID") scenario_id = read_u32(a);
        else if (a.local_name == "Year") year = read_u32(a);
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string OperationDataPoint::display_line() const {
    return DisplayLine("OperationDataPoint").field("ID", id).field("ScenarioID", scenario_id).field("Year", year).finish();
}

void OperationDataPoint::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationDataPoint", 4, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("scenario_id", 2, scenario_id);
        encoder.field("year", 3, year);
    });
}

}  // namespace mirelo
