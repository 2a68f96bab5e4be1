// A building element: an amount of one construction.
#pragma once

#include <compare>
#include <vector>

#include "budget.hpp"
#include "datamodel_element.hpp"
#include "datamodel_source.hpp"
#include "shared_error.hpp"
#include "tree_construction.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;

struct ElementNode {
    static constexpr std::string_view NODE_NAME = "Element";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<ConstructionNode> children;  // exactly one: the element's construction
    Element datamodel;
    Source source;
    TreeResults results;

    budget::Charge record_texts;  // the heap its copies of the records hold

    ElementNode(Element datamodel, Source source);
    void add_child(ConstructionNode child);

    Status calculate(const Building& bld);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

    // Ordered by the element's order (signed); equal when the records are the same.
    friend std::strong_ordering operator<=>(const ElementNode& a, const ElementNode& b) {
        return a.datamodel.order <=> b.datamodel.order;
    }
    friend bool operator==(const ElementNode& a, const ElementNode& b) {
        return a.datamodel.link.combined_id == b.datamodel.link.combined_id;
    }
};

}  // namespace mirelo
