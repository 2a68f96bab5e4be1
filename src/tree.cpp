#include "tree.hpp"

#include "json.hpp"

namespace mirelo {

// The concept is the dumps' contract: every node type must keep offering it.
static_assert(TreeNodeTrait<RootNode> && TreeNodeTrait<BuildingNode> && TreeNodeTrait<OperationNode> &&
              TreeNodeTrait<OperationUtilityNode> && TreeNodeTrait<OperationDataPointNode> &&
              TreeNodeTrait<OperationIndicatorGroupNode> && TreeNodeTrait<AllElementsNode> &&
              TreeNodeTrait<SuperCategoryNode> && TreeNodeTrait<CategoryNode> && TreeNodeTrait<ElementNode> &&
              TreeNodeTrait<ConstructionNode> && TreeNodeTrait<ProductNode> && TreeNodeTrait<StageNode>);

void RootNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, NODE_NAME);
    if (recursive) tree::print_children(children, level);
}

void RootNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        for (const BuildingNode& child : children) child.node_to_xml(writer);
    });
}

void RootNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("RootNode", 2, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
    });
}

}  // namespace mirelo
