#include "datamodel.hpp"

#include <charconv>

#include "real_format.hpp"
#include "shared_error.hpp"
#include "text_convert.hpp"
#include "xml_writer.hpp"

namespace mirelo {

namespace {

// Longest attribute value quoted in a failure's context.
constexpr size_t CONTEXT_VALUE_LIMIT = 80;

std::string attribute_context(std::string_view name, std::string_view value) {
    std::string out = "attribute ";
    out += name;
    out += "=\"";
    if (value.size() > CONTEXT_VALUE_LIMIT) {
        out += value.substr(0, CONTEXT_VALUE_LIMIT);
        out += "...";
    } else {
        out += value;
    }
    out += '"';
    return out;
}

template <class F>
auto with_attribute_context(std::string_view name, std::string_view value, F&& convert) {
    try {
        return convert();
    } catch (FatalStop& stop) {
        stop.add_context(attribute_context(name, value));
        throw;
    }
}

}  // namespace

void check_element_name(std::string_view name, std::string_view expected) {
    if (name != expected) fatal("assertion failed: name.local_name == \"" + std::string(expected) + "\"");
}

uint32_t read_u32(const XmlAttribute& a) {
    return with_attribute_context(a.local_name, a.value, [&] { return parse_u32(a.value); });
}
int32_t read_i32(const XmlAttribute& a) {
    return with_attribute_context(a.local_name, a.value, [&] { return parse_i32(a.value); });
}
double read_real(const XmlAttribute& a) {
    return with_attribute_context(a.local_name, a.value, [&] { return parse_real(a.value); });
}
bool read_bool(const XmlAttribute& a) {
    return with_attribute_context(a.local_name, a.value, [&] { return parse_bool(a.value); });
}
Link read_link(std::string_view text, uint32_t database_id, std::string_view attribute_name) {
    return with_attribute_context(attribute_name, text, [&] { return Link::parse(text, database_id); });
}

void skip_attribute_stdout(const XmlAttribute& a) { print_skipping_line(a.local_name, a.value); }

void skip_attribute_log(const XmlAttribute& a, LogLevel level, std::string_view target) {
    if (log_enabled(level)) log_record(level, target, skipping_text(a.local_name, a.value));
}

void append_display(std::string& out, uint32_t value) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}
void append_display(std::string& out, int32_t value) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}
void append_display(std::string& out, uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}
void append_display(std::string& out, double value) { append_real_display(out, value); }
void append_display(std::string& out, bool value) { out += value ? "true" : "false"; }
void append_display(std::string& out, std::string_view value) { out += value; }
void append_display(std::string& out, const Link& value) { value.append_to(out); }

DisplayLine::DisplayLine(std::string_view type_name) {
    text_ += '<';
    text_ += type_name;
}

std::string DisplayLine::finish() {
    text_ += '>';
    return std::move(text_);
}

void write_record_element(XmlWriter& writer, std::string_view node_name, std::span<const XmlAttr> attributes) {
    // A record element is informative only: its failures do not stop the dump.
    if (writer.start_element(node_name, attributes)) return;
    (void)writer.end_element();
}

}  // namespace mirelo
