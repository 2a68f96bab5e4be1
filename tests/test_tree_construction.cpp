#include "tree.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "json.hpp"
#include "parser.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

constexpr uint32_t G = GEN_DK_DB_ID;
constexpr uint32_t P = 5;  // the project's database

template <class T>
T record(uint32_t db, uint32_t row) {
    T r;
    r.link = Link(db, row);
    r.id = row;
    return r;
}

// The input tables as plain vectors, so that a test can change a record
// before the tables are filled (in vector order, which is table order).
struct World {
    std::vector<Source> sources;
    std::vector<Building> buildings;
    std::vector<Operation> operations;
    std::vector<OperationScenario> scenarios;
    std::vector<OperationUtility> utilities;
    std::vector<OperationDataPoint> data_points;
    std::vector<OperationIndicatorGroup> groups;
    std::vector<SuperCategory> super_categories;
    std::vector<Category> categories;
    std::vector<Element> elements;
    std::vector<Construction> constructions;
    std::vector<ProductLink> product_links;
    std::vector<Product> products;
    std::vector<StageLink> stage_links;
    std::vector<Stage> stages;

    World() {
        sources = {record<Source>(G, 1), record<Source>(P, 1)};

        // Table order differs from row order on purpose.
        for (uint32_t row : {2u, 1u}) {
            Building b = record<Building>(P, row);
            b.operation_id = 1;
            buildings.push_back(b);
        }
        Operation o = record<Operation>(P, 1);
        o.electricity_consumption = 10.0;
        o.heating_consumption = 20.0;
        o.parsed_scenario_link = Link(G, 1);
        o.parsed_heat_supply_utility_link = Link(G, 2);
        operations = {o};
        scenarios = {record<OperationScenario>(G, 1)};

        // Only the first electricity utility of the generic database counts.
        for (auto [db, row, electricity] : {std::tuple{P, 7u, true}, {G, 1u, true}, {G, 2u, false}, {G, 3u, true}}) {
            OperationUtility u = record<OperationUtility>(db, row);
            u.is_electricity = electricity;
            utilities.push_back(u);
        }

        // Scenario 2 and the project database are not the utilities'; 14
        // and 11 share a year and keep their table order.
        for (auto [db, row, scenario, year] : {std::tuple{G, 10u, 1u, 2030u},
                                               {G, 14u, 1u, 2020u},
                                               {G, 12u, 2u, 2025u},
                                               {P, 13u, 1u, 2020u},
                                               {G, 11u, 1u, 2020u}}) {
            OperationDataPoint dp = record<OperationDataPoint>(db, row);
            dp.scenario_id = scenario;
            dp.year = year;
            data_points.push_back(dp);
        }

        // Group row = data point * 10 + utility; a project-database look-alike
        // comes first and a second match for (10, 1) last.
        auto group = [](uint32_t db, uint32_t row, uint32_t dp, uint32_t utility) {
            OperationIndicatorGroup g = record<OperationIndicatorGroup>(db, row);
            g.data_point_id = dp;
            g.utility_id = utility;
            return g;
        };
        groups.push_back(group(P, 111, 11, 1));
        for (uint32_t dp : {10u, 11u, 14u}) {
            for (uint32_t u : {1u, 2u}) groups.push_back(group(G, dp * 10 + u, dp, u));
        }
        groups.push_back(group(G, 900, 10, 1));

        for (auto [db, row, order] : {std::tuple{G, 1u, 2}, {G, 2u, 1}, {P, 3u, 0}, {G, 4u, 3}}) {
            SuperCategory sc = record<SuperCategory>(db, row);
            sc.order = order;
            super_categories.push_back(sc);
        }

        // Kept: G:1, G:2 (super 1) and G:3 (super 2). Not kept: a stage
        // category, one without super category, one of another database,
        // one whose super category is not kept.
        auto category = [](uint32_t db, uint32_t row, std::optional<uint32_t> super, int32_t order, bool stage) {
            Category c = record<Category>(db, row);
            c.super_category_id = super;
            c.order = order;
            c.is_stage = stage;
            return c;
        };
        categories = {category(G, 1, 1, 5, false),  category(G, 2, 1, 5, false), category(G, 3, 2, 0, false),
                      category(G, 4, 1, 0, true),   category(G, 5, {}, 0, false), category(P, 6, 1, 0, true),
                      category(G, 7, 9, 0, false)};

        for (auto [row, category_id] : {std::pair{1u, 1u}, {2u, 3u}, {3u, 4u}}) {
            Construction k = record<Construction>(P, row);
            k.category_id = category_id;
            k.source_id = 1;
            constructions.push_back(k);
        }

        // P:2 is disabled with dangling references; P:3's construction is
        // of a category that is not kept; P:0 ties with P:1 and P:6 but
        // comes last in the table.
        auto element = [](uint32_t row, bool enabled, uint32_t construction, int32_t order, uint32_t source) {
            Element e = record<Element>(P, row);
            e.enabled = enabled;
            e.parsed_construction_link = Link(P, construction);
            e.order = order;
            e.source_id = source;
            return e;
        };
        elements = {element(1, true, 1, 3, 1), element(2, false, 77, 0, 77), element(3, true, 3, 0, 1),
                    element(4, true, 1, -1, 1), element(5, true, 2, 0, 1),   element(6, true, 1, 3, 1),
                    element(0, true, 1, 3, 1)};

        // Construction 1 names product 1 twice; a generic-database link
        // with the same construction id belongs to no construction here.
        for (auto [db, row, construction, product, order] :
             {std::tuple{P, 1u, 1u, 1u, 4u}, {P, 2u, 1u, 1u, 0u}, {G, 3u, 1u, 1u, 0u}, {P, 4u, 2u, 2u, 0u}}) {
            ProductLink pl = record<ProductLink>(db, row);
            pl.construction_id = construction;
            pl.parsed_product_link = Link(P, product);
            pl.order = order;
            product_links.push_back(pl);
        }
        for (uint32_t row : {1u, 2u}) {
            Product p = record<Product>(P, row);
            p.source_id = 1;
            products.push_back(p);
        }

        for (auto [db, row, stage, code] :
             {std::tuple{P, 1u, 1u, "c3"}, {P, 2u, 2u, "a1_3"}, {P, 3u, 1u, "C3"}, {G, 4u, 1u, "b4"}}) {
            StageLink sl = record<StageLink>(db, row);
            sl.product_id = 1;
            sl.parsed_stage_link = Link(P, stage);
            sl.stage = code;
            stage_links.push_back(sl);
        }
        // The stages' category is looked up in their own database, kept or not.
        for (uint32_t row : {1u, 2u}) {
            Stage st = record<Stage>(P, row);
            st.category_id = 6;
            st.source_id = 1;
            stages.push_back(st);
        }
    }

    Parser parser() const {
        Parser p;
        p.primary_db_id = P;
        for (const auto& r : sources) p.sources.insert(r);
        for (const auto& r : buildings) p.buildings.insert(r);
        for (const auto& r : operations) p.operations.insert(r);
        for (const auto& r : scenarios) p.operation_scenarios.insert(r);
        for (const auto& r : utilities) p.operation_utilities.insert(r);
        for (const auto& r : data_points) p.operation_data_points.insert(r);
        for (const auto& r : groups) p.operation_indicator_groups.insert(r);
        for (const auto& r : super_categories) p.super_categories.insert(r);
        for (const auto& r : categories) p.categories.insert(r);
        for (const auto& r : elements) p.elements.insert(r);
        for (const auto& r : constructions) p.constructions.insert(r);
        for (const auto& r : product_links) p.product_links.insert(r);
        for (const auto& r : products) p.products.insert(r);
        for (const auto& r : stage_links) p.stage_links.insert(r);
        for (const auto& r : stages) p.stages.insert(r);
        return p;
    }

    template <class T>
    static T& row(std::vector<T>& table, uint32_t db, uint32_t row_id) {
        for (T& r : table) {
            if (r.link == Link(db, row_id)) return r;
        }
        throw std::logic_error("no such test record");
    }
};

RootNode build(const World& world) {
    RootNode root;
    root.from_parser(world.parser());
    return root;
}

// A link as "G<row>" (generic database) or "<db>:<row>".
std::string id(const Link& link) {
    return (link.database_id == G ? "G" : std::to_string(link.database_id) + ":") + std::to_string(link.row_id);
}

// Appends `tag` and the link as `id` writes it.
void put(std::string& s, std::string_view tag, const Link& link) {
    s += tag;
    s += id(link);
}

// The element branch as one line: node ids with their children in brackets.
std::string shape(const AllElementsNode& all) {
    std::string s;
    for (const SuperCategoryNode& sc : all.children) {
        put(s, "S", sc.datamodel.link);
        s += '[';
        for (const CategoryNode& ct : sc.children) {
            put(s, "C", ct.datamodel.link);
            s += '[';
            for (const ElementNode& e : ct.children) {
                put(s, "E", e.datamodel.link);
                s += '[';
                for (const ConstructionNode& k : e.children) {
                    put(s, "K", k.datamodel.link);
                    s += '[';
                    for (const ProductNode& p : k.children) {
                        put(s, "P", p.datamodel.link);
                        put(s, "/", p.linkmodel.link);
                        s += '[';
                        for (const StageNode& t : p.children) {
                            put(s, "T", t.datamodel.link);
                            put(s, "/", t.linkmodel.link);
                            put(s, "@", t.category.link);
                            put(s, "$", t.source.link);
                            s += ' ';
                        }
                        s += ']';
                    }
                    s += ']';
                }
                s += ']';
            }
            s += ']';
        }
        s += ']';
    }
    return s;
}

// Data point rows of a utility node, each with its one group's row.
std::string data_point_rows(const OperationUtilityNode& utility) {
    std::string s;
    for (const OperationDataPointNode& dp : utility.children) {
        s += id(dp.datamodel.link) + "(";
        for (const OperationIndicatorGroupNode& g : dp.children) s += id(g.datamodel.link);
        s += ") ";
    }
    return s;
}

// Construction P:1 holds product P:1 twice (links by order: 5:2, 5:1), each
// with its stages in bytewise code order ("C3", "a1_3", "c3").
const std::string STAGES = "T5:1/5:3@5:6$5:1 T5:2/5:2@5:6$5:1 T5:1/5:1@5:6$5:1 ";
const std::string CONSTRUCTION_1 = "K5:1[P5:1/5:2[" + STAGES + "]P5:1/5:1[" + STAGES + "]]";
// Super categories by order: G2 (1), G1 (2), G4 (3); elements by order, ties in table order.
const std::string ELEMENT_BRANCH = "SG2[CG3[E5:5[K5:2[P5:2/5:4[]]]]]"
                                   "SG1[CG1[E5:4[" + CONSTRUCTION_1 + "]E5:1[" + CONSTRUCTION_1 + "]E5:6[" +
                                   CONSTRUCTION_1 + "]E5:0[" + CONSTRUCTION_1 + "]]CG2[]]"
                                   "SG4[]";

TEST(TreeConstruction, BuildsEveryBuildingWithItsBranches) {
    RootNode root = build(World());
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.children[0].datamodel.link, Link(P, 2));
    EXPECT_EQ(root.children[1].datamodel.link, Link(P, 1));

    for (const BuildingNode& building : root.children) {
        const OperationNode& operation = building.operation_child;
        EXPECT_EQ(operation.datamodel.link, Link(P, 1));
        EXPECT_EQ(operation.scenario_model.link, Link(G, 1));
        ASSERT_EQ(operation.children.size(), 2u);
        const OperationUtilityNode& electricity = operation.children[0];
        const OperationUtilityNode& heat = operation.children[1];
        EXPECT_EQ(electricity.datamodel.link, Link(G, 1));
        EXPECT_EQ(electricity.amount, 10.0);
        EXPECT_EQ(heat.datamodel.link, Link(G, 2));
        EXPECT_EQ(heat.amount, 20.0);
        EXPECT_EQ(data_point_rows(electricity), "G14(G141) G11(G111) G10(G101) ");
        EXPECT_EQ(data_point_rows(heat), "G14(G142) G11(G112) G10(G102) ");

        EXPECT_EQ(shape(building.all_elements_child), ELEMENT_BRANCH);
        EXPECT_TRUE(building.results.stages.empty());
    }
    const ElementNode& element = root.children[0].all_elements_child.children[1].children[0].children[0];
    EXPECT_EQ(element.source.link, Link(P, 1));
    EXPECT_EQ(element.children[0].source.link, Link(P, 1));
    EXPECT_EQ(element.children[0].children[0].source.link, Link(P, 1));
}

TEST(TreeConstruction, EdgeCasesOfTheTables) {
    {  // No buildings: nothing is looked up at all.
        World world;
        world.buildings.clear();
        world.elements[0].source_id = 99;
        EXPECT_TRUE(build(world).children.empty());
    }
    {  // Heat supply naming the electricity utility: two nodes of one record.
        World world;
        world.operations[0].parsed_heat_supply_utility_link = Link(G, 1);
        RootNode root = build(world);
        const OperationNode& operation = root.children[0].operation_child;
        ASSERT_EQ(operation.children.size(), 2u);
        EXPECT_EQ(operation.children[1].datamodel.link, Link(G, 1));
        EXPECT_EQ(operation.children[1].amount, 20.0);
        EXPECT_EQ(data_point_rows(operation.children[1]), "G14(G141) G11(G111) G10(G101) ");
    }
    {  // No kept category: no element is looked at, faulty ones included.
        World world;
        for (Category& c : world.categories) c.is_stage = true;
        world.elements[2].source_id = 99;
        RootNode root = build(world);
        EXPECT_EQ(shape(root.children[0].all_elements_child), "SG2[]SG1[]SG4[]");
    }
    {  // A utility without data points of its own gets no children.
        World world;
        world.operations[0].parsed_scenario_link = Link(G, 3);
        world.scenarios.push_back(record<OperationScenario>(G, 3));
        RootNode root = build(world);
        EXPECT_TRUE(root.children[0].operation_child.children[0].children.empty());
    }
}

TEST(TreeConstruction, HandleUtilityBranchAppendsSortedDataPoints) {
    World world;
    Parser data = world.parser();
    OperationUtilityNode node(world.utilities[2], 1.0);  // G:2, the heat supply
    RootNode::handle_utility_branch(node, data, Link(P, 1).combined_id);
    EXPECT_EQ(data_point_rows(node), "G14(G142) G11(G112) G10(G102) ");
}

struct StopCase {
    const char* what;
    std::function<void(World&)> change;
    std::string message;
    std::string context;
};

const std::string NO_ENTRY = "no entry found for key";

// Each case's change to the standard world stops the construction with the
// case's message and context.
void expect_stops(std::span<const StopCase> cases) {
    for (const StopCase& c : cases) {
        World world;
        c.change(world);
        FatalStop stop = testing::stop_of([&] { build(world); });
        EXPECT_EQ(stop.message(), c.message) << c.what;
        EXPECT_EQ(stop.context(), c.context) << c.what;
    }
}

// No utility of the generic database is an electricity utility.
void no_generic_electricity(World& w) {
    for (auto& u : w.utilities) {
        if (u.link.database_id == G) u.is_electricity = false;
    }
}

TEST(TreeConstruction, MissingReferencesStopWithTheirContext) {
    const std::string g = std::to_string(G);
    const StopCase cases[] = {
        {"operation", [](World& w) { w.buildings[0].operation_id = 9; }, NO_ENTRY,
         "Building 5:2 refers to operations 5:9"},
        {"scenario", [](World& w) { w.operations[0].parsed_scenario_link = Link(G, 9); }, NO_ENTRY,
         "Operation 5:1 refers to operation_scenarios " + g + ":9"},
        {"heat supply", [](World& w) { w.operations[0].parsed_heat_supply_utility_link = Link(P, 9); }, NO_ENTRY,
         "Operation 5:1 refers to operation_utilities 5:9"},
        {"element source", [](World& w) { World::row(w.elements, P, 1).source_id = 9; }, NO_ENTRY,
         "Element 5:1 refers to sources 5:9"},
        {"element construction", [](World& w) { World::row(w.elements, P, 1).parsed_construction_link = Link(P, 9); },
         NO_ENTRY, "Element 5:1 refers to constructions 5:9"},
        {"construction source", [](World& w) { World::row(w.constructions, P, 1).source_id = 9; }, NO_ENTRY,
         "Construction 5:1 refers to sources 5:9"},
        {"product", [](World& w) { World::row(w.product_links, P, 1).parsed_product_link = Link(P, 9); }, NO_ENTRY,
         "ProductLink 5:1 refers to products 5:9"},
        {"product source", [](World& w) { World::row(w.products, P, 1).source_id = 9; }, NO_ENTRY,
         "Product 5:1 refers to sources 5:9"},
        {"stage", [](World& w) { World::row(w.stage_links, P, 1).parsed_stage_link = Link(P, 9); }, NO_ENTRY,
         "StageLink 5:1 refers to stages 5:9"},
        {"stage source", [](World& w) { World::row(w.stages, P, 1).source_id = 9; }, NO_ENTRY,
         "Stage 5:1 refers to sources 5:9"},
        {"stage category", [](World& w) { World::row(w.stages, P, 1).category_id = 9; }, NO_ENTRY,
         "Stage 5:1 refers to categories 5:9"},
        {"indicator group",
         [](World& w) {
             for (auto& group : w.groups) {
                 if (group.link == Link(G, 112)) group.utility_id = 8;
             }
         },
         "Missing indicator group for <OperationDataPoint ID=\"11\", ScenarioID=\"1\", Year=\"2020\",>",
         "OperationDataPoint " + g + ":11 has no operation_indicator_groups entry for OperationUtility " + g + ":2"},
        {"electricity utility", no_generic_electricity, "Could not find electricity utility",
         "Operation 5:1 looks for an electricity utility of database " + g},
    };
    expect_stops(cases);
}

TEST(TreeConstruction, FirstFailingCheckWins) {
    const std::string g = std::to_string(G);
    auto element_source = [](uint32_t row) { return [row](World& w) { World::row(w.elements, P, row).source_id = 9; }; };
    auto missing_product = [](World& w) { World::row(w.product_links, P, 1).parsed_product_link = Link(P, 9); };

    const StopCase cases[] = {
        {"scenario before electricity utility",
         [&](World& w) {
             no_generic_electricity(w);
             w.operations[0].parsed_scenario_link = Link(G, 9);
         },
         NO_ENTRY, "Operation 5:1 refers to operation_scenarios " + g + ":9"},
        {"electricity utility before heat supply",
         [&](World& w) {
             no_generic_electricity(w);
             w.operations[0].parsed_heat_supply_utility_link = Link(P, 9);
         },
         "Could not find electricity utility", "Operation 5:1 looks for an electricity utility of database " + g},
        {"data points before elements",
         [&](World& w) {
             w.groups.erase(w.groups.begin() + 4);  // G:112
             element_source(1)(w);
         },
         "Missing indicator group for <OperationDataPoint ID=\"11\", ScenarioID=\"1\", Year=\"2020\",>",
         "OperationDataPoint " + g + ":11 has no operation_indicator_groups entry for OperationUtility " + g + ":2"},
        {"first building's elements before second building's operation",
         [&](World& w) {
             w.buildings[1].operation_id = 9;
             element_source(1)(w);
         },
         NO_ENTRY, "Element 5:1 refers to sources 5:9"},
        {"element of no category fires at the first kept category", element_source(3), NO_ENTRY,
         "Element 5:3 refers to sources 5:9"},
        {"earlier element's product before later element's source",
         [&](World& w) {
             missing_product(w);
             element_source(3)(w);
         },
         NO_ENTRY, "ProductLink 5:1 refers to products 5:9"},
        {"earlier element's source before later elements' products",
         [&](World& w) {
             missing_product(w);
             element_source(1)(w);
         },
         NO_ENTRY, "Element 5:1 refers to sources 5:9"},
        {"element of a later category is not reached",
         [&](World& w) {
             World::row(w.constructions, P, 2).source_id = 9;  // P:5's construction, category G:3
             element_source(6)(w);
         },
         NO_ENTRY, "Element 5:6 refers to sources 5:9"},
        {"later category's element fails once the first category is done",
         [&](World& w) { World::row(w.constructions, P, 2).source_id = 9; }, NO_ENTRY,
         "Construction 5:2 refers to sources 5:9"},
    };
    expect_stops(cases);
}

TEST(RootNode, DumpsAndEncodesAnEmptyRoot) {
    RootNode root;
    EXPECT_EQ(testing::capture_fd(1, [&] { root.print(0, true); }), "[0]Root\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { root.print(3, false); }), "Root\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { tree::common_print(2, true, "line"); }), "[2]    line\n");

    std::ostringstream out;
    XmlWriter writer(out);
    root.node_to_xml(writer);
    EXPECT_EQ(out.str(), "<Root></Root>");

    std::ostringstream failed_out;
    testing::ScriptedWriter failing(failed_out);
    failing.fail_start = "Root";
    try {
        root.node_to_xml(failing);
        ADD_FAILURE() << "no stop";
    } catch (const FatalStop& stop) {
        EXPECT_EQ(stop.message(), "failed writing XML element Root: disk full");
    }
    EXPECT_EQ(failed_out.str(), "");

    auto text = json::encode(root);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(), R"({"node_type":"Root","children":[]})");
}

TEST(RootNode, PrintsBuildingsOneLevelDeeper) {
    World world;
    world.buildings.pop_back();
    RootNode root = build(world);
    std::string lines = testing::capture_fd(1, [&] { root.print(0, true); });
    EXPECT_EQ(lines.rfind("[0]Root\n[1]  <Building ", 0), 0u) << lines;
    EXPECT_EQ(testing::capture_fd(1, [&] { root.print(0, false); }), "Root\n");
}

TEST(RootNode, WritesAnXmlDumpFile) {
    testing::TempDir dir;
    std::string path = (dir.path() / "dump.xml").string();
    tree::write_xml_dump(RootNode(), path);
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root></Root>");

    EXPECT_THROW(tree::write_xml_dump(RootNode(), (dir.path() / "missing" / "dump.xml").string()), FatalStop);
}

}  // namespace
}  // namespace mirelo
