// Shared steps of the inner node types' calculation walks: calculating the
// children in order, and adding their results into their parent's.
#pragma once

#include <optional>

#include "shared_error.hpp"
#include "tree_results.hpp"

namespace mirelo::tree {

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
