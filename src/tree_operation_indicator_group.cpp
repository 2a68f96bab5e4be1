#include "tree_operation_indicator_group.hpp"

#include "json.hpp"
#include "tree_dump.hpp"

namespace mirelo {

OperationIndicatorGroupNode::OperationIndicatorGroupNode(OperationIndicatorGroup datamodel)
    : datamodel(std::move(datamodel)) {
}

void OperationIndicatorGroupNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
}

// A bare element: the record has no XML form, and failures are ignored as
// for the data point that holds it.
void OperationIndicatorGroupNode::node_to_xml(XmlWriter& writer) const {
    write_record_element(writer, NODE_NAME, {});
}

void OperationIndicatorGroupNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationIndicatorGroupNode", 2, [&] {
        encoder.node_type(node_type);
        encoder.field("datamodel", 1, datamodel);
    });
}

}  // namespace mirelo
