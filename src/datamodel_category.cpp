#include "datamodel_category.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void Category::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") {
            id = read_u32(a);
        } else if (n == "IsStage") {
            is_stage = read_bool(a);
        } else if (n == "Name") {
            name = a.value;
        } else if (n == "Order") {
            order = read_i32(a);
        } else if (n == "SuperCategoryID") {
            // Top-level categories carry the literal marker instead of an id.
            if (a.value == "None") super_category_id.reset();
            else super_category_id = read_u32(a);
        } else if (n == "Units") {
            // Every piece counts, empty ones included: "" is one empty unit
            // and a trailing ";" adds one more.
            std::string_view rest = a.value;
            for (;;) {
                const size_t cut = rest.find(';');
                units.emplace_back(rest.substr(0, cut));
                if (cut == std::string_view::npos) break;
                rest.remove_prefix(cut + 1);
            }
        } else {
            skip_attribute_stdout(a);
        }
    }
    link = Link(database_id, id);
}

std::string Category::display_line() const {
    std::string units_text;
    for (const std::string& unit : units) {
        units_text += unit;
        units_text += ',';
    }
    DisplayLine line("Category");
    line.field("ID", id).field("IsStage", is_stage).field("Name", name).field("Order", order);
    if (super_category_id) line.field("SuperCategoryID", *super_category_id);
    else line.field("SuperCategoryID", "None");
    return line.field("Units", units_text, false).finish();
}

void Category::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Category", 7, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("is_stage", 2, is_stage);
        encoder.field("name", 3, name);
        encoder.field("order", 4, order);
        encoder.field("super_category_id", 5, super_category_id);
        encoder.field("units", 6, units);
    });
}

void Category::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    std::string units_text;
    for (size_t i = 0; i < units.size(); ++i) {
        if (i != 0) units_text += ';';
        units_text += units[i];
    }
    const std::vector<XmlAttr> attrs = {
        {"link", link.to_string()},
        {"id", xml_value(id)},
        {"is_stage", xml_value(is_stage)},
        {"name", name},
        {"order", xml_value(order)},
        {"super_category_id", super_category_id ? xml_value(*super_category_id) : std::string()},
        {"units", std::move(units_text)},
    };
    write_record_element(writer, node_name, attrs);
}

size_t Category::heap_bytes() const { return budget::texts_bytes(name, units); }

}  // namespace mirelo
