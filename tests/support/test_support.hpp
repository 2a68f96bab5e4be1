// Helpers shared by the tests: those of files.hpp, a logger that records
// what the reader reports, a call of the exported function, fatal stops, the JSON text and dump element of a
// value and the contents of a node's results.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "files.hpp"
#include "json.hpp"
#include "log.hpp"
#include "shared_error.hpp"
#include "tree_results.hpp"
#include "xml_writer.hpp"

namespace mirelo::testing {

// True in builds under AddressSanitizer or ThreadSanitizer, which run slower,
// keep freed memory in quarantine and cannot run under an address-space limit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif
#else
inline constexpr bool SANITIZED = false;
#endif

// The path of a file of the bundled example project, and of an input file
// under tests/data/bad_input.
std::string example_path(std::string_view name);
std::string bad_input_path(std::string_view name);

// `text` with the first `from` replaced by `to`; fails the test when `text`
// holds no `from`, so that a case built from a changed fixture cannot pass
// unchanged.
std::string replaced(std::string text, std::string_view from, std::string_view to);

// The lines of `text`, without their line ends, and the number of line ends.
std::vector<std::string> lines_of(const std::string& text);
size_t line_count(std::string_view text);

struct LogEntry {
    LogLevel level;
    std::string target;
    std::string text;
};

// Installs a logger for its lifetime and keeps every record it receives.
class CapturingLogger {
public:
    CapturingLogger();
    ~CapturingLogger();
    std::vector<LogEntry> entries() const;

private:
    static void sink(void* user, LogLevel level, std::string_view target, std::string_view text);
    struct State;
    State* state_;
};

// What one call of the exported function returned, taken over and released;
// `null` tells a null result apart from the empty text.
struct CallResult {
    bool null = true;
    std::string text;
};
CallResult call_exported(const std::string& project, const std::vector<std::string>& libraries);
// The kind of a result as a child's exit code: 0 a JSON text, 1 the empty
// text, 2 NULL.
int code_of(const CallResult& result);

// One exported call with what it wrote to standard output and standard error.
struct SeenCall {
    bool null = true;
    std::string text;
    std::string out;
    std::string err;
};
SeenCall call_seen(const std::string& project, const std::vector<std::string>& libraries);

// The fatal stop raised by `call`; fails the test when there is none.
FatalStop stop_of(const std::function<void()>& call);

// The JSON text of `value`; fails the test when the encoder reports an error.
template <class T>
std::string json_of(const T& value) {
    auto text = json::encode(value);
    EXPECT_TRUE(text.ok());
    return text.ok() ? text.value().str() : std::string();
}

// The dump element of a record under `node_name`; fails the test when the
// record leaves an element open.
template <class R>
std::string xml_of(const R& record, std::string_view node_name = "Datamodel") {
    std::ostringstream out;
    XmlWriter writer(out);
    record.node_to_xml(writer, node_name);
    EXPECT_TRUE(writer.open_elements().empty());
    return out.str();
}

// Writes the dump as usual but fails, with "disk full", the events it is
// told to.
class ScriptedWriter : public XmlWriter {
public:
    explicit ScriptedWriter(std::ostream& out) : XmlWriter(out) {}
    std::string fail_start;  // element name whose start fails
    std::string fail_end;    // element name whose end fails
    bool fail_characters = false;

    XmlStatus start_element(std::string_view name, std::span<const XmlAttr> attributes) override;
    XmlStatus end_element() override;
    XmlStatus characters(std::string_view text) override;
};

// Year -> value of one indicator of one stage of `results`; empty when the
// stage or the indicator is missing.
using Years = std::map<uint32_t, double>;
Years years_of(const TreeResults& results, std::string_view stage, std::string_view indicator = "gwp");

// The names of the stages of `results`, in the map's order; fails the test
// when a stage is filed under another key than its name.
std::vector<std::string> stage_names(const TreeResults& results);

}  // namespace mirelo::testing
