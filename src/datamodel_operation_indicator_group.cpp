#include "datamodel_operation_indicator_group.hpp"

#include "datamodel_indicators.hpp"
#include "json.hpp"
#include "text_convert.hpp"

namespace mirelo {

void OperationIndicatorGroup::from_xml(std::string_view element_name, XmlAttributes attributes,
                                       uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") {
            id = read_u32(a);
        } else if (n == "DataPointID") {
            data_point_id = read_u32(a);
        } else if (n == "UtilityID") {
            utility_id = read_u32(a);
        } else if (!read_indicator(*this, a)) {
            skip_attribute_stdout(a);
        }
    }
    link = Link(database_id, id);
}

std::string OperationIndicatorGroup::display_line() const {
    DisplayLine line("OperationIndicatorGroup");
    line.field("ID", id).field("DataPointID", data_point_id).field("UtilityID", utility_id);
    display_indicators(line, *this);
    return line.finish();
}

void OperationIndicatorGroup::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationIndicatorGroup", 4 + INDICATOR_FIELDS<OperationIndicatorGroup>.size(), [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("data_point_id", 2, data_point_id);
        encoder.field("utility_id", 3, utility_id);
        encode_indicators(encoder, *this, 4);
    });
}

std::optional<double> OperationIndicatorGroup::get_indicator(std::string_view indicator_id) const {
    return find_indicator(*this, lower_trim(indicator_id));
}

}  // namespace mirelo
