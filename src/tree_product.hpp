// A product placed in a construction, with its stages and calculated amounts.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <vector>

#include "budget.hpp"
#include "datamodel_product.hpp"
#include "datamodel_product_link.hpp"
#include "datamodel_source.hpp"
#include "shared_error.hpp"
#include "tree_results.hpp"
#include "tree_stage.hpp"

namespace mirelo {

struct Building;
struct Construction;
struct Element;

struct ProductNode {
    static constexpr std::string_view NODE_NAME = "Product";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<StageNode> children;  // ascending by stage text
    Product datamodel;
    ProductLink linkmodel;  // amount, density, lifespan and order of the product in the construction
    Source source;
    TreeResults results;
    double calc_stage_amount = 0.0;
    std::string calc_stage_amount_unit;
    double calc_indicator_amount_a1_3 = 0.0;
    double calc_weight = 0.0;
    uint32_t calc_replacements = 0;
    double calc_demo_weight = 0.0;

    budget::Charge record_texts;  // the heap its copies of the records and its unit text hold

    ProductNode(Product datamodel, ProductLink linkmodel, Source source);
    void add_child(StageNode child);

    // Checks the stages, computes amounts and weights, calculates every stage.
    Status calculate(const Building& bld, const Element& elm, const Construction& cstr);
    // Position of the first stage whose code equals `stage_id` (both lower-cased and trimmed).
    std::optional<size_t> get_stage_index(std::string stage_id) const;
    void calculate_hierarchy_sums();

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

    // Ordered by the product link's order; equal when the product records are the same.
    friend std::strong_ordering operator<=>(const ProductNode& a, const ProductNode& b) {
        return a.linkmodel.order <=> b.linkmodel.order;
    }
    friend bool operator==(const ProductNode& a, const ProductNode& b) {
        return a.datamodel.link.combined_id == b.datamodel.link.combined_id;
    }
};

}  // namespace mirelo
