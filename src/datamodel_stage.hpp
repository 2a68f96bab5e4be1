// Stage: one row of the "Stages" table.
#pragma once

#include "datamodel.hpp"
#include "indicator_keys.hpp"
#include "shared_error.hpp"

namespace mirelo {

struct Stage {
    static constexpr std::string_view ELEMENT_NAME = "Stages";

    Link link;  // (computed): own identifier
    uint32_t id = 0;  // "ID": row id
    uint32_t category_id = 0;  // "CategoryID": foreign key of a `Category`
    uint32_t source_id = 0;  // "SourceID": foreign key of the `Source`
    std::string name;  // "Name": name
    std::string stage;  // "Stage": code of the life-cycle stage ("a1_3", "c3", "c4", "d" and so on), compared after lower-casing and trimming
    std::string stage_unit;  // "StageUnit": unit of the stage's amount
    std::string indicator_unit;  // "IndicatorUnit": unit to which the indicator values refer
    double factor = 0.0;  // "Factor": the indicator values hold for this many units
    double density = 0.0;  // "Density": density
    double quantity = 0.0;  // "Quantity": quantity per unit
    std::string default_c_link;  // "DefaultCLink": a further link text; held as text only, no operation follows it
    std::string default_d_link;  // "DefaultDLink": a further link text; held as text only, no operation follows it
    std::string external_source;  // "ExternalSource": name of an external data source
    std::string external_id;  // "ExternalID": identifier in that source
    std::string external_url;  // "ExternalUrl": address in that source
    std::string comment;  // "Comment": comment
    double gwp = 0.0;  // "GWP": indicator "gwp" per `factor` units
    double odp = 0.0;  // "ODP": indicator "odp"
    double pocp = 0.0;  // "POCP": indicator "pocp"
    double ap = 0.0;  // "AP": indicator "ap"
    double ep = 0.0;  // "EP": indicator "ep"
    double adpe = 0.0;  // "ADPE": indicator "adpe"
    double adpf = 0.0;  // "ADPF": indicator "adpf"
    double penr = 0.0;  // "PENR": indicator "penr"
    double per = 0.0;  // "PER": indicator "per"
    double senr = 0.0;  // "SENR": indicator "senr"
    double ser = 0.0;  // "SER": indicator "ser"

    // Fills the record from the attributes of one element of its table;
    // a value that does not convert is a fatal stop.
    void from_xml(std::string_view name, XmlAttributes attributes, uint32_t database_id);
    // The one-line display form, e.g. <Stage ID="1", ...>.
    std::string display_line() const;
    // The heap its texts hold (what a copy of it costs a call's memory budget).
    size_t heap_bytes() const;
    // The record as one JSON object, members in field order.
    void encode(json::Encoder& encoder) const;
    // The empty record element `node_name` of the XML dump.
    void node_to_xml(XmlWriter& writer, std::string_view node_name) const;
    // The value of the indicator named `indicator_id` (lower-cased and trimmed),
    // or MissingIndicator.
    Result<double> get_indicator(std::string_view indicator_id) const;
};

}  // namespace mirelo
