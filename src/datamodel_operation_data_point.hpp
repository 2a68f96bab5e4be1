// OperationDataPoint: one row of the "OperationDataPoints" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct OperationDataPoint {
    static constexpr std::string_view ELEMENT_NAME = "OperationDataPoints";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t scenario_id = 0;  // "ScenarioID": foreign key of the `OperationScenario` it belongs to
    uint32_t year = 0;  // "Year": calendar year of the data point

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <OperationDataPoint ID="1", ...>.
    std::string display_line() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
