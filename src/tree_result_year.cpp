#include "tree_result_year.hpp"

#include <string>

#include "json.hpp"
#include "real_format.hpp"
#include "tree_dump.hpp"

namespace mirelo {

void TreeResultYear::encode(json::Encoder& encoder) const {
    encoder.emit_struct("TreeResultYear", 3, [&] {
        encoder.node_type(node_type);
        encoder.field("year", 1, year);
        encoder.field("value", 2, value);
    });
}

void TreeResultYear::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attrs[] = {{"year", std::to_string(year)}};
    tree::write_node(writer, NODE_NAME, attrs, [&] {
        // The value is informative; a lost one must not cost the rest of the dump.
        (void)writer.characters(real_display(value));
    });
}

}  // namespace mirelo
