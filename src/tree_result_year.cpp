#include "tree_result_year.hpp"

#include <string>

#include "real_format.hpp"
#include "tree.hpp"

namespace mirelo {

void TreeResultYear::encode(json::Encoder& encoder) const {
    encoder.emit_struct("TreeResultYear", 3, [&] {
        encoder.field("node_type", 0, node_type);
        encoder.field("year", 1, year);
        encoder.field("value", 2, value);
    });
}

void TreeResultYear::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attrs[] = {{"year", std::to_string(year)}};
    tree::check_node_write(writer.start_element(NODE_NAME, attrs), NODE_NAME);
    // The value is informative; a lost one must not cost the rest of the dump.
    (void)writer.characters(real_display(value));
    tree::check_node_write(writer.end_element(), NODE_NAME);
}

}  // namespace mirelo
