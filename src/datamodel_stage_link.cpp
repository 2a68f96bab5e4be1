#include "datamodel_stage_link.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void StageLink::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "ProductID") product_id = read_u32(a);
        else if (n == "StageLink") stage_link = a.value;
        else if (n == "Stage") stage = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
    // Parsed also when the attribute was absent: a stage link is required.
    parsed_stage_link = read_link(stage_link, database_id, "StageLink");
}

std::string StageLink::display_line() const {
    return DisplayLine("StageLink")
        .field("ID", id)
        .field("ProductID", product_id)
        .field("StageLink", stage_link)
        .field("Stage", stage, false)
        .finish();
}

void StageLink::encode(json::Encoder& encoder) const {
    encoder.emit_struct("StageLink", 6, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("product_id", 2, product_id);
        encoder.field("stage_link", 3, stage_link);
        encoder.field("stage", 4, stage);
        encoder.field("parsed_stage_link", 5, parsed_stage_link);
    });
}

void StageLink::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"product_id", xml_value(product_id)},
        {"stage_link", stage_link},
        {"stage", stage},
    };
    write_record_element(writer, node_name, attrs);
}

size_t StageLink::heap_bytes() const { return budget::texts_bytes(stage_link, stage); }

}  // namespace mirelo
