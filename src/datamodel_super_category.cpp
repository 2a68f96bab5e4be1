#include "datamodel_super_category.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void SuperCategory::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Order") order = read_i32(a);
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string SuperCategory::display_line() const {
    return DisplayLine("SuperCategory").field("ID", id).field("Name", name).field("Order", order).finish();
}

void SuperCategory::encode(json::Encoder& encoder) const {
    encoder.emit_struct("SuperCategory", 4, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("name", 2, name);
        encoder.field("order", 3, order);
    });
}

void SuperCategory::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"name", name},
        {"order", xml_value(order)},
    };
    write_record_element(writer, node_name, attrs);
}

size_t SuperCategory::heap_bytes() const { return budget::texts_bytes(name); }

}  // namespace mirelo
