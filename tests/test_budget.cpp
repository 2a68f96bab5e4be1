// The memory budget of a call: its limit follows the bytes read, real
// projects stay far below it, inputs that ask for far more than they hold
// stop at it, and what it counts is the heap the call really uses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "budget.hpp"
#include "child.hpp"
#include "family.hpp"
#include "lib.hpp"
#include "mirelo.h"
#include "test_support.hpp"

namespace {

using mirelo::testing::call_exported;
using mirelo::testing::CallResult;
using mirelo::testing::ChildOutcome;
using mirelo::testing::describe;
using mirelo::testing::example_path;
using mirelo::testing::GeneratedInput;
using mirelo::testing::in_child;
using mirelo::testing::MIB;
using mirelo::testing::PeakMeter;
using mirelo::testing::ProjectShape;
using mirelo::testing::read_file;
using mirelo::testing::realistic_input;
using mirelo::testing::replaced;
using mirelo::testing::report_returned;
using mirelo::testing::returned_detail;
using mirelo::testing::SANITIZED;
using mirelo::testing::TempDir;
using mirelo::testing::write_report;

// Sets a rule for the life of a test and restores the real one.
class RuleForTest {
public:
    explicit RuleForTest(mirelo::budget::Rule rule) { mirelo::budget::set_rule(rule); }
    ~RuleForTest() { mirelo::budget::set_rule(mirelo::budget::RULE); }
};

// An input written to files, with the paths a call is given.
struct Written {
    std::string project;
    std::vector<std::string> libraries;
};

Written write_input(const TempDir& dir, const GeneratedInput& input) {
    return {dir.write("project.xml", input.project), {dir.write("generic_db.xml", input.generic)}};
}

GeneratedInput example_input() {
    return {read_file(example_path("project.xml")), read_file(example_path("generic_db.xml"))};
}

GeneratedInput realistic(const ProjectShape& shape) {
    const GeneratedInput example = example_input();
    return realistic_input(shape, example.project, example.generic);
}

// `count` elements from ID 100 on, the i-th of the generic database's
// construction 1 + i % `constructions`.
std::string elements_xml(int count, int constructions = 1) {
    std::string xml;
    for (int i = 0; i < count; ++i) {
        xml += "<Elements ID=\"" + std::to_string(100 + i) +
               "\" BuildingID=\"1\" ConstructionLink=\"3735928559:" + std::to_string(1 + i % constructions) +
               "\" SourceID=\"1\" Enabled=\"true\" Amount=\"1\" Order=\"1\"/>\n";
    }
    return xml;
}

// `count` product links of construction 1 from ID 1000 on, naming the
// example's eleven products in turn.
std::string product_links_xml(int count, std::string_view lifespan) {
    std::string xml;
    for (int i = 0; i < count; ++i) {
        xml += "<ProductLinks ID=\"" + std::to_string(1000 + i) + "\" ConstructionID=\"1\" ProductLink=\"0:" +
               std::to_string(1 + i % 11) + "\" Order=\"" + std::to_string(i) +
               "\" Amount=\"1\" Density=\"1\" Lifespan=\"" + std::string(lifespan) + "\"/>\n";
    }
    return xml;
}

// The generic database with `links` in construction 1.
std::string with_links(const std::string& generic, const std::string& links) {
    return replaced(generic, "  <Products ID=\"1\"", links + "  <Products ID=\"1\"");
}

// The generic database whose stage category lists `bytes` bytes of units, "k;k;...".
std::string with_units(const std::string& generic, size_t bytes) {
    std::string units(bytes, ';');
    for (size_t i = 0; i < units.size(); i += 2) units[i] = 'k';
    return replaced(generic, "Units=\"kg;m3;m2\"", "Units=\"" + units + "\"");
}

// ---------------------------------------------------------------- the rule

TEST(Budget, LimitIsTheMinimumOrSixtyFourKibibytesPerInputByte) {
    using namespace mirelo::budget;
    EXPECT_EQ(limit_for(0), 1024 * MIB);
    EXPECT_EQ(limit_for(16 * 1024), 1024 * MIB);  // every input up to 16 KiB may use 1 GiB
    EXPECT_EQ(limit_for(16 * 1024 + 1), (16 * 1024 + 1) * 65536);
    EXPECT_EQ(limit_for(278 * 1000), 278 * 1000 * uint64_t{65536});
    EXPECT_EQ(limit_for(UINT64_MAX / 1000), UINT64_MAX);  // saturates instead of wrapping
}

TEST(Budget, ChargesStopAtTheLimitAndOnlyInsideAScope) {
    using namespace mirelo::budget;
    charge(UINT64_MAX, "anything");  // no call: free
    EXPECT_EQ(charged(), 0u);
    const RuleForTest rule({MIB, 100});
    Scope scope(20000);  // 100 x 20000 bytes: 2,000,000
    charge(2000000 - 10, "most");
    EXPECT_EQ(grant(5, 100, "a buffer"), 10u);  // as much as fits
    try {
        charge(1, "one byte more");
        FAIL() << "no stop";
    } catch (const mirelo::FatalStop& stop) {
        EXPECT_STREQ(stop.what(),
                     "result too large: one byte more needs 1 more bytes after 2000000 (limit 2000000 bytes: the "
                     "larger of 1048576 and 100 x 20000 input bytes read); set MIRELO_MEMORY_LIMIT to a larger byte "
                     "count, or 0 for no limit");
    }
    refund(10);
    EXPECT_EQ(charged(), 2000000u - 10);
    EXPECT_EQ(peak(), 2000000u);
}

// The JSON text is charged for its block, which grows by half up to 32 MiB
// and by an eighth beyond: never much more than the text holds.
TEST(Budget, TextIsChargedForLittleMoreThanItHolds) {
    const mirelo::budget::Scope scope(0);
    mirelo::json::Text text;
    const std::string chunk(MIB / 4, 't');
    for (uint64_t size = chunk.size(); size <= 96 * MIB; size += chunk.size()) {
        text.append(chunk);
        const uint64_t charged = mirelo::budget::charged();
        ASSERT_GT(charged, size);
        // Past 48 MiB the last step by half (from below 32 MiB) is used up.
        const double slack = size < 48 * MIB ? 1.5 : 1.125;
        ASSERT_LE(static_cast<double>(charged), static_cast<double>(size) * slack + 1) << size << " bytes";
    }
}

// ---------------------------------------------------------------- real projects

// Projects of the example's shape calculate under the real rule, holding at
// most half their limit and at most half the rule's bytes per input byte
// (the benchmark runs the same family up to 5,000 elements).
TEST(Budget, RealisticProjectsCalculateWithinHalfTheirLimit) {
    const ProjectShape shapes[] = {
        {100, 50, 0, 1}, {100, 100, 0, 1}, {100, 200, 0, 1}, {60, 200, 12, 1}, {100, 50, 0, 2}, {100, 50, 0, 3},
    };
    for (const ProjectShape& shape : shapes) {
        SCOPED_TRACE(describe(shape));
        TempDir dir;
        const Written input = write_input(dir, realistic(shape));
        mirelo::Parser parser = mirelo::read_inputs(input.project, input.libraries);
        const uint64_t read = parser.bytes_read();
        const mirelo::budget::Scope scope(read);
        const mirelo::RootNode root = mirelo::calculated_tree(std::move(parser));
        const mirelo::json::Text json = mirelo::encode_tree(root);
        EXPECT_FALSE(json.empty());
        // The rule written out: max(1 GiB, 16 KiB per byte read).
        EXPECT_LE(mirelo::budget::peak(), std::max<uint64_t>(1024 * MIB, 16384 * read) / 2);
        EXPECT_LE(mirelo::budget::peak() / read, 8192u);
    }
}

// ---------------------------------------------------------------- what is charged

// The bytes in use on the heap: small blocks and mapped ones.
uint64_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Small inputs shaped like the amplifying ones below, at sizes that calculate.
std::vector<std::pair<std::string, GeneratedInput>> amplifying_shapes_that_fit() {
    const GeneratedInput example = example_input();
    std::vector<std::pair<std::string, GeneratedInput>> cases;
    cases.push_back({"the example", example});
    cases.push_back({"a realistic project", realistic({300, 100, 0, 1})});
    cases.push_back({"constructions of 12 products over 200 years", realistic({60, 200, 12, 1})});
    cases.push_back({"three buildings", realistic({100, 50, 0, 3})});
    cases.push_back(
        {"a period of 2005 years",
         {replaced(example.project, "CalculationTimeSpan=\"50\"", "CalculationTimeSpan=\"2005\""), example.generic}});
    cases.push_back({"one construction of 300 products",
                     {example.project, with_links(example.generic, product_links_xml(300, "20"))}});
    cases.push_back(
        {"a 64 KiB Units text on the stage category", {example.project, with_units(example.generic, 64 * 1024)}});
    return cases;
}

// What the budget counts is within a quarter of the heap the call holds:
// after the calculation (the tree) and after encoding (tree and text).
TEST(Budget, ChargesFollowTheHeapTheCallHolds) {
    if (SANITIZED) GTEST_SKIP() << "the sanitizers' allocator keeps its own books";
    for (const auto& [name, generated] : amplifying_shapes_that_fit()) {
        SCOPED_TRACE(name);
        TempDir dir;
        const Written input = write_input(dir, generated);
        (void)mirelo::process(input.project, input.libraries, "");  // one-time allocations out of the way
        const uint64_t before = heap_in_use();
        mirelo::Parser parser = mirelo::read_inputs(input.project, input.libraries);
        const mirelo::budget::Scope scope(parser.bytes_read());
        const mirelo::RootNode root = mirelo::calculated_tree(std::move(parser));
        const double tree_heap = static_cast<double>(heap_in_use() - before);
        const double tree_charged = static_cast<double>(mirelo::budget::charged());
        const mirelo::json::Text json = mirelo::encode_tree(root);
        const double heap = static_cast<double>(heap_in_use() - before);
        const double charged = static_cast<double>(mirelo::budget::charged());
        ASSERT_FALSE(json.empty());
        EXPECT_NEAR(tree_charged / tree_heap, 1.0, 0.25) << tree_charged << " charged, " << tree_heap << " on the heap";
        EXPECT_NEAR(charged / heap, 1.0, 0.25) << charged << " charged, " << heap << " on the heap";
    }
}

// ---------------------------------------------------------------- amplifying inputs

// One exported call in a child under `rule`. The child exits with the
// result's kind (code_of) and reports that the call returned and how far its
// resident memory grew until then.
struct Bounded {
    ChildOutcome outcome;
    std::optional<uint64_t> grown;  // bytes; nothing when the call did not return
};

Bounded bounded_call(mirelo::budget::Rule rule, const std::string& project,
                     const std::vector<std::string>& libraries) {
    Bounded bounded;
    bounded.outcome = in_child([&](int report) {
        mirelo::budget::set_rule(rule);
        std::vector<const char*> paths;
        for (const std::string& library : libraries) paths.push_back(library.c_str());
        const PeakMeter meter;
        const char* text = process_xml_file_to_json(project.c_str(), paths.data(), paths.size());
        const uint64_t grown_kib = meter.grown_kib();
        const int code = text == nullptr ? 2 : *text == '\0' ? 1 : 0;
        free_string(const_cast<char*>(text));
        report_returned(report, std::to_string(grown_kib));
        return code;
    });
    if (const std::optional<std::string> detail = returned_detail(bounded.outcome)) {
        bounded.grown = std::strtoull(detail->c_str(), nullptr, 10) * 1024;
    }
    return bounded;
}

// Each input is under 64 KiB and asks for far more than 1 GiB. Under a rule
// scaled down so that the tests stay fast, each stops with "result too
// large" having grown by at most 1.25 x the limit; the limit does not grow
// with a sparse library file or with one library given many times.
TEST(Budget, AmplifyingInputsStopWithinAQuarterAboveTheLimit) {
    constexpr mirelo::budget::Rule RULE{128 * MIB, 64};
    const GeneratedInput example = example_input();
    std::string buildings;
    for (int i = 2; i <= 180; ++i) {
        buildings += "<Buildings ID=\"" + std::to_string(i) +
                     "\" OperationID=\"1\" SourceID=\"1\" FloorArea=\"1\" InitialYear=\"2025\" "
                     "CalculationTimeSpan=\"50\"/>\n";
    }
    const std::string wide_generic = with_links(example.generic, product_links_xml(250, "5"));
    const std::string wide_project =
        replaced(replaced(example.project, "</Project>", elements_xml(80) + "</Project>"), "CalculationTimeSpan=\"50\"",
                 "CalculationTimeSpan=\"200\"");

    TempDir dir;
    const std::string generic = dir.write("generic_db.xml", example.generic);
    const std::string wide = dir.write("wide_db.xml", wide_generic);
    const std::string used_widely = dir.write("wide_project.xml", wide_project);
    // A library file of 3 GB that is all hole: not XML from its first byte.
    const std::string sparse = (dir.path() / "sparse.xml").string();
    {
        const int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t{3} << 30), 0);
        ::close(fd);
    }
    struct Case {
        const char* name;
        std::string project;
        std::vector<std::string> libraries;
    };
    const std::vector<Case> cases = {
        {"a period of 100005 years from 4294867290",
         dir.write("years.xml",
                   replaced(replaced(replaced(example.project, "InitialYear=\"2025\"", "InitialYear=\"4294867290\""),
                                     "CalculationTimeSpan=\"50\"", "CalculationTimeSpan=\"100005\""),
                            "  <!-- Disabled", elements_xml(20, 5) + "  <!-- Disabled")),
         {generic}},
        {"180 buildings x 180 elements",
         dir.write("buildings.xml",
                   replaced(example.project, "</Project>", buildings + elements_xml(179) + "</Project>")),
         {generic}},
        {"one construction of 250 products in 80 elements", used_widely, {wide}},
        {"the same with a sparse library of 3 GB", used_widely, {wide, sparse}},
        {"the same with its library given 700 times", used_widely, std::vector<std::string>(700, wide)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // What the input holds: each file once, the hole of the sparse one not at all.
        std::set<std::string> files(c.libraries.begin(), c.libraries.end());
        files.erase(sparse);
        uint64_t bytes = read_file(c.project).size();
        for (const std::string& file : files) bytes += read_file(file).size();
        ASSERT_LT(bytes, 64u * 1024);
        const Bounded bounded = bounded_call(RULE, c.project, c.libraries);
        const ChildOutcome& outcome = bounded.outcome;
        ASSERT_TRUE(bounded.grown.has_value()) << "the call did not return: " << outcome.err;
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
        EXPECT_EQ(WEXITSTATUS(outcome.status), 1) << outcome.err;
        EXPECT_NE(outcome.err.find("Error: fatal: result too large: "), std::string::npos) << outcome.err;
        if (!SANITIZED) {
            EXPECT_LE(*bounded.grown, RULE.min_limit / 4 * 5) << *bounded.grown / MIB << " MiB";
        }
    }
}

// Inputs of a mebibyte that copy their long texts into many nodes either
// calculate or stop as the small ones do.
TEST(Budget, LargeAmplifyingInputsStopOrCalculate) {
    constexpr mirelo::budget::Rule RULE{128 * MIB, 64};
    const GeneratedInput example = example_input();
    TempDir dir;
    struct Case {
        const char* name;
        std::string project;
        std::string generic;
    };
    const Case cases[] = {
        {"a 1 MB stage name in 100 elements", replaced(example.project, "</Project>", elements_xml(100) + "</Project>"),
         replaced(example.generic, "Name=\"Facing brick, production\"", "Name=\"" + std::string(1 << 20, 'n') + "\"")},
        {"a 1 MiB Units text on the stage category", example.project, with_units(example.generic, 1 << 20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bounded bounded = bounded_call(RULE, dir.write("project.xml", c.project),
                                             {dir.write("generic_db.xml", c.generic)});
        const ChildOutcome& outcome = bounded.outcome;
        ASSERT_TRUE(bounded.grown.has_value()) << "the call did not return: " << outcome.err;
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.err;
        const int code = WEXITSTATUS(outcome.status);
        EXPECT_TRUE(code == 0 || code == 1) << outcome.err;
        if (code == 1) {
            EXPECT_NE(outcome.err.find("Error: fatal: result too large: "), std::string::npos) << outcome.err;
        }
        // Stopped or calculated, the call held no more than a quarter above its limit.
        const uint64_t limit =
            std::max<uint64_t>(RULE.min_limit, RULE.per_input_byte * (c.project.size() + c.generic.size()));
        if (!SANITIZED) {
            EXPECT_LE(*bounded.grown, limit / 4 * 5) << *bounded.grown / MIB << " MiB";
        }
    }
}

// ---------------------------------------------------------------- pipes

// Files given as pipes count what came through them: under a rule that
// allows only what the files' bytes allow, the call through pipes gives the
// same text as the call through the files.
TEST(Budget, PipesCountTheBytesThatCameThrough) {
    const GeneratedInput input = realistic({100, 50, 0, 1});
    TempDir dir;
    const Written files = write_input(dir, input);
    const mirelo::budget::Rule rule{MIB, 1024};  // 1 MiB would not hold the result
    const auto through = [&](bool pipes) {
        return in_child([&](int report) {
            mirelo::budget::set_rule(rule);
            if (!pipes) {
                write_report(report, call_exported(files.project, files.libraries).text);
                return 0;
            }
            int project_pipe[2];
            int library_pipe[2];
            if (::pipe(project_pipe) != 0 || ::pipe(library_pipe) != 0) return 3;
            // Feeders write each file into its pipe while the call reads.
            std::thread project_feeder([&] {
                write_report(project_pipe[1], input.project);
                ::close(project_pipe[1]);
            });
            std::thread library_feeder([&] {
                write_report(library_pipe[1], input.generic);
                ::close(library_pipe[1]);
            });
            const CallResult result = call_exported("/dev/fd/" + std::to_string(project_pipe[0]),
                                                    {"/dev/fd/" + std::to_string(library_pipe[0])});
            project_feeder.join();
            library_feeder.join();
            write_report(report, result.text);
            return 0;
        });
    };
    const ChildOutcome by_name = through(false);
    const ChildOutcome by_pipe = through(true);
    ASSERT_FALSE(by_name.report.empty()) << by_name.err;
    EXPECT_EQ(by_pipe.err, "");
    EXPECT_TRUE(by_pipe.report == by_name.report) << by_pipe.report.size() << " bytes through pipes";
}

}  // namespace
