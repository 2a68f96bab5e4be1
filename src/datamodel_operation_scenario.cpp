#include "datamodel_operation_scenario.hpp"

#include "budget.hpp"
#include "json.hpp"

namespace mirelo {

void OperationScenario::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        if (a.local_name == "ID") id = read_u32(a);
        else if (a.local_name == "Name") name = a.value;
        else if (a.local_name == "Description") description = a.value;
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
}

std::string OperationScenario::display_line() const {
    return DisplayLine("OperationScenario").field("ID", id).field("Name", name).field("Description", description).finish();
}

void OperationScenario::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationScenario", 4, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("name", 2, name);
        encoder.field("description", 3, description);
    });
}

size_t OperationScenario::heap_bytes() const { return budget::texts_bytes(name, description); }

}  // namespace mirelo
