// Shared steps of the inner node types' calculation walks: calculating the
// children in order, and adding their results into their parent's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "datamodel_building.hpp"
#include "shared_error.hpp"
#include "tree_results.hpp"

namespace mirelo::tree {

// The last year of the building's calculation period, initial year + time
// span - 1, in which the end-of-life stages fall. Beyond the 32-bit range
// it stays at the range's end instead of wrapping around. An initial year
// of 0 with a time span of 0 would put it before the building exists (in
// 32-bit arithmetic, at the end of the range): such a period has no end,
// and the call stops with "calculation period too long".
inline uint32_t last_year_of_period(const Building& bld) {
    if (bld.initial_year == 0 && bld.calculation_timespan == 0) {
        fatal("calculation period too long: initial year 0 with time span 0 leaves the period without an end");
    }
    const uint64_t last = uint64_t{bld.initial_year} + bld.calculation_timespan - 1;
    return static_cast<uint32_t>(std::min<uint64_t>(last, std::numeric_limits<uint32_t>::max()));
}

// Calculates each child in order; the first error ends the walk and is returned.
template <class Children, class... Args>
Status calculate_children(Children& children, const Args&... args) {
    for (auto& child : children) {
        if (Status error = child.calculate(args...)) return error;
    }
    return std::nullopt;
}

// Completes each child's own sums, then adds the child's results into `results`.
template <class Children>
void sum_children(TreeResults& results, Children& children) {
    for (auto& child : children) {
        child.calculate_hierarchy_sums();
        // Adding results never fails.
        (void)results.add_other_results(child.results);
    }
}

}  // namespace mirelo::tree
