// Inputs at the edges of size and range: deep nesting, a huge attribute
// value, years at the top of the 32-bit range. Each call must end in bounded
// time and memory with a result or a clear error. Every call runs in a child
// process, so that a call that does not end can be stopped and measured
// without taking the test program with it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child.hpp"
#include "mirelo.h"
#include "test_support.hpp"

namespace {

using mirelo::testing::bad_input_path;
using mirelo::testing::ChildOutcome;
using mirelo::testing::in_child;
using mirelo::testing::line_count;
using mirelo::testing::PeakMeter;
using mirelo::testing::read_file;
using mirelo::testing::replaced;
using mirelo::testing::report_returned;
using mirelo::testing::returned_detail;
using mirelo::testing::SANITIZED;
using mirelo::testing::TempDir;

// Sanitized builds run several times slower and keep freed memory in
// quarantine; the bounds grow with them.
int seconds_allowed(int seconds) { return SANITIZED ? seconds * 3 : seconds; }
long megabytes_allowed(long megabytes) { return SANITIZED ? megabytes * 2 + 512 : megabytes; }

struct Bounded {
    bool finished = false;     // the call returned before the time ran out
    bool null_result = false;  // it returned NULL
    std::string text;          // its result
    std::string err;           // what it wrote to standard error
    double seconds = 0;
    long max_rss_mb = 0;  // how far the call grew its process's peak resident memory
};

// Runs one call in a child process, stops it after `timeout_s` seconds.
Bounded run_bounded(const TempDir& dir, const std::string& project, const std::vector<std::string>& libraries,
                    int timeout_s) {
    const std::string result_path = (dir.path() / "result.json").string();
    // A directory serves several calls: nothing an earlier child wrote may be read as this one's.
    std::filesystem::remove(result_path);
    const auto start = std::chrono::steady_clock::now();
    const ChildOutcome outcome = in_child(
        [&](int report) {
            std::vector<const char*> paths;
            for (const std::string& library : libraries) paths.push_back(library.c_str());
            const PeakMeter meter;
            const char* result = process_xml_file_to_json(project.c_str(), paths.data(), paths.size());
            const uint64_t grown_kib = meter.grown_kib();
            if (result) std::ofstream(result_path, std::ios::binary) << result;
            free_string(const_cast<char*>(result));
            report_returned(report, std::to_string(grown_kib) + (result ? "" : " null"));
            return 0;
        },
        timeout_s);
    Bounded bounded;
    bounded.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::optional<std::string> detail = returned_detail(outcome);
    bounded.finished = !outcome.timed_out && WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0 &&
                       detail.has_value();
    if (detail) {
        bounded.max_rss_mb = static_cast<long>(std::strtoull(detail->c_str(), nullptr, 10) / 1024);
        bounded.null_result = detail->find(" null") != std::string::npos;
    }
    bounded.text = read_file(result_path);
    bounded.err = outcome.err;
    return bounded;
}

// The calendar years of every result value in a JSON result.
std::vector<uint64_t> result_years(const std::string& json) {
    constexpr std::string_view KEY = "\"node_type\":\"ResultYear\",\"year\":";
    std::vector<uint64_t> years;
    for (size_t at = json.find(KEY); at != std::string::npos; at = json.find(KEY, at)) {
        at += KEY.size();
        uint64_t year = 0;
        for (; at < json.size() && json[at] >= '0' && json[at] <= '9'; ++at) {
            year = year * 10 + static_cast<uint64_t>(json[at] - '0');
        }
        years.push_back(year);
    }
    return years;
}

TEST(LimitsTest, DeeplyNestedRecordsAreReadLikeFlatOnes) {
    TempDir dir;
    const std::string generic = dir.write("generic.xml", read_file(bad_input_path("base_generic.xml")));
    const std::string flat = read_file(bad_input_path("base_project.xml"));
    // The same records, 100,000 elements down.
    constexpr int DEPTH = 100000;
    const size_t body = flat.find("<Project>") + std::string_view("<Project>").size();
    const size_t tail = flat.find("</Project>");
    std::string nested = flat.substr(0, body);
    nested.reserve(flat.size() + DEPTH * 13);
    for (int i = 0; i < DEPTH; ++i) nested += "<Nest>";
    nested += flat.substr(body, tail - body);
    for (int i = 0; i < DEPTH; ++i) nested += "</Nest>";
    nested += flat.substr(tail);

    const Bounded expected = run_bounded(dir, dir.write("flat.xml", flat), {generic}, seconds_allowed(20));
    ASSERT_TRUE(expected.finished);
    const Bounded bounded = run_bounded(dir, dir.write("nested.xml", nested), {generic}, seconds_allowed(20));
    ASSERT_TRUE(bounded.finished) << "stopped after " << bounded.seconds << " s";
    EXPECT_EQ(bounded.err, "");
    EXPECT_TRUE(bounded.text == expected.text) << bounded.text.size() << " bytes, expected " << expected.text.size();
    EXPECT_LT(bounded.max_rss_mb, megabytes_allowed(256));
}

TEST(LimitsTest, HugeAttributeValueIsReadInBoundedTime) {
    TempDir dir;
    const std::string generic = dir.write("generic.xml", read_file(bad_input_path("base_generic.xml")));
    // A 100 MB building description, carried through to the result.
    constexpr size_t SIZE = size_t{100} << 20;
    std::string path;
    {
        const std::string project = read_file(bad_input_path("base_project.xml"));
        const size_t at = project.find(" FloorArea=");
        ASSERT_NE(at, std::string::npos);
        std::ofstream out((dir.path() / "huge.xml").string(), std::ios::binary);
        out << project.substr(0, at) << " Description=\"";
        const std::string chunk(1 << 20, 'x');
        for (size_t i = 0; i < SIZE / chunk.size(); ++i) out << chunk;
        out << '"' << project.substr(at);
        path = (dir.path() / "huge.xml").string();
    }

    const Bounded bounded = run_bounded(dir, path, {generic}, seconds_allowed(15));
    ASSERT_TRUE(bounded.finished) << "stopped after " << bounded.seconds << " s";
    ASSERT_FALSE(bounded.null_result);
    EXPECT_EQ(bounded.err, "");
    EXPECT_GT(bounded.text.size(), SIZE);
    EXPECT_NE(bounded.text.find("\"description\":\"xxxxxxxx"), std::string::npos);
    // The file, the reader's copy, the record and the JSON text: a few times the value.
    EXPECT_LT(bounded.max_rss_mb, megabytes_allowed(1200));
}

TEST(LimitsTest, DataPointsInTheLastYearOfTheRangeStayOutsideThePeriod) {
    TempDir dir;
    const std::string project = dir.write("project.xml", read_file(bad_input_path("base_project.xml")));
    // Two data points in year 4294967295: the step between them must not
    // wrap to year 0 and walk the whole range.
    std::string generic =
        replaced(read_file(bad_input_path("base_generic.xml")), "Year=\"2030\"", "Year=\"4294967295\"");
    generic = replaced(generic, "  <SuperCategories",
                       "  <OperationDataPoints ID=\"3\" ScenarioID=\"1\" Year=\"4294967295\"/>\n"
                       "  <OperationIndicatorGroups ID=\"5\" DataPointID=\"3\" UtilityID=\"1\" GWP=\"9\"/>\n"
                       "  <OperationIndicatorGroups ID=\"6\" DataPointID=\"3\" UtilityID=\"2\" GWP=\"9\"/>\n"
                       "  <SuperCategories");
    const Bounded bounded = run_bounded(dir, project, {dir.write("generic.xml", generic)}, seconds_allowed(10));
    ASSERT_TRUE(bounded.finished) << "stopped after " << bounded.seconds << " s";
    ASSERT_FALSE(bounded.text.empty()) << bounded.err;
    EXPECT_EQ(bounded.err, "");
    // The first data point (2020) lies before the period 2025..2074 and is
    // written; nothing after the period is.
    const std::vector<uint64_t> years = result_years(bounded.text);
    ASSERT_FALSE(years.empty());
    for (uint64_t year : years) {
        EXPECT_TRUE((year >= 2020 && year <= 2074) || year == 9999) << year;
        if (!((year >= 2020 && year <= 2074) || year == 9999)) break;
    }
    EXPECT_LT(bounded.max_rss_mb, megabytes_allowed(256));
}

// The base project calculated from `initial_year` over `timespan` years,
// its elements kept or not, with its scenario's two data points moved to
// `point_years` when given.
Bounded run_bounded_over(const TempDir& dir, std::string_view initial_year, std::string_view timespan,
                         bool elements = true, std::pair<std::string_view, std::string_view> point_years = {}) {
    std::string generic = read_file(bad_input_path("base_generic.xml"));
    if (!point_years.first.empty()) {
        generic = replaced(generic, "Year=\"2020\"", "Year=\"" + std::string(point_years.first) + "\"");
        generic = replaced(generic, "Year=\"2030\"", "Year=\"" + std::string(point_years.second) + "\"");
    }
    std::string project = read_file(bad_input_path("base_project.xml"));
    project = replaced(project, "InitialYear=\"2025\"", "InitialYear=\"" + std::string(initial_year) + "\"");
    project = replaced(project, "CalculationTimeSpan=\"50\"", "CalculationTimeSpan=\"" + std::string(timespan) + "\"");
    if (!elements) {
        for (const char* element : {"  <Elements ID=\"1\"", "  <Elements ID=\"2\""}) {
            const size_t at = project.find(element);
            project.erase(at, project.find('\n', at) + 1 - at);
        }
    }
    return run_bounded(dir, dir.write("project.xml", project), {dir.write("generic.xml", generic)},
                       seconds_allowed(10));
}

// A period whose years would leave the 32-bit range (its last year, or the
// end of the energy walk's tail two years later, past 4294967295), or that
// has no years from year 0, stops the call with one line before it
// calculates anything, with elements or without; no year wraps around to
// the start of the range, where data points could be taken for years of
// the period. The latest period inside the range calculates with every year
// where it belongs.
TEST(LimitsTest, PeriodOutsideThe32BitYearsStopsTheCall) {
    const struct {
        const char* name;
        std::string_view initial_year;
        std::string_view timespan;
        std::pair<std::string_view, std::string_view> point_years;
    } stopping[] = {
        {"no years from year 0", "0", "0", {}},
        {"the last year past the range", "4294967290", "20", {}},
        {"data points in the years a wrapped period reaches", "4294967290", "10", {"0", "6"}},
        {"the tail's end one past the range", "4294967285", "10", {"4294967280", "4294967290"}},
    };
    TempDir dir;
    for (const auto& c : stopping) {
        for (const bool elements : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (elements ? "" : ", no elements"));
            const Bounded bounded = run_bounded_over(dir, c.initial_year, c.timespan, elements, c.point_years);
            ASSERT_TRUE(bounded.finished) << "stopped after " << bounded.seconds << " s";
            ASSERT_FALSE(bounded.null_result);
            EXPECT_EQ(bounded.text, "");
            EXPECT_EQ(line_count(bounded.err), 1u) << bounded.err;
            EXPECT_EQ(bounded.err.rfind("Error: fatal: calculation period too long: initial year " +
                                            std::string(c.initial_year) + " with time span " +
                                            std::string(c.timespan) + " ",
                                        0),
                      0u)
                << bounded.err;
        }
    }

    const Bounded latest = run_bounded_over(dir, "4294967284", "10", true, {"4294967280", "4294967290"});
    ASSERT_TRUE(latest.finished) << "stopped after " << latest.seconds << " s";
    ASSERT_FALSE(latest.text.empty()) << latest.err;
    EXPECT_EQ(latest.err, "");
    const std::vector<uint64_t> years = result_years(latest.text);
    for (uint64_t year : {4294967280ull, 4294967284ull, 4294967293ull}) {
        EXPECT_NE(std::find(years.begin(), years.end(), year), years.end()) << year;
    }
    for (uint64_t year : years) {
        EXPECT_TRUE((year >= 4294967280u && year <= 4294967293u) || year == 9999) << year;
        if (!((year >= 4294967280u && year <= 4294967293u) || year == 9999)) break;
    }
}

}  // namespace
