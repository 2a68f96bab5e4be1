#include "datamodel_product_link.hpp"

#include "budget.hpp"
#include "json.hpp"
#include "xml_writer.hpp"

namespace mirelo {

void ProductLink::from_xml(std::string_view element_name, XmlAttributes attributes, uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") id = read_u32(a);
        else if (n == "ConstructionID") construction_id = read_u32(a);
        else if (n == "ProductLink") product_link = a.value;
        else if (n == "Order") order = read_u32(a);
        else if (n == "Amount") amount = read_real(a);
        else if (n == "Density") density = read_real(a);
        else if (n == "Lifespan") lifespan = read_u32(a);
        else if (n == "Transport") transport = read_real(a);
        else skip_attribute_stdout(a);
    }
    link = Link(database_id, id);
    // Parsed also when the attribute was absent: a product link is required.
    parsed_product_link = read_link(product_link, database_id, "ProductLink");
}

std::string ProductLink::display_line() const {
    return DisplayLine("ProductLink")
        .field("ID", id)
        .field("ConstructionID", construction_id)
        .field("ProductLink", product_link)
        .field("Order", order)
        .field("Amount", amount)
        .field("Density", density)
        .field("Lifespan", lifespan)
        .field("Transport", transport, false)
        .finish();
}

void ProductLink::encode(json::Encoder& encoder) const {
    encoder.emit_struct("ProductLink", 10, [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("construction_id", 2, construction_id);
        encoder.field("product_link", 3, product_link);
        encoder.field("order", 4, order);
        encoder.field("amount", 5, amount);
        encoder.field("density", 6, density);
        encoder.field("lifespan", 7, lifespan);
        encoder.field("transport", 8, transport);
        encoder.field("parsed_product_link", 9, parsed_product_link);
    });
}

void ProductLink::node_to_xml(XmlWriter& writer, std::string_view node_name) const {
    const std::vector<XmlAttr> attrs = {
        {"link", std::to_string(link.combined_id)},
        {"id", xml_value(id)},
        {"construction_id", xml_value(construction_id)},
        {"product_link", product_link},
        {"order", xml_value(order)},
        {"amount", xml_value(amount)},
        {"density", xml_value(density)},
        {"lifespan", xml_value(lifespan)},
        {"transport", xml_value(transport)},
    };
    write_record_element(writer, node_name, attrs);
}

size_t ProductLink::heap_bytes() const { return budget::texts_bytes(product_link); }

}  // namespace mirelo
