#include "datamodel_operation_utility.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void OperationUtility::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Order") order = read_u32(a);
        else if (n == "IsElectricity") is_electricity = read_bool(a);
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string OperationUtility::display_line() const {
    return DisplayLine("OperationUtility")
        .field("ID", id)
        .field("Name", name)
        .field("Order", order)
        .field("IsElectricity", is_electricity, false)
        .finish();
}

void OperationUtility::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationUtility", 5, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("name", 2, name);
        encoder.field("order", 3, order);
        encoder.field("is_electricity", 4, is_electricity);
    });
}

void OperationUtility::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"name", name},
        {"order", xml_value(order)},
        {"is_electricity", xml_value(is_electricity)},
    };
    write_record_element(writer, node_name, attrs);
}

size_t OperationUtility::heap_bytes() const { return budget::texts_bytes(name); }

}  // namespace mirelo
