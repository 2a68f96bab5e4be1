#include "tree_result_indicator.hpp"

#include <string>
#include <utility>

#include "json.hpp"
#include "tree_constants.hpp"
#include "tree_dump.hpp"

namespace mirelo {

void TreeResultIndicator::calculate_time_sum() {
    // Ascending years give the total the same bits on every run.
    double total = 0.0;
    for (const TreeResultYear& entry : years) total += entry.value;
    years.insert_or_assign(TreeResultYear(FINAL_YEAR, total));
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
        for (const TreeResultYear& entry : other.years) {
            while (own != years.end() && own->year < entry.year) ++own;
            if (own == years.end() || own->year != entry.year) ++missing;
        }
    }
    if (missing == 0) {
        auto own = years.begin();
        for (const TreeResultYear& entry : other.years) {
            while (own->year < entry.year) ++own;
            own->value = own->value + entry.value;
        }
        return;
    }

    YearMap merged;
    merged.reserve(years.size() + missing);
    auto own = years.begin();
    for (const TreeResultYear& entry : other.years) {
        for (; own != years.end() && own->year < entry.year; ++own) merged.insert_or_assign(*own);
        if (own != years.end() && own->year == entry.year) {
            merged.insert_or_assign(TreeResultYear(entry.year, own->value + entry.value));
            ++own;
        } else {
            merged.insert_or_assign(entry);
        }
    }
    for (; own != years.end(); ++own) merged.insert_or_assign(*own);
    years = std::move(merged);
}

void TreeResultIndicator::encode(json::Encoder& encoder) const {
    encoder.emit_struct("TreeResultIndicator", 3, [&] {
        encoder.node_type(node_type);
        encoder.field("indicator", 1, indicator);
        encoder.emit_struct_field("years", 2, [&] { encoder.map(years); });
    });
}

void TreeResultIndicator::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attrs[] = {{"indicator", indicator}};
    tree::write_node(writer, NODE_NAME, attrs, [&] {
        for (const TreeResultYear& entry : years) entry.node_to_xml(writer);
    });
}

}  // namespace mirelo
