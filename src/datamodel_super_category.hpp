// SuperCategory: one row of the "SuperCategories" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct SuperCategory {
    static constexpr std::string_view ELEMENT_NAME = "SuperCategories";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    std::string name;  // "Name": name
    int32_t order = 0;  // "Order": sort key among the super categories

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <SuperCategory ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
