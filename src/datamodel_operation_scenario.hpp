// OperationScenario: one row of the "OperationScenarios" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct OperationScenario {
    static constexpr std::string_view ELEMENT_NAME = "OperationScenarios";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    std::string name;  // "Name": name
    std::string description;  // "Description": description

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <OperationScenario ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
