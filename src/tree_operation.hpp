// The building's energy-use branch: its operation record and two utilities.
#pragma once

#include <vector>

#include "budget.hpp"
#include "datamodel_operation.hpp"
#include "datamodel_operation_scenario.hpp"
#include "tree_operation_utility.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;

struct OperationNode {
    static constexpr std::string_view NODE_NAME = "Operation";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<OperationUtilityNode> children;  // electricity first, heat supply second
    Operation datamodel;
    OperationScenario scenario_model;
    TreeResults results;

    budget::Charge record_texts;  // the heap its copies of the records hold

    OperationNode(Operation datamodel, OperationScenario scenario_model);
    void add_child(OperationUtilityNode child);

    // Calculates every utility; a utility that cannot be calculated is skipped.
    void calculate(const Building& bld);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
