// Setting: one row of the "Settings" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct Setting {
    static constexpr std::string_view ELEMENT_NAME = "Settings";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    std::string name;  // "Name": name of the setting; "UID" marks a database-id declaration
    std::string value;  // "Value": value of the setting, held as text (a "UID" value is converted only by `Parser::assert`)

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Setting ID="1", ...>.
    std::string display_line() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
};

}  // namespace mirelo
