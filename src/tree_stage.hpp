// Leaf of the element branch: one life-cycle stage of a product with its results.
#pragma once

#include <compare>
#include <string_view>

#include "budget.hpp"
#include "datamodel_category.hpp"
#include "datamodel_source.hpp"
#include "datamodel_stage.hpp"
#include "datamodel_stage_link.hpp"
#include "shared_error.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;
struct Construction;
struct Element;
struct Product;
struct ProductLink;

struct StageNode {
    static constexpr std::string_view NODE_NAME = "Stage";
    static constexpr std::string_view node_type = NODE_NAME;
    Stage datamodel;
    StageLink linkmodel;  // its `stage` text is the sort key
    Source source;
    Category category;
    TreeResults results;
    uint32_t calc_replacements = 0;

    budget::Charge record_texts;  // the heap its copies of the records hold

    StageNode(Stage datamodel, StageLink linkmodel, Source source, Category category);

    // The stage's own values and its replacements over the calculation period.
    Status calculate(const Building& bld, const Element& elm, const Construction& cstr, const Product& prd,
                     const ProductLink& prd_link, double calc_indicator_amount_a1_3, double weight);

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

    // Ordered by the stage link's stage text, bytewise; equal when the stage
    // records are the same.
    friend std::strong_ordering operator<=>(const StageNode& a, const StageNode& b) {
        int c = std::string_view(a.linkmodel.stage).compare(b.linkmodel.stage);
        return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
    }
    friend bool operator==(const StageNode& a, const StageNode& b) {
        return a.datamodel.link.combined_id == b.datamodel.link.combined_id;
    }
};

}  // namespace mirelo
