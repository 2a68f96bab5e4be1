#include "test_support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

namespace mirelo::testing {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("mirelo-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
    auto file = path_ / std::string(name);
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return file.string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string capture_fd(int fd, const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    char name[] = "/tmp/mirelo-capture-XXXXXX";
    int tmp = mkstemp(name);
    int saved = dup(fd);
    dup2(tmp, fd);
    try {
        body();
    } catch (...) {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved, fd);
        close(saved);
        close(tmp);
        unlink(name);
        throw;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved, fd);
    close(saved);
    close(tmp);
    std::string captured = read_file(name);
    unlink(name);
    return captured;
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
