#include "tree_construction.hpp"

#include "json.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

ConstructionNode::ConstructionNode(Construction datamodel, Source source)
    : datamodel(std::move(datamodel)), source(std::move(source)) {
    record_texts.add_copies("the records of a construction node", this->datamodel, this->source);
}

void ConstructionNode::add_child(ProductNode child) { children.push_back(std::move(child)); }

Status ConstructionNode::calculate(const Building& bld, const Element& elm) {
    return tree::calculate_children(children, bld, elm, datamodel);
}

void ConstructionNode::calculate_hierarchy_sums() {
    tree::sum_children(results, children);
}

void ConstructionNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    if (recursive) tree::print_children(children, level);
}

void ConstructionNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        for (const ProductNode& child : children) child.node_to_xml(writer);
    });
}

void ConstructionNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("ConstructionNode", 5, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("source", 3, source);
        encoder.field("results", 4, results);
    });
}

}  // namespace mirelo
