// A group of categories.
#pragma once

#include <compare>
#include <vector>

#include "budget.hpp"
#include "datamodel_super_category.hpp"
#include "shared_error.hpp"
#include "tree_category.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;

struct SuperCategoryNode {
    static constexpr std::string_view NODE_NAME = "SuperCategory";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<CategoryNode> children;  // ascending by category order
    SuperCategory datamodel;
    TreeResults results;

    budget::Charge record_texts;  // the heap its copies of the records hold

    explicit SuperCategoryNode(SuperCategory datamodel);
    void add_child(CategoryNode child);

    Status calculate(const Building& bld);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

    friend std::strong_ordering operator<=>(const SuperCategoryNode& a, const SuperCategoryNode& b) {
        return a.datamodel.order <=> b.datamodel.order;
    }
    friend bool operator==(const SuperCategoryNode& a, const SuperCategoryNode& b) {
        return a.datamodel.link.combined_id == b.datamodel.link.combined_id;
    }
};

}  // namespace mirelo
