#include "tree_building.hpp"

#include "json.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

BuildingNode::BuildingNode(Building datamodel)
    : operation_child(Operation{}, OperationScenario{}), datamodel(std::move(datamodel)) {
    record_texts.add_copies("the records of a building node", this->datamodel);
}

Status BuildingNode::calculate() {
    // A period outside the 32-bit years stops the call before anything is calculated.
    tree::check_period(datamodel);
    operation_child.calculate(datamodel);
    return all_elements_child.calculate(datamodel);
}

// Each branch completes its own sums before it is added, so the building
// receives finished totals. Additions never fail.
void BuildingNode::calculate_hierarchy_sums() {
    operation_child.calculate_hierarchy_sums();
    (void)results.add_other_results(operation_child.results);
    all_elements_child.calculate_hierarchy_sums();
    (void)results.add_other_results(all_elements_child.results);
}

void BuildingNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    if (!recursive) return;
    operation_child.print(level + 1, true);
    all_elements_child.print(level + 1, true);
}

void BuildingNode::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        operation_child.node_to_xml(writer);
        all_elements_child.node_to_xml(writer);
    });
}

void BuildingNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("BuildingNode", 5, [&] {
        encoder.node_type(node_type);
        encoder.field("operation_child", 1, operation_child);
        encoder.field("all_elements_child", 2, all_elements_child);
        encoder.field("datamodel", 3, datamodel);
        encoder.field("results", 4, results);
    });
}

}  // namespace mirelo
