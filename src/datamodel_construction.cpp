#include "datamodel_construction.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void Construction::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "CategoryID") category_id = read_u32(a);
        else if (n == "SourceID") source_id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Unit") unit = a.value;
        else if (n == "Comment") comment = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string Construction::display_line() const {
    return DisplayLine("Construction")
        .field("ID", id)
        .field("CategoryID", category_id)
        .field("SourceID", source_id)
        .field("Name", name)
        .field("Unit", unit)
        .field("Comment", comment, false)
        .finish();
}

void Construction::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Construction", 7, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("category_id", 2, category_id);
        encoder.field("source_id", 3, source_id);
        encoder.field("name", 4, name);
        encoder.field("unit", 5, unit);
        encoder.field("comment", 6, comment);
    });
}

void Construction::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"category_id", xml_value(category_id)},
        {"source_id", xml_value(source_id)},
        {"name", name},
        {"unit", unit},
        {"comment", comment},
    };
    write_record_element(writer, node_name, attrs);
}

size_t Construction::heap_bytes() const { return budget::texts_bytes(name, unit, comment); }

}  // namespace mirelo
