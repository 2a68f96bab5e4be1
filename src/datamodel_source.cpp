#include "datamodel_source.hpp"

#include "budget.hpp"
#include "json.hpp"

namespace mirelo {

void Source::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "Name") name = a.value;
        else if (n == "Official") official = read_bool(a);
        else if (n == "Readonly") read_only = read_bool(a);
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string Source::display_line() const {
    return DisplayLine("Source")
        .field("ID", id)
        .field("Name", name)
        .field("Official", official)
        .field("Readonly", read_only)
        .finish();
}

void Source::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Source", 5, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("name", 2, name);
        encoder.field("official", 3, official);
        encoder.field("read_only", 4, read_only);
    });
}

size_t Source::heap_bytes() const { return budget::texts_bytes(name); }

}  // namespace mirelo
