// Element: one row of the "Elements" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct Element {
    static constexpr std::string_view ELEMENT_NAME = "Elements";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t building_id = 0;  // "BuildingID": foreign key of the `Building`
    std::string construction_link;  // "ConstructionLink": link text of the element's `Construction`, or exactly "None" for an element without construction
    uint32_t source_id = 0;  // "SourceID": foreign key of the `Source`
    bool enabled = false;  // "Enabled": whether the element takes part in the calculation
    std::string name;  // "Name": name
    double amount = 0.0;  // "Amount": amount of the construction in the element; a negative amount is counted as demolition weight
    int32_t order = 0;  // "Order": sort key among the elements of a category
    std::string comment;  // "Comment": comment
    Link parsed_construction_link;  // (computed): `Link::parse` of `construction_link`

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    // Returns false when the element is dropped (construction link "None").
    bool from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Element ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
