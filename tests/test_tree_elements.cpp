#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "json.hpp"
#include "test_support.hpp"
#include "text_convert.hpp"
#include "tree.hpp"
#include "tree_all_elements.hpp"

namespace mirelo {
namespace {

using testing::stage_names;
using testing::Years;
using testing::years_of;

constexpr uint32_t DB = 7;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct StageSetup {
    std::string code;
    double quantity = 1.0;
    double factor = 1.0;
    double gwp = 0.0;
    std::string stage_unit = "kg";
    std::string indicator_unit = "kg";
};

StageNode make_stage(uint32_t row, const StageSetup& setup) {
    Stage stage;
    stage.link = Link(DB, row);
    stage.id = row;
    stage.stage = setup.code;
    stage.stage_unit = setup.stage_unit;
    stage.indicator_unit = setup.indicator_unit;
    stage.quantity = setup.quantity;
    stage.factor = setup.factor;
    stage.gwp = setup.gwp;
    stage.ser = 1.0;
    StageLink link;
    link.link = Link(DB, row + 1000);
    link.id = row + 1000;
    link.stage = setup.code;
    return StageNode(stage, link, Source(), Category());
}

struct ProductSetup {
    uint32_t row = 3;
    uint32_t order = 1;
    double amount = 3.0;
    double density = 10.0;
    uint32_t lifespan = 20;
    std::vector<StageSetup> stages;
};

ProductNode make_product(const ProductSetup& setup) {
    Product product;
    product.link = Link(DB, setup.row);
    product.id = setup.row;
    product.source_id = 2;
    product.name = "Brick";
    ProductLink link;
    link.link = Link(DB, setup.row + 500);
    link.id = setup.row + 500;
    link.order = setup.order;
    link.amount = setup.amount;
    link.density = setup.density;
    link.lifespan = setup.lifespan;
    ProductNode node(product, link, Source());
    uint32_t row = setup.row * 10;
    for (const StageSetup& s : setup.stages) node.add_child(make_stage(++row, s));
    return node;
}

ProductNode product_with_codes(const std::vector<std::string>& codes) {
    ProductSetup setup;
    for (const std::string& code : codes) setup.stages.push_back({code});
    return make_product(setup);
}

Building building(uint32_t initial_year, uint32_t timespan) {
    Building b;
    b.initial_year = initial_year;
    b.calculation_timespan = timespan;
    return b;
}

Element element(double amount) {
    Element e;
    e.amount = amount;
    return e;
}

void expect_untouched(const ProductNode& p) {
    EXPECT_EQ(p.calc_stage_amount, 0.0);
    EXPECT_EQ(p.calc_stage_amount_unit, "");
    EXPECT_EQ(p.calc_indicator_amount_a1_3, 0.0);
    EXPECT_EQ(p.calc_weight, 0.0);
    EXPECT_EQ(p.calc_demo_weight, 0.0);
    EXPECT_EQ(p.calc_replacements, 0u);
    EXPECT_FALSE(p.results.weight.has_value());
    EXPECT_FALSE(p.results.demo_weight.has_value());
    for (const StageNode& s : p.children) EXPECT_TRUE(s.results.stages.empty()) << s.datamodel.stage;
}

TEST(ProductCalculation, ChecksStagesInOrderBeforeWritingAnything) {
    const std::string skipping =
        "Missing or too many stages, skipping for calculation (Product: <Product ID=\"3\", SourceID=\"2\", "
        "Name=\"Brick\", Comment=\"\">, Product link: 7:3, Stages: ";
    const struct {
        std::vector<std::string> codes;
        std::optional<SharedError::Kind> kind;
        std::string message;
    } cases[] = {
        {{"a1_3", "c4"}, std::nullopt, ""},
        {{"a1_3", "c3", "d"}, std::nullopt, ""},
        {{"a1_3", "c3", "c4"}, SharedError::Kind::MissingStage, "Missing one of stage C3 or C4"},
        {{"a1_3"}, SharedError::Kind::MissingStage, "Missing one of stage C3 or C4"},
        {{"a1_3", "d"}, SharedError::Kind::MissingStage, "Missing one of stage C3 or C4"},
        {{"c3", "d"}, SharedError::Kind::MissingStage, "Missing stage A1_3"},
        {{}, SharedError::Kind::MissingStage, "Missing stage A1_3"},
        {{"a1_3", "c3", "b6"}, SharedError::Kind::SkippingStageCalculation, skipping + "3)"},
        {{"a1_3", " A1_3 ", "c3"}, SharedError::Kind::SkippingStageCalculation, skipping + "3)"},
        {{"a1_3", "c4", "d", "d"}, SharedError::Kind::SkippingStageCalculation, skipping + "4)"},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const std::string& code : c.codes) label += "[" + code + "]";
        ProductNode product = product_with_codes(c.codes);
        Status status = product.calculate(building(2020, 50), element(1.0), Construction());
        if (!c.kind) {
            EXPECT_FALSE(status.has_value()) << label << ": " << status->display();
            EXPECT_TRUE(product.results.weight.has_value()) << label;
            continue;
        }
        ASSERT_TRUE(status.has_value()) << label;
        EXPECT_EQ(status->kind(), *c.kind) << label;
        EXPECT_EQ(status->display(), c.message) << label;
        expect_untouched(product);
    }
}

TEST(ProductCalculation, StageCodesIgnoreCaseAndSurroundingBlanks) {
    ProductSetup setup;
    setup.stages = {{" A1_3"}, {"C3 "}, {"\tD"}};
    ProductNode product = make_product(setup);
    // The link's stage text plays no part in matching: only the stage record's.
    product.children[1].linkmodel.stage = "zz";

    EXPECT_EQ(product.get_stage_index("a1_3"), 0u);
    EXPECT_EQ(product.get_stage_index(" C3"), 1u);
    EXPECT_EQ(product.get_stage_index("d  "), 2u);
    EXPECT_EQ(product.get_stage_index("c4"), std::nullopt);

    ASSERT_FALSE(product.calculate(building(2020, 50), element(1.0), Construction()));
    EXPECT_EQ(stage_names(product.children[0].results), (std::vector<std::string>{"a1_3", "b4", "b4_a", "sum"}));
    EXPECT_EQ(stage_names(product.children[1].results), (std::vector<std::string>{"b4", "b4_c", "c3", "sum"}));
    EXPECT_EQ(stage_names(product.children[2].results), (std::vector<std::string>{"b4", "b4_c", "d", "sum"}));
}

TEST(ProductCalculation, WorkedExample) {
    ProductSetup setup;
    setup.amount = 3.0;
    setup.lifespan = 20;
    setup.stages = {{"a1_3", 1.5, 2.0, 10.0, "kg", "KG "}, {"c3", 2.0, 1.0, 2.0}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(2020, 50), element(2.0), Construction()));

    EXPECT_EQ(product.calc_stage_amount, 6.0);
    EXPECT_EQ(product.calc_stage_amount_unit, "kg");
    EXPECT_EQ(product.calc_indicator_amount_a1_3, 6.0);
    EXPECT_EQ(product.calc_weight, 9.0);
    EXPECT_EQ(product.calc_demo_weight, 0.0);
    EXPECT_EQ(product.results.weight, 9.0);
    EXPECT_EQ(product.results.demo_weight, 0.0);
    EXPECT_EQ(product.calc_replacements, 2u);
    // The product's own map is filled by the sums, not here.
    EXPECT_TRUE(product.results.stages.empty());

    const TreeResults& a = product.children[0].results;
    EXPECT_EQ(product.children[0].calc_replacements, 2u);
    EXPECT_EQ(years_of(a, "a1_3"), (Years{{2020, 30.0}, {9999, 30.0}}));
    EXPECT_EQ(years_of(a, "b4_a"), (Years{{2040, 30.0}, {2060, 30.0}, {9999, 60.0}}));
    EXPECT_EQ(years_of(a, "b4"), years_of(a, "b4_a"));
    EXPECT_EQ(years_of(a, "sum"), (Years{{2020, 30.0}, {2040, 30.0}, {2060, 30.0}, {9999, 90.0}}));
    EXPECT_EQ(years_of(a, "a1_3", "ser"), (Years{{2020, 3.0}, {9999, 3.0}}));
    EXPECT_EQ(years_of(a, "a1_3", "odp"), (Years{{2020, 0.0}, {9999, 0.0}}));
    EXPECT_EQ(a.stages.find(std::string("a1_3"))->indicators.size(), INDICATORS.size());

    // Weight 9.0 over the c3 quantity 2.0: amount 4.5, counted in the last year.
    const TreeResults& c = product.children[1].results;
    EXPECT_EQ(years_of(c, "c3"), (Years{{2069, 9.0}, {9999, 9.0}}));
    EXPECT_EQ(years_of(c, "b4_c"), (Years{{2040, 9.0}, {2060, 9.0}, {9999, 18.0}}));
    EXPECT_FALSE(c.weight.has_value());
}

TEST(ProductCalculation, FollowsTheWrittenOrderOfOperations) {
    ProductSetup setup;
    setup.amount = 7.0;
    setup.stages = {{"a1_3"}, {"c4", 10.0, 3.0, 1.0}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(2020, 50), element(1.0), Construction()));
    // (1.0 / 3.0) * (7.0 * (1.0 / 10.0)); any other grouping differs in the last bits.
    EXPECT_EQ(years_of(product.children[1].results, "c4")[2069], 0.23333333333333334);
}

TEST(ProductCalculation, ReplacementYears) {
    const struct {
        uint32_t timespan;
        uint32_t lifespan;
        uint32_t count;
        Years years;
    } cases[] = {
        {50, 20, 2, {{2040, 5.0}, {2060, 5.0}, {9999, 10.0}}},
        {50, 44, 1, {{2064, 5.0}, {9999, 5.0}}},
        {50, 45, 0, {{9999, 0.0}}},
        {12, 6, 1, {{2026, 5.0}, {9999, 5.0}}},
        {6, 1, 0, {{9999, 0.0}}},
        {5, 1, 0, {{9999, 0.0}}},
        {0, 1, 0, {{9999, 0.0}}},
        {10, 1, 4, {{2021, 5.0}, {2022, 5.0}, {2023, 5.0}, {2024, 5.0}, {9999, 20.0}}},
    };
    for (const auto& c : cases) {
        ProductSetup setup;
        setup.amount = 1.0;
        setup.lifespan = c.lifespan;
        setup.stages = {{"a1_3", 1.0, 1.0, 5.0}, {"c4"}};
        ProductNode product = make_product(setup);
        ASSERT_FALSE(product.calculate(building(2020, c.timespan), element(1.0), Construction()));
        EXPECT_EQ(product.calc_replacements, c.count) << c.timespan << "/" << c.lifespan;
        EXPECT_EQ(product.children[1].calc_replacements, c.count) << c.timespan << "/" << c.lifespan;
        EXPECT_EQ(years_of(product.children[0].results, "b4_a"), c.years) << c.timespan << "/" << c.lifespan;
    }
}

// The latest period a building may have ends three years before the top of
// the range: every year of it is written as it is, none wraps around.
TEST(ProductCalculation, YearsReachTheEndOfTheRangeWithoutWrapping) {
    constexpr uint32_t last = std::numeric_limits<uint32_t>::max();
    ProductSetup setup;
    setup.amount = 1.0;
    setup.lifespan = 20;
    setup.stages = {{"a1_3", 1.0, 1.0, 5.0}, {"c3", 1.0, 1.0, 1.0}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(last - 30, 29), element(1.0), Construction()));
    EXPECT_EQ(product.calc_replacements, 1u);
    EXPECT_EQ(years_of(product.children[0].results, "b4_a"), (Years{{last - 10, 5.0}, {9999, 5.0}}));
    EXPECT_EQ(years_of(product.children[1].results, "c3"), (Years{{9999, 1.0}, {last - 2, 1.0}}));
}

// A time span of 0 ends the period the year before it starts, as the
// arithmetic says: the end-of-life stages fall in that year.
TEST(ProductCalculation, EmptyPeriodEndsTheYearBeforeItStarts) {
    ProductSetup setup;
    setup.amount = 1.0;
    setup.lifespan = 20;
    setup.stages = {{"a1_3", 1.0, 1.0, 5.0}, {"c3", 1.0, 1.0, 1.0}};
    ProductNode empty_period = make_product(setup);
    ASSERT_FALSE(empty_period.calculate(building(2020, 0), element(1.0), Construction()));
    EXPECT_EQ(years_of(empty_period.children[1].results, "c3"), (Years{{2019, 1.0}, {9999, 1.0}}));
}

TEST(ProductCalculation, NegativeAmountIsDemolition) {
    ProductSetup setup;
    setup.amount = 3.0;
    setup.density = 10.0;
    setup.lifespan = 20;
    setup.stages = {{"a1_3", 0.5, 1.0, 7.0, "m2", "kg"}, {"c3", 2.0, 1.0, 4.0}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(2020, 50), element(-2.0), Construction()));

    EXPECT_EQ(product.calc_stage_amount, 6.0);
    EXPECT_EQ(product.calc_stage_amount_unit, "m2");
    EXPECT_EQ(product.calc_indicator_amount_a1_3, 60.0);
    EXPECT_EQ(product.calc_weight, 0.0);
    EXPECT_EQ(product.calc_demo_weight, 30.0);
    EXPECT_EQ(product.results.weight, 0.0);
    EXPECT_EQ(product.results.demo_weight, 30.0);
    EXPECT_EQ(product.calc_replacements, 0u);

    const StageNode& a = product.children[0];
    EXPECT_EQ(a.calc_replacements, 0u);
    for (std::string_view name : INDICATORS) {
        EXPECT_EQ(years_of(a.results, "a1_3", name), (Years{{9999, 0.0}})) << name;
        EXPECT_EQ(years_of(a.results, "b4_a", name), (Years{{9999, 0.0}})) << name;
    }
    // The demolition weight 30.0 over the quantity 2.0.
    const StageNode& c = product.children[1];
    EXPECT_EQ(years_of(c.results, "c3"), (Years{{2069, 60.0}, {9999, 60.0}}));
    EXPECT_EQ(years_of(c.results, "b4_c"), (Years{{9999, 0.0}}));
    EXPECT_EQ(c.calc_replacements, 2u);
}

TEST(ProductCalculation, NegativeZeroAmountIsNotDemolition) {
    ProductSetup setup;
    setup.stages = {{"a1_3", 1.0, 1.0, 5.0}, {"c3"}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(2020, 50), element(-0.0), Construction()));
    EXPECT_EQ(product.calc_weight, 0.0);
    EXPECT_FALSE(std::signbit(product.calc_demo_weight));
    EXPECT_EQ(product.calc_replacements, 2u);
    EXPECT_EQ(years_of(product.children[0].results, "b4_a"), (Years{{2040, 0.0}, {2060, 0.0}, {9999, 0.0}}));
}

TEST(ProductCalculation, NotANumberAmountTakesTheWeightBranchWithoutReplacements) {
    ProductSetup setup;
    setup.stages = {{"a1_3", 1.0, 1.0, 5.0}, {"c3", 1.0, 1.0, 5.0}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(2020, 50), element(NaN), Construction()));
    EXPECT_TRUE(std::isnan(product.calc_weight));
    EXPECT_EQ(product.calc_demo_weight, 0.0);
    EXPECT_EQ(product.calc_replacements, 2u);
    for (const StageNode& stage : product.children) {
        const std::string own = lower_trim(stage.datamodel.stage);
        const Years values = years_of(stage.results, own);
        ASSERT_EQ(values.size(), 2u) << own;
        for (const auto& entry : values) EXPECT_TRUE(std::isnan(entry.second)) << own << " " << entry.first;
        EXPECT_EQ(years_of(stage.results, own == "a1_3" ? "b4_a" : "b4_c"), (Years{{9999, 0.0}})) << own;
    }
}

TEST(ProductCalculation, ZeroLifespanIsAFatalStop) {
    // The a1_3 stage of a demolished product never reaches the division; its c3 stage does.
    for (const auto& [element_amount, stage] : {std::pair{2.0, "stage 7:31"}, std::pair{-2.0, "stage 7:32"}}) {
        const double amount = element_amount;  // clang before 16 cannot capture a structured binding
        ProductSetup setup;
        setup.lifespan = 0;
        setup.stages = {{"a1_3"}, {"c3"}};
        ProductNode product = make_product(setup);
        const FatalStop stop =
            testing::stop_of([&] { (void)product.calculate(building(2020, 50), element(amount), Construction()); });
        EXPECT_EQ(stop.message(), "attempted to divide by zero") << amount;
        for (const char* part : {"product link 7:503", "product 7:3", stage}) {
            EXPECT_NE(stop.context().find(part), std::string::npos) << stop.context();
        }
    }
}

// One element holding `products` in one construction, alone in its category
// and super category.
AllElementsNode one_element_tree(const Element& record, std::vector<ProductNode> products) {
    ConstructionNode cstr{Construction(), Source()};
    for (ProductNode& product : products) cstr.add_child(std::move(product));
    ElementNode elm{record, Source()};
    elm.add_child(std::move(cstr));
    CategoryNode cat{Category()};
    cat.add_child(std::move(elm));
    SuperCategoryNode super{SuperCategory()};
    super.add_child(std::move(cat));
    AllElementsNode all;
    all.add_child(std::move(super));
    return all;
}

// Super category -> two categories; the third of five products has no a1_3 stage.
AllElementsNode five_product_tree() {
    auto construction = [](std::vector<std::vector<std::string>> products, uint32_t first_row) {
        ConstructionNode node{Construction(), Source()};
        uint32_t row = first_row;
        for (const auto& codes : products) {
            ProductSetup setup;
            setup.row = row++;
            for (const std::string& code : codes) setup.stages.push_back({code, 1.0, 1.0, 1.0});
            node.add_child(make_product(setup));
        }
        return node;
    };
    auto element_with = [](ConstructionNode cstr) {
        ElementNode node{element(1.0), Source()};
        node.add_child(std::move(cstr));
        return node;
    };
    CategoryNode first{Category()};
    first.add_child(element_with(construction({{"a1_3", "c3"}, {"a1_3", "c4", "d"}}, 1)));
    CategoryNode second{Category()};
    second.add_child(element_with(construction({{"c3", "d"}, {"a1_3", "c3"}}, 3)));
    second.add_child(element_with(construction({{"a1_3", "c3"}}, 5)));
    SuperCategoryNode super{SuperCategory()};
    super.add_child(std::move(first));
    super.add_child(std::move(second));
    AllElementsNode all;
    all.add_child(std::move(super));
    return all;
}

std::vector<const ProductNode*> products_of(const AllElementsNode& all) {
    std::vector<const ProductNode*> out;
    for (const auto& s : all.children)
        for (const auto& c : s.children)
            for (const auto& e : c.children)
                for (const auto& k : e.children)
                    for (const auto& p : k.children) out.push_back(&p);
    return out;
}

TEST(ElementWalk, StopsAtTheFirstFailingProduct) {
    AllElementsNode all = five_product_tree();
    Status status = all.calculate(building(2020, 50));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->display(), "Missing stage A1_3");

    const auto products = products_of(all);
    ASSERT_EQ(products.size(), 5u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(products[i]->results.weight, 3.0) << i;
        EXPECT_TRUE(products[i]->results.stages.empty()) << i;
        for (const StageNode& s : products[i]->children) EXPECT_FALSE(s.results.stages.empty()) << i;
    }
    for (size_t i = 2; i < 5; ++i) expect_untouched(*products[i]);

    EXPECT_EQ(all.results, TreeResults());
    const SuperCategoryNode& super = all.children[0];
    EXPECT_EQ(super.results, TreeResults());
    for (const CategoryNode& c : super.children) {
        EXPECT_EQ(c.results, TreeResults());
        for (const ElementNode& e : c.children) {
            EXPECT_EQ(e.results, TreeResults());
            EXPECT_EQ(e.children[0].results, TreeResults());
        }
    }
}

TEST(ElementWalk, SumsCarryHierarchyStagesAndWeightsUp) {
    ProductSetup first;
    first.row = 1;
    first.stages = {{"a1_3", 1.5, 2.0, 10.0}, {"c3", 2.0, 1.0, 2.0}};
    ProductSetup second;
    second.row = 2;
    second.amount = 1.0;
    second.stages = {{"a1_3", 1.0, 1.0, 1.0}, {"c4", 1.0, 1.0, 1.0}, {"d", 1.0, 1.0, -1.0}};
    AllElementsNode all = one_element_tree(element(2.0), {make_product(first), make_product(second)});

    ASSERT_FALSE(all.calculate(building(2020, 50)));
    all.calculate_hierarchy_sums();

    const ProductNode& p = all.children[0].children[0].children[0].children[0].children[0];
    EXPECT_EQ(stage_names(p.results), (std::vector<std::string>{"a1_3", "b4", "c3", "sum"}));
    EXPECT_EQ(years_of(p.results, "b4"), (Years{{2040, 39.0}, {2060, 39.0}, {9999, 78.0}}));
    EXPECT_EQ(years_of(p.results, "sum"), (Years{{2020, 30.0}, {2040, 39.0}, {2060, 39.0}, {2069, 9.0}, {9999, 117.0}}));
    EXPECT_EQ(p.results.weight, 9.0);

    // Second product, stage amount 2.0: a1_3 2 + b4_a 4, c4 2 + b4_c 4, d -2 + b4_c -4.
    EXPECT_EQ(stage_names(all.results), (std::vector<std::string>{"a1_3", "b4", "c3", "c4", "d", "sum"}));
    EXPECT_EQ(years_of(all.results, "sum")[9999], 117.0 + 6.0);
    EXPECT_EQ(all.results.weight, 11.0);
    EXPECT_EQ(all.results.demo_weight, 0.0);
    EXPECT_EQ(all.children[0].results, all.results);
}

TEST(NodeOrdering, SortKeysAndEquality) {
    std::vector<StageNode> stages;
    uint32_t row = 1;
    for (const char* code : {"d", "a1_3", "c4", "C3", "c3", " x"}) stages.push_back(make_stage(row++, {code}));
    std::stable_sort(stages.begin(), stages.end());
    std::vector<std::string> codes;
    for (const StageNode& s : stages) codes.push_back(s.linkmodel.stage);
    EXPECT_EQ(codes, (std::vector<std::string>{" x", "C3", "a1_3", "c3", "c4", "d"}));

    // The key is the link's text as stored; equality is the stage record's identity.
    StageNode a = make_stage(1, {"c3"});
    StageNode b = make_stage(2, {"c3"});
    EXPECT_TRUE(a <=> b == 0);
    EXPECT_FALSE(a == b);
    b.datamodel.link = a.datamodel.link;
    b.linkmodel.stage = "d";
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a < b);

    std::vector<ElementNode> elements;
    for (int32_t order : {3, -1, 0}) {
        Element e;
        e.order = order;
        elements.emplace_back(e, Source());
    }
    std::stable_sort(elements.begin(), elements.end());
    EXPECT_EQ(elements[0].datamodel.order, -1);
    EXPECT_EQ(elements[1].datamodel.order, 0);
    EXPECT_EQ(elements[2].datamodel.order, 3);

    ProductSetup high;
    high.order = 4294967295u;
    ProductSetup low;
    low.order = 0;
    std::vector<ProductNode> products = {make_product(high), make_product(low)};
    std::stable_sort(products.begin(), products.end());
    EXPECT_EQ(products[0].linkmodel.order, 0u);
    EXPECT_EQ(products[1].linkmodel.order, 4294967295u);
    // Same product record placed twice: equal, yet ordered apart.
    EXPECT_TRUE(products[0] == products[1]);
    EXPECT_TRUE(products[0] < products[1]);
}

TEST(TextDump, ProductWithTwoStages) {
    ProductSetup setup;
    setup.stages = {{"a1_3"}, {"c3"}};
    const ProductNode product = make_product(setup);
    const std::string p = std::string("[7]") + std::string(14, ' ');
    const std::string s = std::string("[8]") + std::string(16, ' ');
    const auto& st = product.children;

    EXPECT_EQ(testing::capture_fd(1, [&] { product.print(7, true); }),
              p + product.datamodel.display_line() + "\n" + p + product.linkmodel.display_line() + "\n" + s +
                  st[0].datamodel.display_line() + "\n" + s + st[0].linkmodel.display_line() + "\n" + s +
                  st[1].datamodel.display_line() + "\n" + s + st[1].linkmodel.display_line() + "\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { product.print(7, false); }),
              product.datamodel.display_line() + "\n" + product.linkmodel.display_line() + "\n");
}

TEST(TextDump, AllElementsNamesItself) {
    AllElementsNode all;
    all.add_child(SuperCategoryNode(SuperCategory()));
    EXPECT_EQ(testing::capture_fd(1, [&] { all.print(2, false); }), "AllElements\n");
    EXPECT_EQ(testing::capture_fd(1, [&] { all.print(0, true); }),
              "[0]AllElements\n[1]  " + SuperCategory().display_line() + "\n");
}

// Records the events of the dump as tags; the content of "Results" (written
// by the results module) is collapsed into one "<Results/>".
class RecordingWriter : public XmlWriter {
public:
    std::vector<std::string> events;
    std::set<std::string> failing;  // element names whose start fails

    XmlStatus start_element(std::string_view name, std::span<const XmlAttr> attributes) override {
        if (failing.contains(std::string(name))) return std::string("refused");
        open_.emplace_back(name);
        if (results_depth_ > 0) {
            ++results_depth_;
        } else if (name == "Results") {
            results_depth_ = 1;
            events.push_back("<Results/>");
        } else {
            std::string tag = "<" + std::string(name);
            for (const XmlAttr& a : attributes) tag += " " + std::string(a.name) + "=" + a.value;
            events.push_back(tag + ">");
        }
        return std::nullopt;
    }
    XmlStatus end_element() override {
        if (open_.empty()) return std::string("nothing open");
        const std::string name = open_.back();
        open_.pop_back();
        if (results_depth_ > 0) {
            --results_depth_;
        } else {
            events.push_back("</" + name + ">");
        }
        return std::nullopt;
    }
    XmlStatus characters(std::string_view) override { return std::nullopt; }

private:
    int results_depth_ = 0;
};

std::string joined(const std::vector<std::string>& events) {
    std::string out;
    for (const std::string& e : events) out += e;
    return out;
}

TEST(XmlDump, ProductAndStageElements) {
    ProductSetup setup;
    setup.stages = {{"a1_3", 0.5, 1.0, 1.0, "m2", "kg"}, {"c3"}};
    ProductNode product = make_product(setup);
    ASSERT_FALSE(product.calculate(building(2020, 50), element(-2.0), Construction()));
    product.calculate_hierarchy_sums();

    RecordingWriter writer;
    product.node_to_xml(writer);
    std::vector<std::string> shape;
    for (const std::string& e : writer.events) shape.push_back(e.substr(0, e.find_first_of(" >")));
    EXPECT_EQ(shape, (std::vector<std::string>{"<Product", "<Datamodel", "</Datamodel", "<Linkmodel", "</Linkmodel",
                                               "<Results/", "<Stage", "<Datamodel", "</Datamodel", "<Linkmodel",
                                               "</Linkmodel", "<Results/", "</Stage", "<Stage", "<Datamodel",
                                               "</Datamodel", "<Linkmodel", "</Linkmodel", "<Results/", "</Stage",
                                               "</Product"}));
    EXPECT_EQ(writer.events[0], "<Product stage_amount=6 indicator_amount_a1_3=60 weight=0 replacements=0>");
    EXPECT_EQ(writer.events[6], "<Stage calc_replacements=0>");
    EXPECT_EQ(writer.events[13], "<Stage calc_replacements=2>");
    EXPECT_TRUE(writer.open_elements().empty());
}

TEST(XmlDump, RecordFailuresAreIgnoredNodeFailuresStop) {
    ProductSetup setup;
    setup.stages = {{"a1_3"}, {"c3"}};
    const ProductNode product = make_product(setup);

    RecordingWriter lenient;
    lenient.failing = {"Datamodel", "Linkmodel"};
    product.node_to_xml(lenient);
    EXPECT_EQ(joined(lenient.events),
              "<Product stage_amount=0 indicator_amount_a1_3=0 weight=0 replacements=0><Results/>"
              "<Stage calc_replacements=0><Results/></Stage><Stage calc_replacements=0><Results/></Stage></Product>");

    RecordingWriter strict;
    strict.failing = {"Stage"};
    EXPECT_EQ(testing::stop_of([&] { product.node_to_xml(strict); }).message(),
              "failed writing XML element Stage: refused");
    EXPECT_EQ(strict.open_elements(), (std::vector<std::string>{"Product"}));
}

TEST(XmlDump, InnerNodesNestTheirChildren) {
    ProductSetup setup;
    setup.stages = {{"a1_3"}, {"c3"}};
    AllElementsNode all = one_element_tree(Element(), {make_product(setup)});

    RecordingWriter writer;
    all.node_to_xml(writer);
    std::vector<std::string> shape;
    for (const std::string& e : writer.events) {
        const std::string name = e.substr(0, e.find_first_of(" >"));
        if (name.find("Datamodel") == std::string::npos && name.find("Linkmodel") == std::string::npos)
            shape.push_back(name);
    }
    EXPECT_EQ(shape, (std::vector<std::string>{"<AllElements", "<Results/", "<SuperCategory", "<Results/",
                                               "<Category", "<Results/", "<Element", "<Results/", "<Construction",
                                               "<Results/", "<Product", "<Results/", "<Stage", "<Results/", "</Stage",
                                               "<Stage", "<Results/", "</Stage", "</Product", "</Construction",
                                               "</Element", "</Category", "</SuperCategory", "</AllElements"}));
}

TEST(Json, NeverCalculatedProduct) {
    Product product;
    product.link = Link(7, 3);
    product.id = 3;
    product.source_id = 2;
    product.name = "Brick";
    ProductLink link;
    link.link = Link(7, 11);
    link.id = 11;
    link.construction_id = 4;
    link.product_link = "0:3";
    link.order = 1;
    link.amount = 2.5;
    link.lifespan = 20;
    link.parsed_product_link = Link(7, 3);
    Source source;
    source.link = Link(7, 2);
    source.id = 2;
    source.name = "Generic data";
    source.official = true;
    const ProductNode node(product, link, source);

    auto text = json::encode(node);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(),
              "{\"node_type\":\"Product\",\"children\":[],"
              "\"datamodel\":{\"link\":{\"database_id\":7,\"row_id\":3,\"combined_id\":12884901895},\"id\":3,"
              "\"source_id\":2,\"name\":\"Brick\",\"comment\":\"\"},"
              "\"linkmodel\":{\"link\":{\"database_id\":7,\"row_id\":11,\"combined_id\":47244640263},\"id\":11,"
              "\"construction_id\":4,\"product_link\":\"0:3\",\"order\":1,\"amount\":2.5,\"density\":0.0,"
              "\"lifespan\":20,\"transport\":0.0,"
              "\"parsed_product_link\":{\"database_id\":7,\"row_id\":3,\"combined_id\":12884901895}},"
              "\"source\":{\"link\":{\"database_id\":7,\"row_id\":2,\"combined_id\":8589934599},\"id\":2,"
              "\"name\":\"Generic data\",\"official\":true,\"read_only\":false},"
              "\"results\":{\"node_type\":\"Results\",\"stages\":{},\"weight\":null,\"demo_weight\":null},"
              "\"calc_stage_amount\":0.0,\"calc_stage_amount_unit\":\"\",\"calc_indicator_amount_a1_3\":0.0,"
              "\"calc_weight\":0.0,\"calc_replacements\":0,\"calc_demo_weight\":0.0}");
}

TEST(Json, InnerNodesWriteTheirMembersInOrder) {
    SuperCategoryNode super{SuperCategory()};
    super.add_child(CategoryNode(Category()));
    AllElementsNode all;
    all.add_child(std::move(super));
    auto text = json::encode(all);
    ASSERT_TRUE(text.ok());
    const std::string empty_results = "{\"node_type\":\"Results\",\"stages\":{},\"weight\":null,\"demo_weight\":null}";
    const std::string link0 = "{\"database_id\":0,\"row_id\":0,\"combined_id\":0}";
    EXPECT_EQ(text.value(),
              "{\"node_type\":\"AllElements\",\"children\":[{\"node_type\":\"SuperCategory\",\"children\":["
              "{\"node_type\":\"Category\",\"children\":[],\"datamodel\":{\"link\":" + link0 +
                  ",\"id\":0,\"is_stage\":false,\"name\":\"\",\"order\":0,\"super_category_id\":null,\"units\":[]},"
                  "\"results\":" + empty_results + "}],\"datamodel\":{\"link\":" + link0 +
                  ",\"id\":0,\"name\":\"\",\"order\":0},\"results\":" + empty_results + "}],\"results\":" +
                  empty_results + "}");
}

}  // namespace
}  // namespace mirelo
