// The eleven indicator values that Stage and OperationIndicatorGroup records
// both hold: one table per record type of the input attribute, the
// indicator key and the member, in INDICATORS order, which reading, the
// display line, the JSON object, the XML dump and lookups by key all follow.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "datamodel_stage.hpp"
#include "json.hpp"

namespace mirelo {

template <class R>
struct IndicatorField {
    std::string_view attribute;  // input attribute and display label, e.g. "GWP"
    std::string_view key;        // indicator key, JSON member and dump attribute, e.g. "gwp"
    double R::*member;
};

template <class R>
inline constexpr std::array<IndicatorField<R>, INDICATORS.size()> INDICATOR_FIELDS = {{
    {"GWP", "gwp", &R::gwp},
    {"ODP", "odp", &R::odp},
    {"POCP", "pocp", &R::pocp},
    {"AP", "ap", &R::ap},
    {"EP", "ep", &R::ep},
    {"ADPE", "adpe", &R::adpe},
    {"ADPF", "adpf", &R::adpf},
    {"PENR", "penr", &R::penr},
    {"PER", "per", &R::per},
    {"SENR", "senr", &R::senr},
    {"SER", "ser", &R::ser},
}};

static_assert([] {
    for (size_t i = 0; i < INDICATORS.size(); ++i) {
        if (INDICATOR_FIELDS<Stage>[i].key != INDICATORS[i]) return false;
    }
    return true;
}());

// The value of the indicator whose key is exactly `key`, if it is one of the eleven.
template <class R>
std::optional<double> find_indicator(const R& record, std::string_view key) {
    for (const IndicatorField<R>& f : INDICATOR_FIELDS<R>) {
        if (key == f.key) return record.*f.member;
    }
    return std::nullopt;
}

// Stores an attribute's value when it names one of the eleven; false otherwise.
template <class R>
bool read_indicator(R& record, const XmlAttribute& attribute) {
    for (const IndicatorField<R>& f : INDICATOR_FIELDS<R>) {
        if (attribute.local_name == f.attribute) {
            record.*f.member = read_real(attribute);
            return true;
        }
    }
    return false;
}

// Appends the eleven values to a display line, the last without a comma.
template <class R>
void display_indicators(DisplayLine& line, const R& record) {
    for (size_t i = 0; i < INDICATOR_FIELDS<R>.size(); ++i) {
        const IndicatorField<R>& f = INDICATOR_FIELDS<R>[i];
        line.field(f.attribute, record.*f.member, i + 1 < INDICATOR_FIELDS<R>.size());
    }
}

// Writes the eleven values as object members, from member index `first`.
template <class R>
void encode_indicators(json::Encoder& encoder, const R& record, size_t first) {
    for (size_t i = 0; i < INDICATOR_FIELDS<R>.size(); ++i) {
        encoder.field(INDICATOR_FIELDS<R>[i].key, first + i, record.*INDICATOR_FIELDS<R>[i].member);
    }
}

}  // namespace mirelo
