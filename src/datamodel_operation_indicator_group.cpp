#include "datamodel_operation_indicator_group.hpp"

#include <array>

#include "text_convert.hpp"

namespace mirelo {

namespace {

struct IndicatorField {
    std::string_view attribute;  // input attribute and display label
    std::string_view key;        // indicator key and JSON member name
    double OperationIndicatorGroup::*member;
};

// The eleven indicator values in the fixed indicator order.
constexpr std::array<IndicatorField, 11> INDICATOR_FIELDS = {{
    {"GWP", "gwp", &OperationIndicatorGroup::gwp},
    {"ODP", "odp", &OperationIndicatorGroup::odp},
    {"POCP", "pocp", &OperationIndicatorGroup::pocp},
    {"AP", "ap", &OperationIndicatorGroup::ap},
    {"EP", "ep", &OperationIndicatorGroup::ep},
    {"ADPE", "adpe", &OperationIndicatorGroup::adpe},
    {"ADPF", "adpf", &OperationIndicatorGroup::adpf},
    {"PENR", "penr", &OperationIndicatorGroup::penr},
    {"PER", "per", &OperationIndicatorGroup::per},
    {"SENR", "senr", &OperationIndicatorGroup::senr},
    {"SER", "ser", &OperationIndicatorGroup::ser},
}};

}  // namespace

void OperationIndicatorGroup::from_xml(std::string_view element_name, XmlAttributes attributes,
                                       uint32_t database_id) {
    check_element_name(element_name, ELEMENT_NAME);
    for (const XmlAttribute& a : attributes) {
        const std::string_view n = a.local_name;
        if (n == "ID") {
            id = read_u32(a);
        } else if (n == "DataPointID") {
            data_point_id = read_u32(a);
        } else if (n == "UtilityID") {
            utility_id = read_u32(a);
        } else {
            bool known = false;
            for (const IndicatorField& f : INDICATOR_FIELDS) {
                if (n == f.attribute) {
                    this->*f.member = read_real(a);
                    known = true;
                    break;
                }
            }
            if (!known) skip_attribute_stdout(a);
        }
    }
    link = Link(database_id, id);
}

std::string OperationIndicatorGroup::display_line() const {
    DisplayLine line("OperationIndicatorGroup");
    line.field("ID", id).field("DataPointID", data_point_id).field("UtilityID", utility_id);
    for (size_t i = 0; i < INDICATOR_FIELDS.size(); ++i) {
        const IndicatorField& f = INDICATOR_FIELDS[i];
        line.field(f.attribute, this->*f.member, i + 1 < INDICATOR_FIELDS.size());
    }
    return line.finish();
}

void OperationIndicatorGroup::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationIndicatorGroup", 4 + INDICATOR_FIELDS.size(), [&] {
        encoder.field("link", 0, link);
        encoder.field("id", 1, id);
        encoder.field("data_point_id", 2, data_point_id);
        encoder.field("utility_id", 3, utility_id);
        for (size_t i = 0; i < INDICATOR_FIELDS.size(); ++i) {
            encoder.field(INDICATOR_FIELDS[i].key, 4 + i, this->*INDICATOR_FIELDS[i].member);
        }
    });
}

std::optional<double> OperationIndicatorGroup::get_indicator(std::string_view indicator_id) const {
    const std::string key = lower_trim(indicator_id);
    for (const IndicatorField& f : INDICATOR_FIELDS) {
        if (key == f.key) return this->*f.member;
    }
    return std::nullopt;
}

}  // namespace mirelo
