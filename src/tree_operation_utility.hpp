// An energy utility of the building's operation and its yearly "b6" results.
#pragma once

#include <vector>

#include "budget.hpp"
#include "datamodel_operation_utility.hpp"
#include "shared_error.hpp"
#include "tree_operation_data_point.hpp"
#include "tree_results.hpp"

namespace mirelo {

struct Building;
struct Operation;

struct OperationUtilityNode {
    static constexpr std::string_view NODE_NAME = "OperationUtility";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<OperationDataPointNode> children;  // ascending by year
    OperationUtility datamodel;
    double amount = 0.0;  // the operation's consumption for this utility
    TreeResults results;
    double calc_usage_multiplier = 0.0;

    budget::Charge record_texts;  // the heap its copies of the records hold

    OperationUtilityNode(OperationUtility datamodel, double amount);
    void add_child(OperationDataPointNode child);

    // Fills the stage "b6" year by year over the building's calculation
    // period; fails (without results) when the utility has no data points.
    Status calculate(const Building& bld, const Operation& opr);
    void calculate_at_data_point(const Building& bld, const Operation& opr, const OperationDataPointNode& dp,
                                 uint32_t cur_year, double usage_multiplier, TreeResultStage& rs) const;
    void calculate_between_data_points(const Building& bld, const Operation& opr, const OperationDataPointNode& dp1,
                                       const OperationDataPointNode& dp2, uint32_t cur_year, double usage_multiplier,
                                       TreeResultStage& rs) const;
    void calculate_insert_result(std::string_view ind_key, uint32_t year, double value, TreeResultStage& rs) const;

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
