// The two inspection dumps of a whole calculated tree (the example project).
#include <expat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "lib.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

RootNode example_tree() {
    return calculated_tree(
        read_inputs(testing::example_path("project.xml"), {testing::example_path("generic_db.xml")}));
}

// Element names in document order, or the parser's error text.
struct Parsed {
    std::vector<std::string> elements;
    std::string error;
};

Parsed parse_xml(const std::string& text) {
    Parsed parsed;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &parsed);
    XML_SetStartElementHandler(parser, [](void* user, const XML_Char* name, const XML_Char**) {
        static_cast<Parsed*>(user)->elements.emplace_back(name);
    });
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK) {
        parsed.error = XML_ErrorString(XML_GetErrorCode(parser));
    }
    XML_ParserFree(parser);
    return parsed;
}

size_t count(const std::vector<std::string>& names, std::string_view name) {
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

TEST(Dumps, XmlDumpOfTheExampleIsWellFormedWithOneElementPerNode) {
    const RootNode root = example_tree();
    std::ostringstream out;
    XmlWriter writer(out);
    root.node_to_xml(writer);
    EXPECT_TRUE(writer.open_elements().empty());

    const Parsed parsed = parse_xml(out.str());
    ASSERT_EQ(parsed.error, "");
    ASSERT_GE(parsed.elements.size(), 2u);
    EXPECT_EQ(parsed.elements[0], "Root");
    EXPECT_EQ(parsed.elements[1], "Building");

    size_t products = 0, stages = 0;
    for (const auto& sc : root.children[0].all_elements_child.children)
        for (const auto& ct : sc.children)
            for (const auto& e : ct.children)
                for (const auto& k : e.children) {
                    products += k.children.size();
                    for (const auto& p : k.children) stages += p.children.size();
                }
    ASSERT_GT(products, 0u);
    EXPECT_EQ(count(parsed.elements, "Product"), products);
    EXPECT_EQ(count(parsed.elements, "Stage"), stages);
    // Products and stages carry a link record each; the data points are not dumped.
    EXPECT_EQ(count(parsed.elements, "Linkmodel"), products + stages);
    EXPECT_EQ(count(parsed.elements, "OperationDataPoint"), 0u);
}

TEST(Dumps, TextDumpOfTheExampleIsAPreOrderWalkWithDepthPrefixes) {
    const RootNode root = example_tree();
    const std::string text = testing::capture_fd(1, [&] { root.print(0, true); });
    std::istringstream lines(text);
    std::string line;
    int previous = -1;
    size_t count_lines = 0;
    while (std::getline(lines, line)) {
        ++count_lines;
        ASSERT_EQ(line[0], '[') << line;
        const size_t close = line.find(']');
        const int level = std::stoi(line.substr(1, close - 1));
        // Indented by two blanks per level, and never more than one level deeper than the line before.
        EXPECT_EQ(line.substr(close + 1, 2 * static_cast<size_t>(level)), std::string(2 * level, ' ')) << line;
        EXPECT_NE(line[close + 1 + 2 * level], ' ') << line;
        EXPECT_LE(level, previous + 1) << line;
        previous = level;
    }
    EXPECT_EQ(text.rfind("[0]Root\n[1]  <Building ", 0), 0u);
    EXPECT_NE(text.find("\n[2]    AllElements\n"), std::string::npos);
    EXPECT_GT(count_lines, 20u);
}

}  // namespace
}  // namespace mirelo
