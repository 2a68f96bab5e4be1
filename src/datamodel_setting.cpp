#include "datamodel_setting.hpp"

#include "json.hpp"

namespace mirelo {

void Setting::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        if (a.local_name == "ID") id = read_u32(a);
        else if (a.local_name == "Name") name = a.value;
        else if (a.local_name == "Value") value = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string Setting::display_line() const {
    return DisplayLine("Setting").field("ID", id).field("Name", name).field("Value", value).finish();
}

void Setting::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Setting", 4, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("name", 2, name);
        encoder.field("value", 3, value);
    });
}

}  // namespace mirelo
