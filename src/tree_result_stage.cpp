#include "tree_result_stage.hpp"

#include "indicator_keys.hpp"
#include "json.hpp"
#include "tree_dump.hpp"

namespace mirelo {

namespace {

constexpr int UNKNOWN_RANK = static_cast<int>(INDICATORS.size());

// Position of `name` in INDICATORS, found from its length and first byte
// so that comparing two names costs at most two short compares.
int indicator_rank(std::string_view name) {
    int rank = UNKNOWN_RANK;
    switch (name.size()) {
        case 2:
            if (name[0] == 'a') rank = 3;
            else if (name[0] == 'e') rank = 4;
            break;
        case 3:
            if (name[0] == 'g') rank = 0;
            else if (name[0] == 'o') rank = 1;
            else if (name[0] == 'p') rank = 8;
            else if (name[0] == 's') rank = 10;
            break;
        case 4:
            switch (name[0]) {
                case 'p': rank = name[1] == 'o' ? 2 : 7; break;
                case 'a': rank = name[3] == 'e' ? 5 : 6; break;
                case 's': rank = 9; break;
                default: break;
            }
            break;
        default: break;
    }
    if (rank != UNKNOWN_RANK && name != INDICATORS[static_cast<size_t>(rank)]) rank = UNKNOWN_RANK;
    return rank;
}

}  // namespace

bool IndicatorOrder::operator()(std::string_view a, std::string_view b) const {
    int ra = indicator_rank(a);
    int rb = indicator_rank(b);
    if (ra != rb) return ra < rb;
    return ra == UNKNOWN_RANK && a < b;
}

void TreeResultStage::calculate_time_sum() {
    for (TreeResultIndicator& indicator : indicators) indicator.calculate_time_sum();
}

Status TreeResultStage::add_other_stage(const TreeResultStage& other_stage) {
    for (const TreeResultIndicator& other : other_stage.indicators) {
        if (TreeResultIndicator* own = indicators.find(other.indicator)) {
            own->add_other_indicator(other);
        } else {
            indicators.insert_or_assign(other);
        }
    }
    return std::nullopt;
}

void TreeResultStage::encode(json::Encoder& encoder) const {
    encoder.emit_struct("TreeResultStage", 3, [&] {
        encoder.node_type(node_type);
        encoder.field("stage", 1, stage);
        encoder.emit_struct_field("indicators", 2, [&] { encoder.map(indicators); });
    });
}

void TreeResultStage::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attrs[] = {{"stage", stage}};
    tree::write_node(writer, NODE_NAME, attrs, [&] {
        // Exactly the eleven known indicators, in their fixed order; a stage
        // without some of them (an energy-use stage with no calculated year
        // holds none) simply writes fewer.
        for (std::string_view name : INDICATORS) {
            if (const TreeResultIndicator* indicator = indicators.find(name)) indicator->node_to_xml(writer);
        }
    });
}

}  // namespace mirelo
