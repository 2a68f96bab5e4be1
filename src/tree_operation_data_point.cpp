#include "tree_operation_data_point.hpp"

#include "json.hpp"
#include "tree_dump.hpp"

namespace mirelo {

OperationDataPointNode::OperationDataPointNode(OperationDataPoint datamodel) : datamodel(std::move(datamodel)) {
}

void OperationDataPointNode::add_child(OperationIndicatorGroupNode child) { children.push_back(std::move(child)); }

void OperationDataPointNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    if (recursive) tree::print_children(children, level);
}

// Only ever dumped on its own, never as part of the tree, so a failed write
// is not worth stopping for.
void OperationDataPointNode::node_to_xml(XmlWriter& writer) const {
    // An element that failed to start is not ended: the end would close
    // the enclosing element instead.
    const bool opened = !writer.start_element(NODE_NAME, {});
    for (const OperationIndicatorGroupNode& child : children) child.node_to_xml(writer);
    if (opened) (void)writer.end_element();
}

void OperationDataPointNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationDataPointNode", 3, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
    });
}

}  // namespace mirelo
