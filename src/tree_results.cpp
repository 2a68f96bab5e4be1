#include "tree_results.hpp"

#include "json.hpp"
#include "tree_constants.hpp"
#include "tree_dump.hpp"

namespace mirelo {

namespace {

// Both present: the other value plus the own one; otherwise whichever is present.
std::optional<double> add_weights(std::optional<double> own, std::optional<double> other) {
    if (own && other) return *other + *own;
    return other ? other : own;
}

}  // namespace

void TreeResults::calculate_time_sum() {
    for (TreeResultStage& stage : stages) stage.calculate_time_sum();
}

Status TreeResults::calculate_stage_sums() {
    if (Status failed = calculate_b4_stage_sum()) return failed;
    return calculate_final_stage_sum();
}

Status TreeResults::calculate_b4_stage_sum() {
    TreeResultStage b4{std::string(STAGE_B4)};
    const TreeResultStage* part_a = stages.find(STAGE_B4_A);
    const TreeResultStage* part_c = stages.find(STAGE_B4_C);
    if (part_a) {
        if (Status failed = b4.add_other_stage(*part_a)) return failed;
    }
    if (part_c) {
        if (Status failed = b4.add_other_stage(*part_c)) return failed;
    }
    // Without either part an earlier "b4" is kept as it is.
    if (part_a || part_c) stages.insert_or_assign(std::move(b4));
    return std::nullopt;
}

Status TreeResults::calculate_final_stage_sum() {
    TreeResultStage sum{std::string(STAGE_SUM)};
    for (std::string_view name : STAGE_SUM_LIST) {
        if (const TreeResultStage* stage = stages.find(name)) {
            if (Status failed = sum.add_other_stage(*stage)) return failed;
        }
    }
    stages.insert_or_assign(std::move(sum));
    return std::nullopt;
}

Status TreeResults::add_other_results(const TreeResults& other_results) {
    for (std::string_view name : STAGE_HIERARCHY_LIST) {
        const TreeResultStage* other = other_results.stages.find(name);
        if (!other) continue;
        if (TreeResultStage* own = stages.find(name)) {
            if (Status failed = own->add_other_stage(*other)) return failed;
        } else {
            stages.insert_or_assign(*other);
        }
    }
    weight = add_weights(weight, other_results.weight);
    demo_weight = add_weights(demo_weight, other_results.demo_weight);
    return std::nullopt;
}

void TreeResults::encode(json::Encoder& encoder) const {
    encoder.emit_struct("TreeResults", 4, [&] {
        encoder.node_type(node_type);
        encoder.emit_struct_field("stages", 1, [&] { encoder.map(stages); });
        encoder.field("weight", 2, weight);
        encoder.field("demo_weight", 3, demo_weight);
    });
}

void TreeResults::node_to_xml(XmlWriter& writer) const {
    tree::write_node(writer, NODE_NAME, {}, [&] {
        // The map is kept in bytewise key order already.
        for (const TreeResultStage& stage : stages) stage.node_to_xml(writer);
    });
}

}  // namespace mirelo
