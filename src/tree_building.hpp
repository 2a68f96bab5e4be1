// One building: its energy-use branch and its element branch.
#pragma once

#include "budget.hpp"
#include "datamodel_building.hpp"
#include "tree_all_elements.hpp"
#include "tree_operation.hpp"

namespace mirelo {

struct BuildingNode {
    static constexpr std::string_view NODE_NAME = "Building";
    static constexpr std::string_view node_type = NODE_NAME;
    OperationNode operation_child;
    AllElementsNode all_elements_child;
    Building datamodel;
    TreeResults results;

    // Starts with an empty operation branch; tree construction puts the real one in.
    budget::Charge record_texts;  // the heap its copies of the records hold

    explicit BuildingNode(Building datamodel);

    // The energy-use branch, then every product; the first product error.
    Status calculate();
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
