// Construction of the calculation tree from the parser's tables: one
// building node per building record, each with its energy-use branch and a
// copy of the element branch, every reference resolved and every sibling
// sequence sorted.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "parser.hpp"
#include "shared_error.hpp"
#include "tree.hpp"

namespace mirelo {

namespace {

// Key of a foreign key field: the row id in the referring record's database.
uint64_t foreign_key(uint32_t row_id, uint32_t database_id) {
    return (static_cast<uint64_t>(row_id) << 32) | database_id;
}

// The message is what hosts search for; the context says which record held
// the dangling reference and what it looked for.
FatalStop missing_entry(std::string_view holder_type, const Link& holder, std::string_view table, uint64_t key) {
    FatalStop stop("no entry found for key");
    std::string context;
    context += holder_type;
    context += ' ';
    holder.append_to(context);
    context += " refers to ";
    context += table;
    context += ' ';
    Link::parse_from_combined_id(key).append_to(context);
    stop.add_context(context);
    return stop;
}

template <class T>
const T& lookup(const RecordTable<T>& table, uint64_t key, std::string_view table_name, std::string_view holder_type,
                const Link& holder) {
    if (const T* record = table.find(key)) return *record;
    throw missing_entry(holder_type, holder, table_name, key);
}

// Record positions of one table, in the table's iteration order. The
// indexes below replace nested scans of whole tables; keeping positions in
// table order makes each lookup visit exactly the records the scan would
// have kept, in the same order.
using Positions = std::vector<uint32_t>;
using PositionIndex = std::unordered_map<uint64_t, Positions>;

const Positions& positions_of(const PositionIndex& index, uint64_t key) {
    static const Positions none;
    auto it = index.find(key);
    return it == index.end() ? none : it->second;
}

struct GroupKey {
    uint32_t database_id;
    uint32_t data_point_id;
    uint32_t utility_id;
    bool operator==(const GroupKey&) const = default;
};

struct GroupKeyHash {
    size_t operator()(const GroupKey& k) const {
        uint64_t h = foreign_key(k.data_point_id, k.database_id);
        h ^= (static_cast<uint64_t>(k.utility_id) + 0x9e3779b97f4a7c15ull) + (h << 6) + (h >> 2);
        return std::hash<uint64_t>{}(h);
    }
};

}  // namespace

// Data points by (scenario row id, database), and the first indicator group
// of each (database, data point, utility). Built once per construction and
// shared by every utility branch.
struct UtilityIndex {
    PositionIndex data_points;
    std::unordered_map<GroupKey, uint32_t, GroupKeyHash> indicator_groups;

    explicit UtilityIndex(const Parser& data) {
        uint32_t pos = 0;
        for (const OperationDataPoint& dp : data.operation_data_points) {
            data_points[foreign_key(dp.scenario_id, dp.link.database_id)].push_back(pos++);
        }
        pos = 0;
        for (const OperationIndicatorGroup& ig : data.operation_indicator_groups) {
            indicator_groups.try_emplace(GroupKey{ig.link.database_id, ig.data_point_id, ig.utility_id}, pos++);
        }
    }
};

void RootNode::handle_utility_branch(OperationUtilityNode& parent_node, const Parser& data, uint64_t opr_link,
                                     const UtilityIndex& index) {
    const OperationUtility& utility = parent_node.datamodel;
    const Operation& operation =
        lookup(data.operations, opr_link, "operations", "utility branch of OperationUtility", utility.link);
    // The scenario is matched by row id alone: its database plays no part.
    const Positions& points =
        positions_of(index.data_points, foreign_key(operation.parsed_scenario_link.row_id, utility.link.database_id));
    for (uint32_t pos : points) {
        const OperationDataPoint& dp = data.operation_data_points[pos];
        OperationDataPointNode dp_node(dp);
        auto group = index.indicator_groups.find(GroupKey{dp.link.database_id, dp.id, utility.id});
        if (group == index.indicator_groups.end()) {
            FatalStop stop("Missing indicator group for " + dp.display_line());
            stop.add_context("OperationDataPoint " + dp.link.to_string() +
                             " has no operation_indicator_groups entry for OperationUtility " +
                             utility.link.to_string());
            throw stop;
        }
        dp_node.add_child(OperationIndicatorGroupNode(data.operation_indicator_groups[group->second]));
        parent_node.add_child(std::move(dp_node));
    }
    std::stable_sort(parent_node.children.begin(), parent_node.children.end());
}

void RootNode::handle_utility_branch(OperationUtilityNode& parent_node, const Parser& data, uint64_t opr_link) {
    handle_utility_branch(parent_node, data, opr_link, UtilityIndex(data));
}

namespace {

// Builds the element branch. It does not depend on the building, so it is
// built once and copied into every building.
//
// Every enabled element's source and construction are looked up for each
// kept category, before the element is matched against that category. A
// missing one therefore stops the construction while the first kept
// category is handled, after that category's elements that precede the
// faulty element in table order. The lookups are made once up front and the
// first failure is held back until that point.
class ElementBranchBuilder {
public:
    explicit ElementBranchBuilder(const Parser& data) : data_(data) {}

    AllElementsNode build() {
        const uint32_t generic = data_.gen_dk_db_id;
        uint32_t pos = 0;
        for (const Category& ct : data_.categories) {
            if (ct.link.database_id == generic && !ct.is_stage && ct.super_category_id) {
                categories_[*ct.super_category_id].push_back(pos);
            }
            ++pos;
        }
        pos = 0;
        for (const ProductLink& pl : data_.product_links) {
            product_links_[foreign_key(pl.construction_id, pl.link.database_id)].push_back(pos++);
        }
        pos = 0;
        for (const StageLink& sl : data_.stage_links) {
            stage_links_[foreign_key(sl.product_id, sl.link.database_id)].push_back(pos++);
        }

        AllElementsNode all;
        for (const SuperCategory& sc : data_.super_categories) {
            if (sc.link.database_id != generic) continue;
            SuperCategoryNode sc_node(sc);
            for (uint32_t ct : positions_of(categories_, sc.id)) sc_node.add_child(build_category(data_.categories[ct]));
            std::stable_sort(sc_node.children.begin(), sc_node.children.end());
            all.add_child(std::move(sc_node));
        }
        std::stable_sort(all.children.begin(), all.children.end());
        return all;
    }

private:
    struct ResolvedElement {
        const Element* element;
        const Source* source;
        const Construction* construction;
    };

    void resolve_elements() {
        resolved_ = true;
        for (const Element& e : data_.elements) {
            if (!e.enabled) continue;
            uint64_t source_key = foreign_key(e.source_id, e.link.database_id);
            const Source* source = data_.sources.find(source_key);
            if (!source) {
                pending_ = missing_entry("Element", e.link, "sources", source_key);
                return;
            }
            const Construction* construction = data_.constructions.find(e.parsed_construction_link.combined_id);
            if (!construction) {
                pending_ = missing_entry("Element", e.link, "constructions", e.parsed_construction_link.combined_id);
                return;
            }
            elements_[construction->category_id].push_back({&e, source, construction});
        }
    }

    CategoryNode build_category(const Category& ct) {
        if (!resolved_) resolve_elements();
        CategoryNode node(ct);
        if (auto it = elements_.find(ct.id); it != elements_.end()) {
            for (const ResolvedElement& r : it->second) node.add_child(build_element(r));
        }
        if (pending_) throw *pending_;
        std::stable_sort(node.children.begin(), node.children.end());
        return node;
    }

    ElementNode build_element(const ResolvedElement& r) {
        ElementNode node(*r.element, *r.source);
        const Construction& k = *r.construction;
        const Source& source =
            lookup(data_.sources, foreign_key(k.source_id, k.link.database_id), "sources", "Construction", k.link);
        ConstructionNode construction(k, source);
        for (uint32_t pl : positions_of(product_links_, foreign_key(k.id, k.link.database_id))) {
            construction.add_child(build_product(data_.product_links[pl]));
        }
        std::stable_sort(construction.children.begin(), construction.children.end());
        node.add_child(std::move(construction));
        return node;
    }

    ProductNode build_product(const ProductLink& pl) {
        const Product& p =
            lookup(data_.products, pl.parsed_product_link.combined_id, "products", "ProductLink", pl.link);
        const Source& p_source =
            lookup(data_.sources, foreign_key(p.source_id, p.link.database_id), "sources", "Product", p.link);
        ProductNode node(p, pl, p_source);
        // The stage links belong to the product's database, which can
        // differ from the database of the link that named the product.
        for (uint32_t pos : positions_of(stage_links_, foreign_key(p.id, p.link.database_id))) {
            const StageLink& sl = data_.stage_links[pos];
            const Stage& st = lookup(data_.stages, sl.parsed_stage_link.combined_id, "stages", "StageLink", sl.link);
            const Source& st_source =
                lookup(data_.sources, foreign_key(st.source_id, st.link.database_id), "sources", "Stage", st.link);
            const Category& st_category = lookup(data_.categories, foreign_key(st.category_id, st.link.database_id),
                                                 "categories", "Stage", st.link);
            node.add_child(StageNode(st, sl, st_source, st_category));
        }
        std::stable_sort(node.children.begin(), node.children.end());
        return node;
    }

    const Parser& data_;
    PositionIndex categories_;     // kept categories by super category id
    PositionIndex product_links_;  // by (construction id, database)
    PositionIndex stage_links_;    // by (product id, database)
    bool resolved_ = false;
    std::unordered_map<uint32_t, std::vector<ResolvedElement>> elements_;  // by construction category id
    std::optional<FatalStop> pending_;
};

}  // namespace

void RootNode::from_parser(Parser data) {
    const UtilityIndex utilities(data);
    ElementBranchBuilder element_builder(data);
    std::optional<AllElementsNode> element_branch;
    // The generic electricity utility is the same for every building; the
    // first building asks for it, at its place among that building's checks.
    std::optional<Result<uint64_t, std::string>> electricity;

    children.reserve(children.size() + data.buildings.size());
    size_t remaining = data.buildings.size();
    for (const Building& b : data.buildings) {
        --remaining;
        BuildingNode building(b);

        const uint64_t opr_link = foreign_key(b.operation_id, b.link.database_id);
        const Operation& o = lookup(data.operations, opr_link, "operations", "Building", b.link);
        const OperationScenario& scenario = lookup(data.operation_scenarios, o.parsed_scenario_link.combined_id,
                                                   "operation_scenarios", "Operation", o.link);
        OperationNode operation(o, scenario);

        if (!electricity) electricity = data.get_electricity_utility();
        if (!electricity->ok()) {
            FatalStop stop(electricity->error());
            stop.add_context("Operation " + o.link.to_string() +
                             " looks for an electricity utility of database " + std::to_string(GEN_DK_DB_ID));
            throw stop;
        }
        const OperationUtility& e_utility = lookup(data.operation_utilities, electricity->value(),
                                                   "operation_utilities", "Operation", o.link);
        OperationUtilityNode e_node(e_utility, o.electricity_consumption);

        const OperationUtility& h_utility = lookup(data.operation_utilities,
                                                   o.parsed_heat_supply_utility_link.combined_id,
                                                   "operation_utilities", "Operation", o.link);
        OperationUtilityNode h_node(h_utility, o.heating_consumption);

        handle_utility_branch(e_node, data, opr_link, utilities);
        handle_utility_branch(h_node, data, opr_link, utilities);
        operation.add_child(std::move(e_node));
        operation.add_child(std::move(h_node));

        if (!element_branch) element_branch = element_builder.build();
        // Every building but the last gets a copy, charged to the memory
        // budget like the original; the last one takes the branch itself.
        if (remaining == 0) {
            building.all_elements_child = std::move(*element_branch);
        } else {
            building.all_elements_child = *element_branch;
        }

        building.operation_child = std::move(operation);
        children.push_back(std::move(building));
    }
}

}  // namespace mirelo
