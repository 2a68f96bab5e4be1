// The construction of an element, with the products it is made of.
#pragma once

#include <vector>

#include "tree_product.hpp"

namespace mirelo {

struct ConstructionNode {
    static constexpr std::string_view NODE_NAME = "Construction";
    static constexpr std::string_view node_type = NODE_NAME;
    std::vector<ProductNode> children;  // ascending by product link order
    Construction datamodel;
    Source source;
    TreeResults results;

    ConstructionNode(Construction datamodel, Source source);
    void add_child(ProductNode child);

    Status calculate(const Building& bld, const Element& elm);
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
