// Calls from several host threads at once share nothing: each result is byte
// for byte the result of the same call made alone, and every diagnostic line
// arrives whole, in one write of its own. Built and run under
// ThreadSanitizer by .ci/tsan.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

using mirelo::testing::bad_input_path;
using mirelo::testing::call_exported;
using mirelo::testing::CallResult;
using mirelo::testing::capture_writes;
using mirelo::testing::captured;
using mirelo::testing::Streams;
using mirelo::testing::CapturingLogger;
using mirelo::testing::example_path;
using mirelo::testing::read_file;
using mirelo::testing::replaced;
using mirelo::testing::TempDir;

constexpr int THREADS = 8;
constexpr int ROUNDS = 3;

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines = mirelo::testing::lines_of(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The writes of a stream, each of which must be one line, sorted as
// sorted_lines sorts the lines of a text; a write that is not one whole line
// is kept as it came, and so differs from every line.
std::vector<std::string> sorted_writes(const std::vector<std::string>& writes) {
    std::vector<std::string> lines;
    for (const std::string& write : writes) {
        const bool one_line = !write.empty() && write.find('\n') == write.size() - 1;
        lines.push_back(one_line ? write.substr(0, write.size() - 1) : write);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct Input {
    std::string name;
    std::string project;
    std::vector<std::string> libraries;
};

CallResult run(const Input& input) { return call_exported(input.project, input.libraries); }

// The example project, variants of it generated here, and inputs that end in
// each of the other roads: a fatal stop, a product error, a reader error,
// "Skipping: " lines on standard output.
std::vector<Input> make_inputs(const TempDir& dir) {
    const std::string generic = example_path("generic_db.xml");
    const std::string project = read_file(example_path("project.xml"));
    const std::string small_generic = read_file(bad_input_path("base_generic.xml"));
    const std::string small_project = read_file(bad_input_path("base_project.xml"));
    std::vector<Input> inputs;
    inputs.push_back({"example", example_path("project.xml"), {generic}});
    inputs.push_back({"larger floor area",
                      dir.write("floor.xml", replaced(project, "FloorArea=\"140\"", "FloorArea=\"1234.5\"")),
                      {generic}});
    inputs.push_back({"other period",
                      dir.write("period.xml", replaced(replaced(project, "InitialYear=\"2025\"", "InitialYear=\"2031\""),
                                                       "CalculationTimeSpan=\"50\"", "CalculationTimeSpan=\"73\"")),
                      {generic}});
    inputs.push_back({"demolition only",
                      dir.write("demolition.xml", replaced(project, "Amount=\"186.5\"", "Amount=\"-186.5\"")),
                      {generic}});
    inputs.push_back({"small pair", dir.write("small.xml", small_project),
                      {dir.write("small_generic.xml", small_generic)}});
    inputs.push_back({"unknown attribute",
                      dir.write("unknown.xml", replaced(small_project, "<Sources ID=\"1\"", "<Sources Colour=\"red\" ID=\"1\"")),
                      {dir.write("small_generic2.xml", small_generic)}});
    inputs.push_back({"stopped: no generic database", example_path("project.xml"), {}});
    inputs.push_back(
        {"product error", dir.write("product_error.xml", small_project),
         {dir.write("no_a1_3.xml",
                    replaced(small_generic, "<StageLinks ID=\"1\" ProductID=\"1\" StageLink=\"0:11\" Stage=\"a1_3\"/>", ""))}});
    inputs.push_back({"reader error",
                      dir.write("truncated.xml", small_project.substr(0, small_project.find("Name=\"Back wall\""))),
                      {dir.write("small_generic3.xml", small_generic)}});
    return inputs;
}

TEST(ConcurrencyTest, ConcurrentCallsGiveTheSequentialResults) {
    TempDir dir;
    const std::vector<Input> inputs = make_inputs(dir);

    // Each input alone, one after the other; every input is called ROUNDS
    // times per thread below, so its lines are expected that often.
    std::vector<CallResult> expected(inputs.size());
    const Streams alone = captured([&] {
        for (size_t i = 0; i < inputs.size(); ++i) expected[i] = run(inputs[i]);
    });
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(inputs[i].name);
        ASSERT_FALSE(expected[i].null);
        if (inputs[i].name.rfind("stopped", 0) == 0) EXPECT_EQ(expected[i].text, "");
        else EXPECT_FALSE(expected[i].text.empty());
    }
    EXPECT_FALSE(alone.err.empty());
    EXPECT_FALSE(alone.out.empty());

    // Eight threads, released together, each through every input in its own
    // order; both streams taken write by write.
    std::vector<std::vector<CallResult>> got(THREADS);
    std::vector<std::vector<size_t>> which(THREADS);
    const auto calls = [&] {
        std::latch start(THREADS);
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                for (int round = 0; round < ROUNDS; ++round) {
                    for (size_t k = 0; k < inputs.size(); ++k) {
                        const size_t i = (static_cast<size_t>(t) + k * (round + 1)) % inputs.size();
                        which[t].push_back(i);
                        got[t].push_back(run(inputs[i]));
                    }
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    };
    std::vector<std::string> err_writes;
    const std::vector<std::string> out_writes =
        capture_writes(1, [&] { err_writes = capture_writes(2, calls); });

    // Inputs are visited in different orders per round, so count what each
    // input was run for, to know which lines to expect.
    std::map<size_t, int> runs;
    for (int t = 0; t < THREADS; ++t) {
        ASSERT_EQ(got[t].size(), which[t].size());
        for (size_t n = 0; n < got[t].size(); ++n) {
            const size_t i = which[t][n];
            ++runs[i];
            SCOPED_TRACE(inputs[i].name + ", thread " + std::to_string(t) + ", call " + std::to_string(n));
            EXPECT_EQ(got[t][n].null, expected[i].null);
            EXPECT_TRUE(got[t][n].text == expected[i].text)
                << got[t][n].text.size() << " bytes, alone " << expected[i].text.size() << " bytes";
        }
    }

    // Every line of the calls made alone, as often as the input ran, each
    // in one write that holds it whole and nothing else.
    std::string expected_err, expected_out;
    for (const auto& [index, count] : runs) {
        const Input& input = inputs[index];  // clang before 16 cannot capture a structured binding
        const Streams one = captured([&] { run(input); });
        for (int n = 0; n < count; ++n) {
            expected_err += one.err;
            expected_out += one.out;
        }
    }
    EXPECT_EQ(sorted_writes(err_writes), sorted_lines(expected_err));
    EXPECT_EQ(sorted_writes(out_writes), sorted_lines(expected_out));
}

TEST(ConcurrencyTest, InstalledLoggerReceivesEveryRecordOfConcurrentCalls) {
    TempDir dir;
    const std::vector<Input> inputs = make_inputs(dir);
    size_t files_per_pass = 0;
    for (const Input& input : inputs) files_per_pass += 1 + input.libraries.size();

    CapturingLogger logger;
    std::vector<std::vector<CallResult>> got(THREADS);
    captured([&] {
        std::latch start(THREADS);
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                for (size_t k = 0; k < inputs.size(); ++k) got[t].push_back(run(inputs[(t + k) % inputs.size()]));
            });
        }
        for (std::thread& thread : threads) thread.join();
    });

    // One "File: " record per file read: every input's files, once per thread.
    size_t file_records = 0;
    for (const auto& entry : logger.entries()) {
        if (entry.text.rfind("File: ", 0) == 0) ++file_records;
    }
    EXPECT_EQ(file_records, files_per_pass * THREADS);
    for (int t = 0; t < THREADS; ++t) {
        for (size_t k = 0; k < inputs.size(); ++k) EXPECT_FALSE(got[t][k].null) << inputs[(t + k) % inputs.size()].name;
    }
}

}  // namespace
