// The eleven indicator keys. A leaf: the result modules include it
// directly, and datamodel_stage.hpp offers it with the Stage record.
#pragma once

#include <array>
#include <string_view>

namespace mirelo {

// The eleven indicator keys, in the fixed order of every per-indicator loop and listing.
inline constexpr std::array<std::string_view, 11> INDICATORS = {"gwp", "odp", "pocp", "ap",  "ep", "adpe",
                                                                 "adpf", "penr", "per", "senr", "ser"};

}  // namespace mirelo
