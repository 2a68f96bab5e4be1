// OperationIndicatorGroup: one row of the "OperationIndicatorGroups" table.
#pragma once

#include <optional>

#include "datamodel.hpp"

namespace mirelo {

struct OperationIndicatorGroup {
    static constexpr std::string_view ELEMENT_NAME = "OperationIndicatorGroups";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t data_point_id = 0;  // "DataPointID": foreign key of the `OperationDataPoint`
    uint32_t utility_id = 0;  // "UtilityID": foreign key of the `OperationUtility`
    double gwp = 0.0;  // "GWP": indicator "gwp" per unit of energy
    double odp = 0.0;  // "ODP": indicator "odp"
    double pocp = 0.0;  // "POCP": indicator "pocp"
    double ap = 0.0;  // "AP": indicator "ap"
    double ep = 0.0;  // "EP": indicator "ep"
    double adpe = 0.0;  // "ADPE": indicator "adpe"
    double adpf = 0.0;  // "ADPF": indicator "adpf"
    double penr = 0.0;  // "PENR": indicator "penr"
    double per = 0.0;  // "PER": indicator "per"
    double senr = 0.0;  // "SENR": indicator "senr"
    double ser = 0.0;  // "SER": indicator "ser"

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <OperationIndicatorGroup ID="1", ...>.
    std::string display_line() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The value of the indicator named `indicator_id` (lower-cased and trimmed), if any.
    std::optional<double> get_indicator(std::string_view indicator_id) const;
};

}  // namespace mirelo
