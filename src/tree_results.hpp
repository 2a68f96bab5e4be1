// The results of one tree node: per stage, per indicator, per year, plus
// the weight and demolition weight of the node's material.
#pragma once

#include <optional>
#include <string>

#include "flat_map.hpp"
#include "shared_error.hpp"
#include "tree_result_stage.hpp"

namespace mirelo {

// Reads the key of a stage entry: its name.
struct StageOf {
    const std::string& operator()(const TreeResultStage& entry) const { return entry.stage; }
};

// Stage names bytewise.
using StageMap = FlatMap<TreeResultStage, StageOf>;

struct TreeResults {
    static constexpr std::string_view NODE_NAME = "Results";
    static constexpr std::string_view node_type = NODE_NAME;
    StageMap stages;
    std::optional<double> weight;
    std::optional<double> demo_weight;

    // Total over all years under 9999 for every indicator of every stage.
    void calculate_time_sum();
    // "b4" from "b4_a" and "b4_c", then "sum" from STAGE_SUM_LIST.
    Status calculate_stage_sums();
    Status calculate_b4_stage_sum();
    Status calculate_final_stage_sum();
    // Adds a child's results: the stages of STAGE_HIERARCHY_LIST and the weights.
    Status add_other_results(const TreeResults& other_results);

    void encode(json::Encoder& encoder) const;
    // <Results> with the stages sorted bytewise.
    void node_to_xml(XmlWriter& writer) const;
    bool operator==(const TreeResults& o) const {
        return stages == o.stages && weight == o.weight && demo_weight == o.demo_weight;
    }
};

}  // namespace mirelo
