#include "datamodel_element.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

bool Element::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "BuildingID") building_id = read_u32(a);
        else if (n == "ConstructionLink") construction_link = a.value;
        else if (n == "SourceID") source_id = read_u32(a);
        else if (n == "Enabled") enabled = read_bool(a);
        else if (n == "Name") name = a.value;
        else if (n == "Amount") amount = read_real(a);
        else if (n == "Order") order = read_i32(a);
        else if (n == "Comment") comment = a.value;
        else skip_attribute_log(a, LogLevel::Debug, LOG_TARGET_ELEMENT);
    }
    // An element without a construction has nothing to calculate; the
    // marker is matched exactly, so "None " or "none" still reach the parse
    // below and stop the call as malformed links.
    if (construction_link == "None") return false;
    link = Link(database_id, id);
    parsed_construction_link = read_link(construction_link, database_id, "ConstructionLink");
    return true;
}

std::string Element::display_line() const {
    return DisplayLine("Element")
        .field("ID", id)
        .field("BuildingID", building_id)
        .field("ConstructionLink", construction_link)
        .field("SourceID", source_id)
        .field("Enabled", enabled)
        .field("Name", name)
        .field("Amount", amount)
        .field("Order", order)
        .field("Comment", comment, false)
        .finish();
}

void Element::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Element", 11, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("building_id", 2, building_id);
        encoder.field("construction_link", 3, construction_link);
        encoder.field("source_id", 4, source_id);
        encoder.field("enabled", 5, enabled);
        encoder.field("name", 6, name);
        encoder.field("amount", 7, amount);
        encoder.field("order", 8, order);
        encoder.field("comment", 9, comment);
        encoder.field("parsed_construction_link", 10, parsed_construction_link);
    });
}

void Element::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"building_id", xml_value(building_id)},
        {"construction_link", construction_link},
        {"source_id", xml_value(source_id)},
        {"enabled", xml_value(enabled)},
        {"name", name},
        {"amount", xml_value(amount)},
        {"order", xml_value(order)},
        {"comment", comment},
    };
    write_record_element(writer, node_name, attrs);
}

size_t Element::heap_bytes() const { return budget::texts_bytes(construction_link, name, comment); }

}  // namespace mirelo
