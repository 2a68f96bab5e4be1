#include "tree_category.hpp"

#include "json.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

CategoryNode::CategoryNode(Category datamodel) : datamodel(std::move(datamodel)) {
    record_texts.add_copies("the records of a category node", this->datamodel);
}

void CategoryNode::add_child(ElementNode child) { children.push_back(std::move(child)); }

Status CategoryNode::calculate(const Building& bld) {
    return tree::calculate_children(children, bld);
}

void CategoryNode::calculate_hierarchy_sums() {
    tree::sum_children(results, children);
}

void CategoryNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    if (recursive) tree::print_children(children, level);
}

void CategoryNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        for (const ElementNode& child : children) child.node_to_xml(writer);
    });
}

void CategoryNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("CategoryNode", 4, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("results", 3, results);
    });
}

}  // namespace mirelo
