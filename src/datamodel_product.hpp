// Product: one row of the "Products" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct Product {
    static constexpr std::string_view ELEMENT_NAME = "Products";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t source_id = 0;  // "SourceID": foreign key of the `Source`
    std::string name;  // "Name": name
    std::string comment;  // "Comment": comment

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Product ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
