#include "tree_operation_utility.hpp"

#include <algorithm>
#include <array>

#include "datamodel_building.hpp"
#include "datamodel_operation.hpp"
#include "datamodel_stage.hpp"
#include "indicator_keys.hpp"
#include "json.hpp"
#include "real_format.hpp"
#include "shared_error.hpp"
#include "tree_constants.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

namespace {

// The years of one walk, [from, to), as 64-bit numbers so that neither end
// wraps: a walk starting above the 32-bit range is empty instead of
// restarting at year 0.
struct YearRange {
    uint64_t from;
    uint64_t to;
};

// Clips a walk to the years the per-year steps can write: those up to and
// including the last year of the period. The later years would be visited
// without effect, and a far-away data point would cost billions of steps.
YearRange clip_to_period(YearRange range, uint32_t last_year) {
    range.to = std::min<uint64_t>(range.to, uint64_t{last_year} + 1);
    return range;
}

double indicator_value(const OperationDataPointNode& dp, std::string_view ind_key) {
    std::optional<double> value = dp.children.front().datamodel.get_indicator(ind_key);
    if (!value) fatal("unknown indicator \"" + std::string(ind_key) + "\"");
    return *value;
}

uint64_t length(YearRange range) { return range.to > range.from ? range.to - range.from : 0; }

// The years of every walk of one utility, clipped to the period: before the
// first data point, strictly between each pair of neighbours, and from the
// last data point on. Planned once so that their size can be checked before
// any year is written.
struct Walks {
    YearRange head;
    std::vector<YearRange> between;  // between[i]: after data point i, before i + 1
    YearRange tail;

    // Yearly values the walks write, each data point's own year included.
    uint64_t count() const {
        uint64_t years = length(head) + length(tail);
        for (YearRange range : between) years += 1 + length(range);
        return years;
    }
};

// The building's period has passed tree::check_period: its last year and the
// end of its tail are 32-bit years.
Walks plan_walks(const budget::Vector<OperationDataPointNode>& points, const Building& bld) {
    const uint32_t last_year = tree::last_year_of_period(bld);
    const uint64_t tail_end = uint64_t{bld.initial_year} + bld.calculation_timespan + 1;
    Walks walks;
    walks.head = clip_to_period({bld.initial_year, points.front().datamodel.year}, last_year);
    walks.between.reserve(points.size() - 1);
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        walks.between.push_back(
            clip_to_period({uint64_t{points[i].datamodel.year} + 1, points[i + 1].datamodel.year}, last_year));
    }
    walks.tail = clip_to_period({points.back().datamodel.year, tail_end}, last_year);
    return walks;
}

}  // namespace

OperationUtilityNode::OperationUtilityNode(OperationUtility datamodel, double amount)
    : datamodel(std::move(datamodel)), amount(amount) {
    record_texts.add_copies("the records of a utility node", this->datamodel);
}

void OperationUtilityNode::add_child(OperationDataPointNode child) { children.push_back(std::move(child)); }

Status OperationUtilityNode::calculate(const Building& bld, const Operation& opr) {
    if (children.empty()) {
        return SharedError::missing_indicator_group("No data points for the utility (OperationUtility: " +
                                                    std::to_string(datamodel.id) + ")");
    }
    TreeResultStage rs{std::string(STAGE_B6)};

    const double consumption = datamodel.is_electricity ? opr.electricity_consumption : opr.heating_consumption;
    const double usage_multiplier = consumption * bld.floor_area;
    calc_usage_multiplier = usage_multiplier;

    const OperationDataPointNode& first = children.front();
    const OperationDataPointNode& last = children.back();
    const Walks walks = plan_walks(children, bld);
    // An unbounded period with a far-away data point would ask for billions
    // of yearly values: stop before any is written.
    const uint64_t years = walks.count();
    if (years > MAX_YEARLY_VALUES) {
        fatal("calculation period too long: " + std::to_string(years) + " yearly values for one utility");
    }

    // Before the first data point its values hold unchanged.
    for (uint64_t y = walks.head.from; y < walks.head.to; ++y) {
        calculate_at_data_point(bld, opr, first, static_cast<uint32_t>(y), usage_multiplier, rs);
    }

    for (size_t i = 0; i + 1 < children.size(); ++i) {
        const OperationDataPointNode& dp1 = children[i];
        const OperationDataPointNode& dp2 = children[i + 1];
        calculate_at_data_point(bld, opr, dp1, dp1.datamodel.year, usage_multiplier, rs);
        for (uint64_t y = walks.between[i].from; y < walks.between[i].to; ++y) {
            calculate_between_data_points(bld, opr, dp1, dp2, static_cast<uint32_t>(y), usage_multiplier, rs);
        }
    }

    // From the last data point on its values hold unchanged.
    for (uint64_t y = walks.tail.from; y < walks.tail.to; ++y) {
        calculate_at_data_point(bld, opr, last, static_cast<uint32_t>(y), usage_multiplier, rs);
    }

    results.stages.insert_or_assign(std::move(rs));
    results.calculate_time_sum();
    // Stage sums never fail.
    (void)results.calculate_stage_sums();
    return std::nullopt;
}

void OperationUtilityNode::calculate_at_data_point(const Building& bld, const Operation& /*opr*/,
                                                   const OperationDataPointNode& dp, uint32_t cur_year,
                                                   double usage_multiplier, TreeResultStage& rs) const {
    if (cur_year > tree::last_year_of_period(bld)) return;
    if (dp.children.size() != 1) fatal("assertion failed: dp.children.len() == 1");
    for (std::string_view ind_key : INDICATORS) {
        const double x = indicator_value(dp, ind_key);
        calculate_insert_result(ind_key, cur_year, x * usage_multiplier, rs);
    }
}

void OperationUtilityNode::calculate_between_data_points(const Building& bld, const Operation& /*opr*/,
                                                         const OperationDataPointNode& dp1,
                                                         const OperationDataPointNode& dp2, uint32_t cur_year,
                                                         double usage_multiplier, TreeResultStage& rs) const {
    if (cur_year > tree::last_year_of_period(bld)) return;
    if (dp1.children.size() != 1) fatal("assertion failed: dp1.children.len() == 1");
    if (dp2.children.size() != 1) fatal("assertion failed: dp2.children.len() == 1");
    const uint32_t done = cur_year - dp1.datamodel.year;
    const uint32_t span = dp2.datamodel.year - dp1.datamodel.year;
    const double f = static_cast<double>(done) / static_cast<double>(span);
    for (std::string_view ind_key : INDICATORS) {
        const double x1 = indicator_value(dp1, ind_key);
        const double x2 = indicator_value(dp2, ind_key);
        // Each step rounded on its own (the build forbids contraction into
        // fused multiply-adds), so the values match to the last bit.
        const double diff = x2 - x1;
        const double scaled = diff * f;
        const double interpolated = scaled + x1;
        const double value = interpolated * usage_multiplier;
        calculate_insert_result(ind_key, cur_year, value, rs);
    }
}

void OperationUtilityNode::calculate_insert_result(std::string_view ind_key, uint32_t year, double value,
                                                   TreeResultStage& rs) const {
    TreeResultIndicator* indicator = rs.indicators.find(ind_key);
    if (!indicator) indicator = &rs.indicators.insert_or_assign(TreeResultIndicator{std::string(ind_key)});
    indicator->years.insert_or_assign(TreeResultYear(year, value));
}

void OperationUtilityNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    tree::common_print(level, recursive, "<Amount=\"" + real_display(amount) + "\">");
    if (recursive) tree::print_children(children, level);
}

void OperationUtilityNode::node_to_xml(XmlWriter& writer) const {
    const std::array<XmlAttr, 1> attrs = {{{"calc_usage_multiplier", xml_value(calc_usage_multiplier)}}};
    tree::write_node(writer, NODE_NAME, attrs, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        results.node_to_xml(writer);
        // The data points stay out of the tree dump; they can be dumped on their own.
    });
}

void OperationUtilityNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("OperationUtilityNode", 6, [&] {
        encoder.node_type(node_type);
        encoder.field("children", 1, children);
        encoder.field("datamodel", 2, datamodel);
        encoder.field("amount", 3, amount);
        encoder.field("results", 4, results);
        encoder.field("calc_usage_multiplier", 5, calc_usage_multiplier);
    });
}

}  // namespace mirelo
