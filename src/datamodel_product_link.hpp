// ProductLink: one row of the "ProductLinks" table.
#pragma once

#include "datamodel.hpp"

namespace mirelo {

struct ProductLink {
    static constexpr std::string_view ELEMENT_NAME = "ProductLinks";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t construction_id = 0;  // "ConstructionID": foreign key of the `Construction` that uses the product
    std::string product_link;  // "ProductLink": link text of the `Product`
    uint32_t order = 0;  // "Order": sort key among the products of a construction
    double amount = 0.0;  // "Amount": amount of the product per unit of the construction
    double density = 0.0;  // "Density": conversion factor used when a stage's units differ
    uint32_t lifespan = 0;  // "Lifespan": years between replacements of the product
    double transport = 0.0;  // "Transport": transport figure of the product
    Link parsed_product_link;  // (computed): `Link::parse` of `product_link`

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <ProductLink ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
};

}  // namespace mirelo
