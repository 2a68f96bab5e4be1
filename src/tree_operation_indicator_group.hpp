// Leaf of the energy-use branch: the indicator values of one utility at one data point.
#pragma once

#include "datamodel_operation_indicator_group.hpp"

namespace mirelo {

struct OperationIndicatorGroupNode {
    static constexpr std::string_view NODE_NAME = "OperationIndicatorGroup";
    static constexpr std::string_view node_type = NODE_NAME;
    OperationIndicatorGroup datamodel;

    explicit OperationIndicatorGroupNode(OperationIndicatorGroup datamodel);

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
