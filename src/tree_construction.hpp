// The construction of an element, with the products it is made of.
#pragma once

#include <vector>

#include "budget.hpp"
#include "datamodel_construction.hpp"
#include "datamodel_source.hpp"
#include "shared_error.hpp"
#include "tree_product.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;
struct Element;

struct ConstructionNode {
    static constexpr std::string_view NODE_NAME = "Construction";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<ProductNode> children;  // ascending by product link order
    Construction datamodel;
    Source source;
    TreeResults results;

    budget::Charge record_texts;  // the heap its copies of the records hold

    ConstructionNode(Construction datamodel, Source source);
    void add_child(ProductNode child);

    Status calculate(const Building& bld, const Element& elm);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
