#include "tree_operation.hpp"

#include "json.hpp"
#include "tree_dump.hpp"

namespace mirelo {

OperationNode::OperationNode(Operation datamodel, OperationScenario scenario_model)
    : datamodel(std::move(datamodel)), scenario_model(std::move(scenario_model)) {
    record_texts.add_copies("the records of an operation node", this->datamodel, this->scenario_model);
}

void OperationNode::add_child(OperationUtilityNode child) { children.push_back(std::move(child)); }

void OperationNode::calculate(const Building& bld) {
    // A utility without data points has nothing to contribute; the other
    // utility is calculated all the same.
    for (OperationUtilityNode& child : children) (void)child.calculate(bld, datamodel);
}

void OperationNode::calculate_hierarchy_sums() {
    for (const OperationUtilityNode& child : children) (void)results.add_other_results(child.results);
}

void OperationNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    tree::common_print(level, recursive, scenario_model.display_line());
    if (recursive) tree::print_children(children, level);
}

void OperationNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        for (const OperationUtilityNode& child : children) child.node_to_xml(writer);
    });
}

void OperationNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationNode", 5, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("scenario_model", 3, scenario_model);
        encoder.field("results", 4, results);
    });
}

}  // namespace mirelo
