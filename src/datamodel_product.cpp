#include "datamodel_product.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void Product::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "SourceID") source_id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Comment") comment = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string Product::display_line() const {
    return DisplayLine("Product")
        .field("ID", id)
        .field("SourceID", source_id)
        .field("Name", name)
        .field("Comment", comment, false)
        .finish();
}

void Product::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Product", 5, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("source_id", 2, source_id);
        encoder.field("name", 3, name);
        encoder.field("comment", 4, comment);
    });
}

void Product::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"source_id", xml_value(source_id)},
        {"name", name},
        {"comment", comment},
    };
    write_record_element(writer, node_name, attrs);
}

size_t Product::heap_bytes() const { return budget::texts_bytes(name, comment); }

}  // namespace mirelo
