#include <gtest/gtest.h>

#include <vector>

#include "datamodel_category.hpp"
#include "datamodel_construction.hpp"
#include "datamodel_element.hpp"
#include "datamodel_product.hpp"
#include "datamodel_product_link.hpp"
#include "datamodel_source.hpp"
#include "datamodel_stage.hpp"
#include "datamodel_stage_link.hpp"
#include "datamodel_super_category.hpp"
#include "json.hpp"
#include "test_support.hpp"
#include "xml_writer.hpp"

namespace mirelo {
namespace {

using Attrs = std::vector<XmlAttribute>;
using testing::json_of;
using testing::stop_of;
using testing::xml_of;

template <class R>
R read(const Attrs& attrs, uint32_t db = 5) {
    R record;
    record.from_xml(R::ELEMENT_NAME, attrs, db);
    return record;
}

const Attrs ELEMENT_ATTRS = {{"ID", "1"},       {"BuildingID", "2"}, {"ConstructionLink", "0:12"},
                             {"SourceID", "3"}, {"Enabled", "TRUE"}, {"Name", "Wall \"outer\""},
                             {"Amount", "12.5"}, {"Order", "-3"},    {"Comment", "c"}};

TEST(ElementRecord, ReadsFieldsAndResolvesLinkInFileDatabase) {
    Element e;
    ASSERT_TRUE(e.from_xml("Elements", ELEMENT_ATTRS, 9));
    EXPECT_EQ(e.link, Link(9, 1));
    EXPECT_EQ(e.order, -3);
    EXPECT_TRUE(e.enabled);
    EXPECT_EQ(e.construction_link, "0:12");
    EXPECT_EQ(e.parsed_construction_link.database_id, 9u);
    EXPECT_EQ(e.parsed_construction_link.row_id, 12u);
    EXPECT_EQ(e.display_line(),
              "<Element ID=\"1\", BuildingID=\"2\", ConstructionLink=\"0:12\", SourceID=\"3\", Enabled=\"true\", "
              "Name=\"Wall \"outer\"\", Amount=\"12.5\", Order=\"-3\", Comment=\"c\">");
}

TEST(ElementRecord, ConstructionLinkNoneDropsOnlyExactMarker) {
    Element dropped;
    EXPECT_FALSE(dropped.from_xml("Elements", Attrs{{"ID", "1"}, {"ConstructionLink", "None"}}, 9));

    struct Case {
        const char* label;
        Attrs attrs;
    };
    const Case cases[] = {
        {"trailing blank", {{"ConstructionLink", "None "}}},
        {"lower case", {{"ConstructionLink", "none"}}},
        {"absent", {{"ID", "1"}}},
        {"empty", {{"ConstructionLink", ""}}},
    };
    for (const Case& c : cases) {
        Element e;
        EXPECT_EQ(stop_of([&] { e.from_xml("Elements", c.attrs, 9); }).message(), "Not a full link (Missing colon)")
            << c.label;
    }
}

TEST(Records, OrderIsSignedOnlyWhereDeclaredSo) {
    EXPECT_EQ(read<SuperCategory>({{"Order", "-3"}}).order, -3);
    EXPECT_EQ(read<Category>({{"Order", "-3"}}).order, -3);
    EXPECT_THROW(read<ProductLink>({{"ProductLink", "0:1"}, {"Order", "-3"}}), FatalStop);
    EXPECT_THROW(read<Element>({{"ConstructionLink", "0:1"}, {"Order", "1.5"}}), FatalStop);
    EXPECT_THROW(read<Element>({{"ConstructionLink", "0:1"}, {"Enabled", "1"}}), FatalStop);
}

TEST(Records, RequiredLinksStopWhenMissing) {
    EXPECT_EQ(stop_of([] { read<ProductLink>({{"ID", "1"}}); }).message(), "Not a full link (Missing colon)");
    EXPECT_EQ(stop_of([] { read<StageLink>({{"StageLink", "7"}}); }).message(), "Not a full link (Missing colon)");
    EXPECT_THROW(read<StageLink>({{"StageLink", "x:7"}}), FatalStop);

    ProductLink pl = read<ProductLink>({{"ProductLink", "3:4"}}, 5);
    EXPECT_EQ(pl.parsed_product_link, Link(3, 4));
    StageLink sl = read<StageLink>({{"StageLink", "0:4"}}, 5);
    EXPECT_EQ(sl.parsed_stage_link, Link(5, 4));
}

TEST(Records, WrongElementNameIsFatal) {
    Product p;
    EXPECT_EQ(stop_of([&] { p.from_xml("Product", {}, 1); }).message(),
              "assertion failed: name.local_name == \"Products\"");
}

TEST(Records, UnknownAttributesGoToStdoutOrTheLog) {
    const Attrs extra = {{"ID", "1"}, {"Colour", "red"}};
    testing::CapturingLogger logger;

    std::string out = testing::capture_fd(1, [&] { read<Product>(extra); });
    EXPECT_EQ(out, "Skipping: Colour = \"red\"\n");
    EXPECT_TRUE(logger.entries().empty());

    out = testing::capture_fd(1, [&] {
        read<Stage>(extra);
        read<Element>({{"ConstructionLink", "0:1"}, {"Colour", "red"}});
    });
    EXPECT_EQ(out, "");
    const auto entries = logger.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, LogLevel::Warn);
    EXPECT_EQ(entries[0].target, "mirelo::datamodel_stage");
    EXPECT_EQ(entries[0].text, "Skipping: Colour = \"red\"");
    EXPECT_EQ(entries[1].level, LogLevel::Debug);
    EXPECT_EQ(entries[1].target, "mirelo::datamodel_element");
    EXPECT_EQ(entries[1].text, "Skipping: Colour = \"red\"");
}

TEST(CategoryRecord, SuperCategoryAndUnits) {
    struct Case {
        const char* super_category;
        const char* units;
        std::optional<uint32_t> expected_super;
        std::vector<std::string> expected_units;
        const char* display_tail;
        const char* xml_tail;
    };
    const Case cases[] = {
        {"None", "m2;m3", std::nullopt, {"m2", "m3"}, "SuperCategoryID=\"None\", Units=\"m2,m3,\">",
         "super_category_id=\"\" units=\"m2;m3\">"},
        {"0", "", 0u, {""}, "SuperCategoryID=\"0\", Units=\",\">", "super_category_id=\"0\" units=\"\">"},
        {"+12", "a;b;", 12u, {"a", "b", ""}, "SuperCategoryID=\"12\", Units=\"a,b,,\">",
         "super_category_id=\"12\" units=\"a;b;\">"},
        {"None", ";;", std::nullopt, {"", "", ""}, "SuperCategoryID=\"None\", Units=\",,,\">",
         "super_category_id=\"\" units=\";;\">"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.units);
        Category cat = read<Category>({{"SuperCategoryID", c.super_category}, {"Units", c.units}});
        EXPECT_EQ(cat.super_category_id, c.expected_super);
        EXPECT_EQ(cat.units, c.expected_units);
        EXPECT_TRUE(cat.display_line().ends_with(c.display_tail)) << cat.display_line();
        EXPECT_TRUE(xml_of(cat).ends_with(std::string(c.xml_tail) + "</Datamodel>")) << xml_of(cat);
    }

    Category none;
    EXPECT_EQ(none.display_line(),
              "<Category ID=\"0\", IsStage=\"false\", Name=\"\", Order=\"0\", SuperCategoryID=\"None\", Units=\"\">");
    EXPECT_THROW(read<Category>({{"SuperCategoryID", "none"}}), FatalStop);

    Category twice = read<Category>({{"Units", "m2"}, {"Units", "kg;t"}});
    EXPECT_EQ(twice.units, (std::vector<std::string>{"m2", "kg", "t"}));
}

TEST(SourceRecord, ReadonlyIsCaseSensitiveName) {
    std::string out;
    Source s;
    out = testing::capture_fd(1, [&] {
        s = read<Source>({{"ID", "3"}, {"Official", "True"}, {"Readonly", "FALSE"}, {"ReadOnly", "true"}});
    });
    EXPECT_FALSE(s.read_only);
    EXPECT_TRUE(s.official);
    EXPECT_EQ(out, "Skipping: ReadOnly = \"true\"\n");
    EXPECT_EQ(s.display_line(), "<Source ID=\"3\", Name=\"\", Official=\"true\", Readonly=\"false\",>");
}

Attrs stage_attrs() {
    return {{"ID", "2"},          {"CategoryID", "3"},     {"SourceID", "4"},         {"Name", "n"},
            {"Stage", "a1_3"},    {"StageUnit", "kg"},     {"IndicatorUnit", "m2"},   {"Factor", "1"},
            {"Density", "0.5"},   {"Quantity", "1e-7"},    {"DefaultCLink", ""},      {"DefaultDLink", "x y"},
            {"GWP", "1"},         {"ODP", "2"},            {"POCP", "3"},             {"AP", "4"},
            {"EP", "5"},          {"ADPE", "6"},           {"ADPF", "7"},             {"PENR", "8"},
            {"PER", "9"},         {"SENR", "10"},          {"SER", "11"}};
}

TEST(StageRecord, IndicatorsFollowTheFixedOrder) {
    const Stage s = read<Stage>(stage_attrs(), 5);
    for (size_t i = 0; i < INDICATORS.size(); ++i) {
        auto value = s.get_indicator(INDICATORS[i]);
        ASSERT_TRUE(value.ok()) << INDICATORS[i];
        EXPECT_EQ(value.value(), static_cast<double>(i + 1)) << INDICATORS[i];
    }
    EXPECT_EQ(s.display_line(),
              "<Stage ID=\"2\", CategoryID=\"3\", SourceID=\"4\", Name=\"n\", Stage=\"a1_3\", StageUnit=\"kg\", "
              "IndicatorUnit=\"m2\", Factor=\"1\", Density=\"0.5\", Quantity=\"0.0000001\", DefaultCLink=\"\", "
              "DefaultDLink=\"x y\", ExternalSource=\"\", ExternalID=\"\", ExternalUrl=\"\", Comment=\"\", GWP=\"1\", "
              "ODP=\"2\", POCP=\"3\", AP=\"4\", EP=\"5\", ADPE=\"6\", ADPF=\"7\", PENR=\"8\", PER=\"9\", SENR=\"10\", "
              "SER=\"11\">");
    EXPECT_EQ(xml_of(s),
              "<Datamodel link=\"8589934597\" id=\"2\" category_id=\"3\" source_id=\"4\" name=\"n\" stage=\"a1_3\" "
              "stage_unit=\"kg\" indicator_unit=\"m2\" factor=\"1\" density=\"0.5\" quantity=\"0.0000001\" "
              "default_c_link=\"\" default_d_link=\"x y\" external_source=\"\" external_id=\"\" external_url=\"\" "
              "comment=\"\" gwp=\"1\" odp=\"2\" pocp=\"3\" ap=\"4\" ep=\"5\" adpe=\"6\" adpf=\"7\" penr=\"8\" "
              "per=\"9\" senr=\"10\" ser=\"11\"></Datamodel>");
    const std::string json = json_of(s);
    EXPECT_NE(json.find("\"default_d_link\":\"x y\",\"external_source\""), std::string::npos) << json;
    EXPECT_TRUE(json.ends_with("\"comment\":\"\",\"gwp\":1.0,\"odp\":2.0,\"pocp\":3.0,\"ap\":4.0,\"ep\":5.0,"
                               "\"adpe\":6.0,\"adpf\":7.0,\"penr\":8.0,\"per\":9.0,\"senr\":10.0,\"ser\":11.0}"))
        << json;
}

TEST(StageRecord, GetIndicatorNormalisesNameButQuotesItUnchanged) {
    const Stage s = read<Stage>(stage_attrs());
    auto odp = s.get_indicator(" ODP ");
    ASSERT_TRUE(odp.ok());
    EXPECT_EQ(odp.value(), 2.0);

    for (const char* name : {"co2", " Co2 ", "g wp", ""}) {
        auto missing = s.get_indicator(name);
        ASSERT_FALSE(missing.ok()) << name;
        EXPECT_EQ(missing.error().kind(), SharedError::Kind::MissingIndicator);
        EXPECT_EQ(missing.error().display(), std::string("Missing indicator ") + name);
    }
}

TEST(Records, DisplayLines) {
    EXPECT_EQ(read<Construction>({{"ID", "1"}, {"CategoryID", "2"}, {"SourceID", "3"}, {"Name", "n"},
                                  {"Unit", "m2"}, {"Comment", "c"}})
                  .display_line(),
              "<Construction ID=\"1\", CategoryID=\"2\", SourceID=\"3\", Name=\"n\", Unit=\"m2\", Comment=\"c\">");
    EXPECT_EQ(read<ProductLink>({{"ID", "1"}, {"ConstructionID", "2"}, {"ProductLink", "0:7"}, {"Order", "+4"},
                                 {"Amount", "0.1"}, {"Density", "-0"}, {"Lifespan", "50"}, {"Transport", "NaN"}})
                  .display_line(),
              "<ProductLink ID=\"1\", ConstructionID=\"2\", ProductLink=\"0:7\", Order=\"4\", Amount=\"0.1\", "
              "Density=\"0\", Lifespan=\"50\", Transport=\"NaN\">");
    EXPECT_EQ(read<Product>({{"ID", "1"}, {"SourceID", "2"}, {"Name", "n"}}).display_line(),
              "<Product ID=\"1\", SourceID=\"2\", Name=\"n\", Comment=\"\">");
    EXPECT_EQ(read<StageLink>({{"ID", "1"}, {"ProductID", "2"}, {"StageLink", "0:7"}, {"Stage", " C3"}})
                  .display_line(),
              "<StageLink ID=\"1\", ProductID=\"2\", StageLink=\"0:7\", Stage=\" C3\">");
    EXPECT_EQ(read<SuperCategory>({{"ID", "1"}, {"Name", "Shell"}, {"Order", "2"}}).display_line(),
              "<SuperCategory ID=\"1\", Name=\"Shell\", Order=\"2\",>");
    EXPECT_EQ(read<Category>({{"ID", "4"}, {"IsStage", "false"}, {"Name", "Walls"}, {"Order", "2"},
                              {"SuperCategoryID", "1"}, {"Units", "m2;kg"}})
                  .display_line(),
              "<Category ID=\"4\", IsStage=\"false\", Name=\"Walls\", Order=\"2\", SuperCategoryID=\"1\", "
              "Units=\"m2,kg,\">");
}

TEST(Records, JsonObjects) {
    EXPECT_EQ(json_of(read<Source>({{"ID", "3"}, {"Name", "Generic data"}, {"Official", "true"}}, 7)),
              "{\"link\":{\"database_id\":7,\"row_id\":3,\"combined_id\":12884901895},\"id\":3,"
              "\"name\":\"Generic data\",\"official\":true,\"read_only\":false}");
    EXPECT_EQ(json_of(read<Category>({{"ID", "4"}, {"Name", "Walls"}, {"Order", "-2"}, {"SuperCategoryID", "None"},
                                      {"Units", "m2;;kg"}},
                                     7)),
              "{\"link\":{\"database_id\":7,\"row_id\":4,\"combined_id\":17179869191},\"id\":4,\"is_stage\":false,"
              "\"name\":\"Walls\",\"order\":-2,\"super_category_id\":null,\"units\":[\"m2\",\"\",\"kg\"]}");
    EXPECT_TRUE(json_of(read<Category>({{"SuperCategoryID", "0"}}))
                    .ends_with("\"super_category_id\":0,\"units\":[]}"));
    const std::string element = json_of(read<Element>(ELEMENT_ATTRS, 9));
    EXPECT_TRUE(element.ends_with("\"amount\":12.5,\"order\":-3,\"comment\":\"c\",\"parsed_construction_link\":"
                                  "{\"database_id\":9,\"row_id\":12,\"combined_id\":51539607561}}"))
        << element;
}

TEST(Records, XmlRecordElements) {
    EXPECT_EQ(xml_of(read<Category>({{"ID", "12"}, {"IsStage", "true"}, {"Name", "A&B"}, {"Order", "-1"},
                                     {"Units", "m2;kg"}},
                                    5)),
              "<Datamodel link=\"5:12\" id=\"12\" is_stage=\"true\" name=\"A&amp;B\" order=\"-1\" "
              "super_category_id=\"\" units=\"m2;kg\"></Datamodel>");
    EXPECT_EQ(xml_of(read<Element>({{"ID", "12"}, {"ConstructionLink", "0:17"}, {"Enabled", "false"},
                                    {"Amount", "-2.5"}, {"Order", "-3"}},
                                   5)),
              "<Datamodel link=\"51539607557\" id=\"12\" building_id=\"0\" construction_link=\"0:17\" "
              "source_id=\"0\" enabled=\"false\" name=\"\" amount=\"-2.5\" order=\"-3\" comment=\"\"></Datamodel>");
    EXPECT_EQ(xml_of(read<Construction>({{"ID", "1"}, {"Unit", "m<2>"}}, 5)),
              "<Datamodel link=\"4294967301\" id=\"1\" category_id=\"0\" source_id=\"0\" name=\"\" "
              "unit=\"m&lt;2&gt;\" comment=\"\"></Datamodel>");
    EXPECT_EQ(xml_of(read<Product>({{"ID", "1"}, {"Name", "it's"}}, 5)),
              "<Datamodel link=\"4294967301\" id=\"1\" source_id=\"0\" name=\"it&apos;s\" comment=\"\"></Datamodel>");
    EXPECT_EQ(xml_of(read<ProductLink>({{"ID", "1"}, {"ProductLink", "0:7"}, {"Order", "2"}, {"Amount", "1e20"},
                                        {"Lifespan", "30"}, {"Transport", "-inf"}},
                                       5),
                     "Linkmodel"),
              "<Linkmodel link=\"4294967301\" id=\"1\" construction_id=\"0\" product_link=\"0:7\" order=\"2\" "
              "amount=\"100000000000000000000\" density=\"0\" lifespan=\"30\" transport=\"-inf\"></Linkmodel>");
    EXPECT_EQ(xml_of(read<StageLink>({{"ID", "1"}, {"ProductID", "2"}, {"StageLink", "0:7"}, {"Stage", " C3"}}, 5),
                     "Linkmodel"),
              "<Linkmodel link=\"4294967301\" id=\"1\" product_id=\"2\" stage_link=\"0:7\" stage=\" C3\">"
              "</Linkmodel>");
    EXPECT_EQ(xml_of(read<SuperCategory>({{"ID", "1"}, {"Name", "S"}, {"Order", "-7"}}, 5)),
              "<Datamodel link=\"4294967301\" id=\"1\" name=\"S\" order=\"-7\"></Datamodel>");
}

}  // namespace
}  // namespace mirelo
