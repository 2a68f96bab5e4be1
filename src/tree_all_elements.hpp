// The building's element branch: its super categories.
#pragma once

#include <vector>

#include "budget.hpp"
#include "shared_error.hpp"
#include "tree_results.hpp"
#include "tree_super_category.hpp"

namespace mirelo {

struct Building;

struct AllElementsNode {
    static constexpr std::string_view NODE_NAME = "AllElements";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<SuperCategoryNode> children;  // ascending by super category order
    TreeResults results;

    AllElementsNode() = default;
    void add_child(SuperCategoryNode child);

    // Calculates every product in tree order; stops at the first error.
    Status calculate(const Building& bld);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
