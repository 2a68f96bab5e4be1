// Shared steps of the calculation walks: the rule on the building's
// calculation period and its last year, calculating the children in order,
// and adding their results into their parent's.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "datamodel_building.hpp"
#include "shared_error.hpp"
#include "tree_results.hpp"

namespace mirelo::tree {

// The largest sum of initial year and time span a period may have. Its last
// year is initial year + time span - 1, and the energy walk runs up to the
// end of its tail, initial year + time span + 1 (not included); both must
// be 32-bit years.
inline constexpr uint64_t LAST_PERIOD_END = std::numeric_limits<uint32_t>::max() - 1;

// The one rule on a building's calculation period, checked once per building
// before anything of it is calculated: its years stay inside the 32-bit
// range, so that no bound computed from them wraps around to the start of
// the range. A time span of 0 ends the period in the year before it starts,
// which from year 0 would be no year at all. Such a period stops the call
// with "calculation period too long: ...".
inline void check_period(const Building& bld) {
    if (bld.initial_year == 0 && bld.calculation_timespan == 0) {
        fatal("calculation period too long: initial year 0 with time span 0 leaves the period without an end");
    }
    if (uint64_t{bld.initial_year} + bld.calculation_timespan > LAST_PERIOD_END) {
        fatal("calculation period too long: initial year " + std::to_string(bld.initial_year) + " with time span " +
              std::to_string(bld.calculation_timespan) + " leaves the 32-bit years (initial year + time span " +
              "must be at most " + std::to_string(LAST_PERIOD_END) + ")");
    }
}

// The last year of the calculation period of a building that passed
// check_period, in which the end-of-life stages fall: initial year + time
// span - 1, the year before the initial year when the time span is 0.
inline uint32_t last_year_of_period(const Building& bld) {
    return bld.initial_year + bld.calculation_timespan - 1;
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
