// The results of one life-cycle stage: one entry per indicator.
#pragma once

#include <string>
#include <string_view>

#include "flat_map.hpp"
#include "shared_error.hpp"
#include "tree_result_indicator.hpp"

namespace mirelo {

// Orders indicator names as INDICATORS lists them, any other name after
// them, bytewise.
struct IndicatorOrder {
    bool operator()(std::string_view a, std::string_view b) const;
};

// Reads the key of an indicator entry: its name.
struct IndicatorOf {
    const std::string& operator()(const TreeResultIndicator& entry) const { return entry.indicator; }
};

using IndicatorMap = FlatMap<TreeResultIndicator, IndicatorOf, IndicatorOrder>;

struct TreeResultStage {
    static constexpr std::string_view NODE_NAME = "ResultStage";
    static constexpr std::string_view node_type = NODE_NAME;
    std::string stage;
    IndicatorMap indicators;

    TreeResultStage() = default;
    explicit TreeResultStage(std::string stage) : stage(std::move(stage)) {}

    void calculate_time_sum();
    // Adds every indicator of `other_stage` into this stage; never fails.
    Status add_other_stage(const TreeResultStage& other_stage);

    void encode(json::Encoder& encoder) const;
    // <ResultStage stage="..."> with those of the eleven indicators of
    // INDICATORS that the stage holds, in that order.
    void node_to_xml(XmlWriter& writer) const;
    bool operator==(const TreeResultStage& o) const { return stage == o.stage && indicators == o.indicators; }
};

}  // namespace mirelo
