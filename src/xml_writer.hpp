// XML event writer used by the inspection dump: start elements with an
// ordered attribute list, nameless end elements that close the innermost
// open element, and character data. Every event reports its failure to the
// caller instead of stopping, so the dump decides which failures matter.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo {

struct XmlAttr {
    std::string_view name;
    std::string value;
};

// Empty on success, otherwise the writer's error text.
using XmlStatus = std::optional<std::string>;

class XmlWriter {
public:
    // Writes to `out`, which the caller owns and keeps open.
    explicit XmlWriter(std::ostream& out) : out_(&out) {}
    virtual ~XmlWriter() = default;

    // <name a="v" ...>; attribute values escaped: < > " ' &.
    virtual XmlStatus start_element(std::string_view name, std::span<const XmlAttr> attributes);
    // </innermost>; an error when no element is open.
    virtual XmlStatus end_element();
    // Character data, escaped: < &.
    virtual XmlStatus characters(std::string_view text);

    // The names of the elements opened and not yet closed, outermost first.
    const std::vector<std::string>& open_elements() const { return open_; }

    static void escape_attribute(std::string& out, std::string_view value);
    static void escape_characters(std::string& out, std::string_view text);

protected:
    XmlWriter() = default;  // for writers that do not write to a stream
    std::vector<std::string> open_;

private:
    XmlStatus flush(const std::string& text);
    std::ostream* out_ = nullptr;
    std::string buffer_;
    std::optional<int> write_error_;  // the errno of the first failed write
};

// `what`, followed by the system's reason `err` (an errno value) unless it
// is 0: a stream keeps no reason of its own, so the errno a failed stream
// operation left is passed, after clearing errno before it.
std::string failure_text(std::string_view what, int err);

}  // namespace mirelo
