#include "tree_product.hpp"

#include <cmath>

#include "budget.hpp"
#include "datamodel_element.hpp"
#include "json.hpp"
#include "shared_error.hpp"
#include "text_convert.hpp"
#include "tree_constants.hpp"
#include "tree_dump.hpp"

namespace mirelo {

namespace {

// The stage codes of the children, lower-cased and trimmed once, so the
// checks of one product do not convert every name again for every code.
std::vector<std::string> stage_keys(const budget::Vector<StageNode>& children) {
    std::vector<std::string> keys;
    keys.reserve(children.size());
    for (const StageNode& child : children) keys.push_back(lower_trim(child.datamodel.stage));
    return keys;
}

std::optional<size_t> find_key(const std::vector<std::string>& keys, std::string_view code) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == code) return i;
    }
    return std::nullopt;
}

}  // namespace

ProductNode::ProductNode(Product datamodel, ProductLink linkmodel, Source source)
    : datamodel(std::move(datamodel)), linkmodel(std::move(linkmodel)), source(std::move(source)) {
    record_texts.add_copies("the records of a product node", this->datamodel, this->linkmodel, this->source);
}

void ProductNode::add_child(StageNode child) { children.push_back(std::move(child)); }

std::optional<size_t> ProductNode::get_stage_index(std::string stage_id) const {
    return find_key(stage_keys(children), lower_trim(stage_id));
}

Status ProductNode::calculate(const Building& bld, const Element& elm, const Construction& cstr) {
    // Every check comes before the first write, so a rejected product keeps
    // the values it was constructed with.
    const std::vector<std::string> keys = stage_keys(children);
    const std::optional<size_t> a1_3 = find_key(keys, STAGE_A1_3);
    if (!a1_3) return SharedError::missing_stage("Missing stage A1_3");
    if (find_key(keys, STAGE_C3).has_value() == find_key(keys, STAGE_C4).has_value()) {
        return SharedError::missing_stage("Missing one of stage C3 or C4");
    }
    const size_t expected = find_key(keys, STAGE_D) ? 3 : 2;
    if (children.size() != expected) {
        std::string message = "Missing or too many stages, skipping for calculation (Product: ";
        message += datamodel.display_line();
        message += ", Product link: ";
        message += datamodel.link.to_string();
        message += ", Stages: ";
        message += std::to_string(children.size());
        message += ')';
        return SharedError::skipping_stage_calculation(std::move(message));
    }

    const Stage& product_stage = children[*a1_3].datamodel;
    const double unit_factor =
        lower_trim(product_stage.stage_unit) == lower_trim(product_stage.indicator_unit) ? 1.0 : linkmodel.density;
    calc_stage_amount = std::fabs(elm.amount) * linkmodel.amount;
    record_texts.add(budget::copy_bytes(product_stage.stage_unit), "the stage unit of a product");
    calc_stage_amount_unit = product_stage.stage_unit;
    calc_indicator_amount_a1_3 = unit_factor * calc_stage_amount;

    // A negative element amount is material taken out of the building: its
    // weight counts as demolition weight. NaN and -0.0 are not negative.
    const bool demolition = elm.amount < 0;
    const double weight = calc_indicator_amount_a1_3 * product_stage.quantity;
    calc_weight = demolition ? 0.0 : weight;
    calc_demo_weight = demolition ? weight : 0.0;
    results.weight = calc_weight;
    results.demo_weight = calc_demo_weight;

    const double stage_weight = demolition ? calc_demo_weight : calc_weight;
    for (StageNode& stage : children) {
        if (Status error =
                stage.calculate(bld, elm, cstr, datamodel, linkmodel, calc_indicator_amount_a1_3, stage_weight)) {
            return error;
        }
    }
    calc_replacements = children[*a1_3].calc_replacements;
    return std::nullopt;
}

void ProductNode::calculate_hierarchy_sums() {
    for (const StageNode& child : children) (void)results.add_other_results(child.results);
}

void ProductNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    tree::common_print(level, recursive, linkmodel.display_line());
    if (recursive) tree::print_children(children, level);
}

void ProductNode::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attributes[] = {
        {"stage_amount", xml_value(calc_stage_amount)},
        {"indicator_amount_a1_3", xml_value(calc_indicator_amount_a1_3)},
        {"weight", xml_value(calc_weight)},
        {"replacements", xml_value(calc_replacements)},
    };
    tree::write_node(writer, NODE_NAME, attributes, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        linkmodel.node_to_xml(writer, "Linkmodel");
        results.node_to_xml(writer);
        for (const StageNode& child : children) child.node_to_xml(writer);
    });
}

void ProductNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("ProductNode", 12, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("linkmodel", 3, linkmodel);
        encoder.field("source", 4, source);
        encoder.field("results", 5, results);
        encoder.field("calc_stage_amount", 6, calc_stage_amount);
        encoder.field("calc_stage_amount_unit", 7, calc_stage_amount_unit);
        encoder.field("calc_indicator_amount_a1_3", 8, calc_indicator_amount_a1_3);
        encoder.field("calc_weight", 9, calc_weight);
        encoder.field("calc_replacements", 10, calc_replacements);
        encoder.field("calc_demo_weight", 11, calc_demo_weight);
    });
}

}  // namespace mirelo
