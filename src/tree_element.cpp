#include "tree_element.hpp"

#include "json.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

ElementNode::ElementNode(Element datamodel, Source source)
    : datamodel(std::move(datamodel)), source(std::move(source)) {
    record_texts.add_copies("the records of an element node", this->datamodel, this->source);
}

void ElementNode::add_child(ConstructionNode child) { children.push_back(std::move(child)); }

Status ElementNode::calculate(const Building& bld) {
    return tree::calculate_children(children, bld, datamodel);
}

void ElementNode::calculate_hierarchy_sums() {
    tree::sum_children(results, children);
}

void ElementNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    if (recursive) tree::print_children(children, level);
}

void ElementNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        for (const ConstructionNode& child : children) child.node_to_xml(writer);
    });
}

void ElementNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("ElementNode", 5, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("source", 3, source);
        encoder.field("results", 4, results);
    });
}

}  // namespace mirelo
