// One year of a utility's energy data, holding its indicator group.
#pragma once

#include <compare>
#include <vector>

#include "budget.hpp"
#include "datamodel_operation_data_point.hpp"
#include "tree_operation_indicator_group.hpp"

namespace mirelo {

struct OperationDataPointNode {
    static constexpr std::string_view NODE_NAME = "OperationDataPoint";
    static constexpr std::string_view node_type = NODE_NAME;
    budget::Vector<OperationIndicatorGroupNode> children;
    OperationDataPoint datamodel;

    explicit OperationDataPointNode(OperationDataPoint datamodel);
    void add_child(OperationIndicatorGroupNode child);

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

    // Ordered by the data point's year; equal when the records are the same.
    friend std::strong_ordering operator<=>(const OperationDataPointNode& a, const OperationDataPointNode& b) {
        return a.datamodel.year <=> b.datamodel.year;
    }
    friend bool operator==(const OperationDataPointNode& a, const OperationDataPointNode& b) {
        return a.datamodel.link.combined_id == b.datamodel.link.combined_id;
    }
};

}  // namespace mirelo
