// One value of one indicator in one calendar year (or 9999, the total).
#pragma once

#include <cstdint>
#include <string_view>

namespace mirelo {

// The writers are only named here: the results' .cpp files include them.
namespace json {
class Encoder;
}
class XmlWriter;

struct TreeResultYear {
    static constexpr std::string_view NODE_NAME = "ResultYear";
    static constexpr std::string_view node_type = NODE_NAME;
    uint32_t year = 0;
    double value = 0.0;

    TreeResultYear() = default;
    TreeResultYear(uint32_t year, double value) : year(year), value(value) {}

    void encode(json::Encoder& encoder) const;
    // <ResultYear year="2020">12.5</ResultYear>
    void node_to_xml(XmlWriter& writer) const;
    bool operator==(const TreeResultYear& o) const { return year == o.year && value == o.value; }
};

}  // namespace mirelo
