// Category: one row of the "Categories" table.
#pragma once

#include <optional>
#include <vector>

#include "datamodel.hpp"

namespace mirelo {

struct Category {
    static constexpr std::string_view ELEMENT_NAME = "Categories";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    bool is_stage = false;  // "IsStage": true for a category of stage data, false for a category of building elements
    std::string name;  // "Name": name
    int32_t order = 0;  // "Order": sort key among the categories of a super category
    std::optional<uint32_t> super_category_id;  // "SuperCategoryID": foreign key of the `SuperCategory`, or absent
    std::vector<std::string> units;  // "Units": names of units

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Category ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
