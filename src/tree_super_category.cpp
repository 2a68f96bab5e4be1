#include "tree_super_category.hpp"

#include "json.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

SuperCategoryNode::SuperCategoryNode(SuperCategory datamodel) : datamodel(std::move(datamodel)) {
    record_texts.add_copies("the records of a super category node", this->datamodel);
}

void SuperCategoryNode::add_child(CategoryNode child) { children.push_back(std::move(child)); }

Status SuperCategoryNode::calculate(const Building& bld) {
    return tree::calculate_children(children, bld);
}

void SuperCategoryNode::calculate_hierarchy_sums() {
    tree::sum_children(results, children);
}

void SuperCategoryNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    if (recursive) tree::print_children(children, level);
}

void SuperCategoryNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        for (const CategoryNode& child : children) child.node_to_xml(writer);
    });
}

void SuperCategoryNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("SuperCategoryNode", 4, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("results", 3, results);
    });
}

}  // namespace mirelo
