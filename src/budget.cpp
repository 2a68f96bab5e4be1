#include "budget.hpp"

#include <algorithm>

#include "datamodel_building.hpp"
#include "datamodel_category.hpp"
#include "datamodel_construction.hpp"
#include "datamodel_element.hpp"
#include "datamodel_operation.hpp"
#include "datamodel_operation_data_point.hpp"
#include "datamodel_operation_indicator_group.hpp"
#include "datamodel_operation_scenario.hpp"
#include "datamodel_operation_utility.hpp"
#include "datamodel_product.hpp"
#include "datamodel_product_link.hpp"
#include "datamodel_source.hpp"
#include "datamodel_stage.hpp"
#include "datamodel_stage_link.hpp"
#include "datamodel_super_category.hpp"
#include "shared_error.hpp"
#include "tree_result_stage.hpp"

namespace mirelo::budget {

// The account of the call on this thread; a nested scope (a call made
// while another runs on the same thread) keeps its own.
thread_local Account* current = nullptr;

namespace {

[[noreturn]] void too_large(const Account& account, uint64_t bytes, std::string_view what) {
    fatal("result too large: " + std::string(what) + " needs " + std::to_string(bytes) + " more bytes after " +
          std::to_string(account.used) + " (limit " + std::to_string(account.limit) + " bytes: " +
          std::to_string(MAX_AMPLIFICATION) + " x " + std::to_string(account.input_bytes) +
          " input bytes, at least " + std::to_string(ACTIVATION_THRESHOLD) + ")");
}

uint64_t room(const Account& account) { return account.used < account.limit ? account.limit - account.used : 0; }

}  // namespace

uint64_t limit_for(uint64_t input_bytes) {
    const uint64_t scaled =
        input_bytes > UINT64_MAX / MAX_AMPLIFICATION ? UINT64_MAX : input_bytes * MAX_AMPLIFICATION;
    return std::max(ACTIVATION_THRESHOLD, scaled);
}

Scope::Scope(uint64_t input_bytes) : account_{input_bytes, limit_for(input_bytes), 0}, outer_(current) {
    current = &account_;
}

Scope::~Scope() { current = outer_; }

void charge(uint64_t bytes, std::string_view what) { (void)grant(bytes, bytes, what); }

void refund(uint64_t bytes) {
    if (current == nullptr) return;
    current->used -= std::min(current->used, bytes);
}

uint64_t charged() { return current ? current->used : 0; }

uint64_t grant(uint64_t need, uint64_t want, std::string_view what) {
    if (current == nullptr) return want;
    const uint64_t available = room(*current);
    if (need > available) too_large(*current, need, what);
    const uint64_t granted = std::min(want, available);
    current->used += granted;
    return granted;
}

size_t text_bytes(const std::string& text) {
    // Short texts live inside the string object itself, whose capacity is
    // then that of an empty string; any larger capacity is a heap block.
    static const size_t inline_capacity = std::string().capacity();
    return text.capacity() <= inline_capacity ? 0 : text.capacity() + 1;
}

size_t text_bytes(const std::vector<std::string>& texts) {
    size_t n = texts.capacity() * sizeof(std::string);
    for (const std::string& text : texts) n += text_bytes(text);
    return n;
}

namespace {

template <class... Texts>
size_t sum_texts(const Texts&... texts) {
    return (size_t{0} + ... + text_bytes(texts));
}

}  // namespace

size_t text_bytes(const Building& r) {
    return sum_texts(r.name, r.address, r.owner, r.typefield, r.description, r.report_purpose,
                     r.report_building_elements);
}
size_t text_bytes(const Category& r) { return sum_texts(r.name, r.units); }
size_t text_bytes(const Construction& r) { return sum_texts(r.name, r.unit, r.comment); }
size_t text_bytes(const Element& r) { return sum_texts(r.construction_link, r.name, r.comment); }
size_t text_bytes(const Operation& r) { return sum_texts(r.heat_supply_utility_link, r.scenario_link); }
size_t text_bytes(const OperationDataPoint&) { return 0; }
size_t text_bytes(const OperationIndicatorGroup&) { return 0; }
size_t text_bytes(const OperationScenario& r) { return sum_texts(r.name, r.description); }
size_t text_bytes(const OperationUtility& r) { return sum_texts(r.name); }
size_t text_bytes(const Product& r) { return sum_texts(r.name, r.comment); }
size_t text_bytes(const ProductLink& r) { return sum_texts(r.product_link); }
size_t text_bytes(const Source& r) { return sum_texts(r.name); }
size_t text_bytes(const Stage& r) {
    return sum_texts(r.name, r.stage, r.stage_unit, r.indicator_unit, r.default_c_link, r.default_d_link,
                     r.external_source, r.external_id, r.external_url, r.comment);
}
size_t text_bytes(const StageLink& r) { return sum_texts(r.stage_link, r.stage); }
size_t text_bytes(const SuperCategory& r) { return sum_texts(r.name); }

size_t held_bytes(const TreeResultStage& stage) {
    size_t n = sizeof(TreeResultStage) + stage.indicators.size() * sizeof(TreeResultIndicator);
    for (const TreeResultIndicator& indicator : stage.indicators) n += indicator.years.size() * YEAR_VALUE_BYTES;
    return n;
}

}  // namespace mirelo::budget
