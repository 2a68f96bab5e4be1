#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <sstream>

#include "mirelo.h"

namespace mirelo::testing {

std::string example_path(std::string_view name) {
    return std::string(MIRELO_EXAMPLES_DIR) + "/" + std::string(name);
}

std::string bad_input_path(std::string_view name) {
    return std::string(MIRELO_TESTDATA_DIR) + "/bad_input/" + std::string(name);
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t line_count(std::string_view text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

CallResult call_exported(const std::string& project, const std::vector<std::string>& libraries) {
    std::vector<const char*> paths;
    for (const std::string& library : libraries) paths.push_back(library.c_str());
    const char* out = process_xml_file_to_json(project.c_str(), paths.data(), paths.size());
    CallResult result;
    if (out) {
        result.null = false;
        result.text = out;
        free_string(const_cast<char*>(out));
    }
    return result;
}

int code_of(const CallResult& result) { return result.null ? 2 : result.text.empty() ? 1 : 0; }

SeenCall call_seen(const std::string& project, const std::vector<std::string>& libraries) {
    CallResult result;
    const Streams streams = captured([&] { result = call_exported(project, libraries); });
    return {result.null, std::move(result.text), streams.out, streams.err};
}

FatalStop stop_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const FatalStop& stop) {
        return stop;
    }
    ADD_FAILURE() << "no fatal stop";
    return FatalStop("");
}

XmlStatus ScriptedWriter::start_element(std::string_view name, std::span<const XmlAttr> attributes) {
    if (name == fail_start) return std::string("disk full");
    return XmlWriter::start_element(name, attributes);
}

XmlStatus ScriptedWriter::end_element() {
    if (!open_.empty() && open_.back() == fail_end) return std::string("disk full");
    return XmlWriter::end_element();
}

XmlStatus ScriptedWriter::characters(std::string_view text) {
    if (fail_characters) return std::string("disk full");
    return XmlWriter::characters(text);
}

Years years_of(const TreeResults& results, std::string_view stage, std::string_view indicator) {
    Years out;
    const TreeResultStage* s = results.stages.find(stage);
    if (!s) return out;
    const TreeResultIndicator* i = s->indicators.find(indicator);
    if (!i) return out;
    for (const TreeResultYear& entry : i->years) out[entry.year] = entry.value;
    return out;
}

std::vector<std::string> stage_names(const TreeResults& results) {
    std::vector<std::string> names;
    for (const TreeResultStage& stage : results.stages) {
        EXPECT_EQ(StageMap::key_of(stage), stage.stage);
        names.push_back(stage.stage);
    }
    return names;
}

struct CapturingLogger::State {
    std::mutex mutex;
    std::vector<LogEntry> entries;
};

CapturingLogger::CapturingLogger() : state_(new State) { set_logger(&CapturingLogger::sink, state_); }

CapturingLogger::~CapturingLogger() {
    set_logger(nullptr, nullptr);
    delete state_;
}

std::vector<LogEntry> CapturingLogger::entries() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->entries;
}

void CapturingLogger::sink(void* user, LogLevel level, std::string_view target, std::string_view text) {
    auto* state = static_cast<State*>(user);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->entries.push_back({level, std::string(target), std::string(text)});
}

}  // namespace mirelo::testing
