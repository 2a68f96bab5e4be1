#include "datamodel_stage.hpp"

#include "budget.hpp"
#include "datamodel_indicators.hpp"
#include "json.hpp"
#include "shared_error.hpp"
#include "text_convert.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void Stage::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "CategoryID") category_id = read_u32(a);
        else if (n == "SourceID") source_id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Stage") stage = a.value;
        else if (n == "StageUnit") stage_unit = a.value;
        else if (n == "IndicatorUnit") indicator_unit = a.value;
        else if (n == "Factor") factor = read_real(a);
        else if (n == "Density") density = read_real(a);
        else if (n == "Quantity") quantity = read_real(a);
        // The default links are kept for reference only and never followed,
        // so any text is accepted.
        else if (n == "DefaultCLink") default_c_link = a.value;
        else if (n == "DefaultDLink") default_d_link = a.value;
        else if (n == "ExternalSource") external_source = a.value;
        else if (n == "ExternalID") external_id = a.value;
        else if (n == "ExternalUrl") external_url = a.value;
        else if (n == "Comment") comment = a.value;
        else if (!read_indicator(*this, a)) skip_attribute_log(a, LogLevel::Warn, LOG_TARGET_STAGE);
    }
    link = Link(database_id, id);
}

std::string Stage::display_line() const {
    DisplayLine line("Stage");
    line.field("ID", id)
        .field("CategoryID", category_id)
        .field("SourceID", source_id)
        .field("Name", name)
        .field("Stage", stage)
        .field("StageUnit", stage_unit)
        .field("IndicatorUnit", indicator_unit)
        .field("Factor", factor)
        .field("Density", density)
        .field("Quantity", quantity)
        .field("DefaultCLink", default_c_link)
        .field("DefaultDLink", default_d_link)
        .field("ExternalSource", external_source)
        .field("ExternalID", external_id)
        .field("ExternalUrl", external_url)
        .field("Comment", comment);
    display_indicators(line, *this);
    return line.finish();
}

void Stage::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Stage", 17 + INDICATOR_FIELDS<Stage>.size(), [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("category_id", 2, category_id);
        encoder.field("source_id", 3, source_id);
        encoder.field("name", 4, name);
        encoder.field("stage", 5, stage);
        encoder.field("stage_unit", 6, stage_unit);
        encoder.field("indicator_unit", 7, indicator_unit);
        encoder.field("factor", 8, factor);
        encoder.field("density", 9, density);
        encoder.field("quantity", 10, quantity);
        encoder.field("default_c_link", 11, default_c_link);
        encoder.field("default_d_link", 12, default_d_link);
        encoder.field("external_source", 13, external_source);
        encoder.field("external_id", 14, external_id);
        encoder.field("external_url", 15, external_url);
        encoder.field("comment", 16, comment);
        encode_indicators(encoder, *this, 17);
    });
}

void Stage::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"category_id", xml_value(category_id)},
        {"source_id", xml_value(source_id)},
        {"name", name},
        {"stage", stage},
        {"stage_unit", stage_unit},
        {"indicator_unit", indicator_unit},
        {"factor", xml_value(factor)},
        {"density", xml_value(density)},
        {"quantity", xml_value(quantity)},
        {"default_c_link", default_c_link},
        {"default_d_link", default_d_link},
        {"external_source", external_source},
        {"external_id", external_id},
        {"external_url", external_url},
        {"comment", comment},
    };
    for (const IndicatorField<Stage>& f : INDICATOR_FIELDS<Stage>) {
        attrs.push_back({f.key, xml_value(this->*f.member)});
    }
    write_record_element(writer, node_name, attrs);
}

Result<double> Stage::get_indicator(std::string_view indicator_id) const {
    if (std::optional<double> value = find_indicator(*this, lower_trim(indicator_id))) return *value;
    // The message quotes the name as the caller gave it, untrimmed.
    return SharedError::missing_indicator("Missing indicator " + std::string(indicator_id));
}

size_t Stage::heap_bytes() const {
    return budget::texts_bytes(name, stage, stage_unit, indicator_unit, default_c_link, default_d_link, external_source,
                               external_id, external_url, comment);
}

}  // namespace mirelo
