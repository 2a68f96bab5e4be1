#include "tree_all_elements.hpp"

#include "json.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

void AllElementsNode::add_child(SuperCategoryNode child) { children.push_back(std::move(child)); }

Status AllElementsNode::calculate(const Building& bld) {
    return tree::calculate_children(children, bld);
}

void AllElementsNode::calculate_hierarchy_sums() {
    tree::sum_children(results, children);
}

void AllElementsNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, NODE_NAME);
    if (recursive) tree::print_children(children, level);
}

void AllElementsNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        results.node_to_xml(writer);
        for (const SuperCategoryNode& child : children) child.node_to_xml(writer);
    });
}

void AllElementsNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("AllElementsNode", 3, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("results", 2, results);
    });
}

}  // namespace mirelo
