#include "tree_result_indicator.hpp"

#include <string>
#include <utility>

#include "tree.hpp"

namespace mirelo {

void TreeResultIndicator::calculate_time_sum() {
    // Ascending years give the total the same bits on every run.
    double total = 0.0;
    for (const auto& [year, entry] : years) total += entry.value;
    years.insert_or_assign(FINAL_YEAR, TreeResultYear(FINAL_YEAR, total));
}

void TreeResultIndicator::add_other_indicator(const TreeResultIndicator& other) {
    // Both year maps are sorted, so one walk tells whether the other holds
    // years this one lacks. Usually it does not (siblings cover the same
    // period) and the values are added in place; otherwise the two maps are
    // merged into a new one, which stays linear where inserting one year at
    // a time into the vector would not.
    size_t missing = 0;
    {
        auto own = years.begin();
        for (const auto& [year, entry] : other.years) {
            while (own != years.end() && own->first < year) ++own;
            if (own == years.end() || own->first != year) ++missing;
        }
    }
    if (missing == 0) {
        auto own = years.begin();
        for (const auto& [year, entry] : other.years) {
            while (own->first < year) ++own;
            own->second.value = own->second.value + entry.value;
        }
        return;
    }

    YearMap merged;
    merged.reserve(years.size() + missing);
    auto own = years.begin();
    for (const auto& [year, entry] : other.years) {
        for (; own != years.end() && own->first < year; ++own) merged.insert_or_assign(own->first, own->second);
        if (own != years.end() && own->first == year) {
            merged.insert_or_assign(year, TreeResultYear(own->second.year, own->second.value + entry.value));
            ++own;
        } else {
            merged.insert_or_assign(year, TreeResultYear(year, entry.value));
        }
    }
    for (; own != years.end(); ++own) merged.insert_or_assign(own->first, own->second);
    years = std::move(merged);
}

void TreeResultIndicator::encode(json::Encoder& encoder) const {
    encoder.emit_struct("TreeResultIndicator", 3, [&] {
        encoder.field("node_type", 0, node_type);
        encoder.field("indicator", 1, indicator);
        encoder.emit_struct_field("years", 2, [&] { encoder.map(years); });
    });
}

void TreeResultIndicator::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attrs[] = {{"indicator", indicator}};
    tree::check_node_write(writer.start_element(NODE_NAME, attrs), NODE_NAME);
    for (const auto& [year, entry] : years) entry.node_to_xml(writer);
    tree::check_node_write(writer.end_element(), NODE_NAME);
}

}  // namespace mirelo
