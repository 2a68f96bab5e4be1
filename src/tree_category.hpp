// A category of building elements.
#pragma once

#include <compare>
#include <vector>

#include "budget.hpp"
#include "datamodel_category.hpp"
#include "shared_error.hpp"
#include "tree_element.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;

struct CategoryNode {
    static constexpr std::string_view NODE_NAME = "Category";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<ElementNode> children;  // ascending by element order
    Category datamodel;
    TreeResults results;

    budget::Charge record_texts;  // the heap its copies of the records hold

    explicit CategoryNode(Category datamodel);
    void add_child(ElementNode child);

    Status calculate(const Building& bld);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

    friend std::strong_ordering operator<=>(const CategoryNode& a, const CategoryNode& b) {
        return a.datamodel.order <=> b.datamodel.order;
    }
    friend bool operator==(const CategoryNode& a, const CategoryNode& b) {
        return a.datamodel.link.combined_id == b.datamodel.link.combined_id;
    }
};

}  // namespace mirelo
