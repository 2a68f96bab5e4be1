// The constants of the calculation tree: the stage names and their lists,
// the year key of the all-years total, the replacement rule's final years
// and the bound on yearly values. A leaf: the node and result modules
// include it directly, and tree.hpp offers it with the rest of the tree.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace mirelo {

inline constexpr uint32_t NO_REPLACEMENTS_PERIOD = 5;
inline constexpr std::string_view STAGE_A1_3 = "a1_3";
inline constexpr std::string_view STAGE_B4 = "b4";
inline constexpr std::string_view STAGE_B6 = "b6";
inline constexpr std::string_view STAGE_C3 = "c3";
inline constexpr std::string_view STAGE_C4 = "c4";
inline constexpr std::string_view STAGE_D = "d";
inline constexpr std::string_view STAGE_B4_A = "b4_a";
inline constexpr std::string_view STAGE_B4_C = "b4_c";
inline constexpr std::string_view STAGE_SUM = "sum";
// The stages added into "sum".
inline constexpr std::array<std::string_view, 6> STAGE_SUM_LIST = {STAGE_A1_3, STAGE_B4, STAGE_B6,
                                                                   STAGE_C3,   STAGE_C4, STAGE_D};
// The stages a parent takes over from its children.
inline constexpr std::array<std::string_view, 7> STAGE_HIERARCHY_LIST = {STAGE_A1_3, STAGE_B4, STAGE_B6, STAGE_C3,
                                                                         STAGE_C4,   STAGE_D,  STAGE_SUM};
// The year key of an indicator's total over all years.
inline constexpr uint32_t FINAL_YEAR = 9999;
// Most yearly values one result may hold. Real calculation periods span
// decades; a period of hundreds of thousands of years (or one without an
// upper bound, which the 32-bit year arithmetic allows) would exhaust the
// host's memory, so such input ends the call with a clear stop instead.
inline constexpr uint64_t MAX_YEARLY_VALUES = 10000;

}  // namespace mirelo
