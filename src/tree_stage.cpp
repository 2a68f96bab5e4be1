#include "tree_stage.hpp"

#include <array>
#include <cstdint>

#include "datamodel_building.hpp"
#include "datamodel_element.hpp"
#include "datamodel_product.hpp"
#include "datamodel_product_link.hpp"
#include "indicator_keys.hpp"
#include "json.hpp"
#include "shared_error.hpp"
#include "text_convert.hpp"
#include "tree_constants.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

namespace {

TreeResultIndicator single_year(std::string_view name, uint32_t year, double value) {
    TreeResultIndicator indicator{std::string(name)};
    indicator.years.insert_or_assign(TreeResultYear(year, value));
    return indicator;
}

}  // namespace

StageNode::StageNode(Stage datamodel, StageLink linkmodel, Source source, Category category)
    : datamodel(std::move(datamodel)),
      linkmodel(std::move(linkmodel)),
      source(std::move(source)),
      category(std::move(category)) {
    record_texts.add_copies("the records of a stage node", this->datamodel, this->linkmodel, this->source,
                            this->category);
}

Status StageNode::calculate(const Building& bld, const Element& elm, const Construction& /*cstr*/,
                            const Product& prd, const ProductLink& prd_link, double calc_indicator_amount_a1_3,
                            double weight) {
    const std::string key = lower_trim(datamodel.stage);
    const bool is_a1_3 = key == STAGE_A1_3;
    // The product is counted when the building is erected; every later stage
    // in the last year of the calculation period.
    const uint32_t year = is_a1_3 ? bld.initial_year : tree::last_year_of_period(bld);
    const double amount = is_a1_3 ? calc_indicator_amount_a1_3 : weight * (1.0 / datamodel.quantity);

    TreeResultStage own(key);
    TreeResultStage replacement(std::string(is_a1_3 ? STAGE_B4_A : STAGE_B4_C));

    if (elm.amount < 0 && is_a1_3) {
        // Demolished material is not produced again: the product stage and its
        // replacements carry nothing but a zero total.
        for (std::string_view name : INDICATORS) {
            TreeResultIndicator zero = single_year(name, FINAL_YEAR, 0.0);
            own.indicators.insert_or_assign(zero);
            replacement.indicators.insert_or_assign(std::move(zero));
        }
    } else {
        std::array<double, INDICATORS.size()> values{};
        for (size_t i = 0; i < INDICATORS.size(); ++i) {
            Result<double> v = datamodel.get_indicator(INDICATORS[i]);
            if (!v) return v.error();
            values[i] = (v.value() / datamodel.factor) * amount;
            own.indicators.insert_or_assign(single_year(INDICATORS[i], year, values[i]));
        }

        const uint32_t lifespan = prd_link.lifespan;
        if (lifespan == 0) {
            FatalStop stop("attempted to divide by zero");
            stop.add_context("product link " + prd_link.link.to_string());
            stop.add_context("product " + prd.link.to_string());
            stop.add_context("stage " + datamodel.link.to_string());
            throw stop;
        }
        // The last replacement falls at most in year initial + timespan - 6,
        // so the last NO_REPLACEMENTS_PERIOD years of the period hold none.
        constexpr uint32_t unreplaced = NO_REPLACEMENTS_PERIOD + 1;
        const uint32_t timespan = bld.calculation_timespan;
        calc_replacements = timespan < unreplaced ? 0 : (timespan - unreplaced) / lifespan;

        const bool replaced = elm.amount >= 0 && calc_replacements != 0;
        // The period fits the 32-bit years (tree::check_period), and so does
        // its last replacement year. The walk counts in 64 bits, so that the
        // step past that year cannot wrap around.
        const uint64_t first_year = bld.initial_year;
        const uint64_t last_year = replaced ? first_year + (timespan - unreplaced) : 0;
        const size_t count = replaced && last_year >= first_year + lifespan ? (last_year - first_year) / lifespan : 0;
        if (count > MAX_YEARLY_VALUES) {
            fatal("calculation period too long: " + std::to_string(count) + " replacements of product link " +
                  prd_link.link.to_string());
        }
        for (size_t i = 0; i < INDICATORS.size(); ++i) {
            TreeResultIndicator indicator{std::string(INDICATORS[i])};
            if (replaced) {
                indicator.years.reserve(count);
                for (uint64_t y = first_year + lifespan; y <= last_year; y += lifespan) {
                    const auto replacement_year = static_cast<uint32_t>(y);
                    indicator.years.insert_or_assign(TreeResultYear(replacement_year, values[i]));
                }
            } else {
                indicator.years.insert_or_assign(TreeResultYear(FINAL_YEAR, 0.0));
            }
            replacement.indicators.insert_or_assign(std::move(indicator));
        }
    }

    results.stages.insert_or_assign(std::move(own));
    results.stages.insert_or_assign(std::move(replacement));
    results.calculate_time_sum();
    (void)results.calculate_stage_sums();
    return std::nullopt;
}

void StageNode::print(int32_t level, bool recursive) const {
    tree::common_print(level, recursive, datamodel.display_line());
    tree::common_print(level, recursive, linkmodel.display_line());
}

void StageNode::node_to_xml(XmlWriter& writer) const {
    const XmlAttr attributes[] = {{"calc_replacements", xml_value(calc_replacements)}};
    tree::write_node(writer, NODE_NAME, attributes, [&] {
        datamodel.node_to_xml(writer, "Datamodel");
        linkmodel.node_to_xml(writer, "Linkmodel");
        results.node_to_xml(writer);
    });
}

void StageNode::encode(json::Encoder& encoder) const {
    encoder.emit_struct("StageNode", 7, [&] {
        encoder.node_type(node_type);
        encoder.field("datamodel", 1, datamodel);
        encoder.field("linkmodel", 2, linkmodel);
        encoder.field("source", 3, source);
        encoder.field("category", 4, category);
        encoder.field("results", 5, results);
        encoder.field("calc_replacements", 6, calc_replacements);
    });
}

}  // namespace mirelo
