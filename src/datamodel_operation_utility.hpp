// OperationUtility: one row of the "OperationUtilities" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct OperationUtility {
    static constexpr std::string_view ELEMENT_NAME = "OperationUtilities";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    std::string name;  // "Name": name
    uint32_t order = 0;  // "Order": order number
    bool is_electricity = false;  // "IsElectricity": true for the electricity utility, false for a heat supply

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <OperationUtility ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
