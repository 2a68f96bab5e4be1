// The yearly values of one indicator; the year 9999 holds the all-years total.
#pragma once

#include <cstdint>
#include <string>

#include "flat_map.hpp"
#include "tree_result_year.hpp"

namespace mirelo {

// Reads the key of a year entry: its year.
struct YearOf {
    uint32_t operator()(const TreeResultYear& entry) const { return entry.year; }
};

// Years ascending.
using YearMap = FlatMap<TreeResultYear, YearOf>;

struct TreeResultIndicator {
    static constexpr std::string_view NODE_NAME = "ResultIndicator";
    static constexpr std::string_view node_type = NODE_NAME;
    std::string indicator;
    YearMap years;

    TreeResultIndicator() = default;
    explicit TreeResultIndicator(std::string indicator) : indicator(std::move(indicator)) {}

    // Stores the total of all years (an earlier total included) under 9999,
    // adding the years in ascending order.
    void calculate_time_sum();
    // Adds the other indicator's years: year by year, missing years inserted.
    void add_other_indicator(const TreeResultIndicator& other);

    void encode(json::Encoder& encoder) const;
    void node_to_xml(XmlWriter& writer) const;
    bool operator==(const TreeResultIndicator& o) const { return indicator == o.indicator && years == o.years; }
};

}  // namespace mirelo
