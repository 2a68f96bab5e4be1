// Helpers shared by the sixteen record types: the attribute list a record
// is read from, the conversions with the attribute's name in a failure's
// context, the "Skipping: " line, the one-line display form and the record
// element of the XML dump.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "link.hpp"
#include "log.hpp"

namespace mirelo {

// The writers are only named here: the records' .cpp files include them.
namespace json {
class Encoder;
}
class XmlWriter;
struct XmlAttr;

// One attribute of an input element: its local name (prefix removed) and
// its decoded value, valid while the element is being handled.
struct XmlAttribute {
    std::string_view local_name;
    std::string_view value;
};

using XmlAttributes = std::span<const XmlAttribute>;

// Fatal stop unless the element's local name is `expected`.
void check_element_name(std::string_view name, std::string_view expected);

// Conversions of one attribute's value; a failure is a fatal stop whose
// context names the attribute and its value.
uint32_t read_u32(const XmlAttribute& attribute);
int32_t read_i32(const XmlAttribute& attribute);
double read_real(const XmlAttribute& attribute);
bool read_bool(const XmlAttribute& attribute);
// Link::parse of a link text held in `attribute_name` of the record.
Link read_link(std::string_view text, uint32_t database_id, std::string_view attribute_name);

// Writes the "Skipping: " line of an unknown attribute to standard output.
void skip_attribute_stdout(const XmlAttribute& attribute);
// Hands the same text to the logging facade instead (Stage, Element).
void skip_attribute_log(const XmlAttribute& attribute, LogLevel level, std::string_view target);

// Display texts of values: integers in decimal, reals shortest and
// positional, booleans true/false, texts as stored, links db:row.
void append_display(std::string& out, uint32_t value);
void append_display(std::string& out, int32_t value);
void append_display(std::string& out, uint64_t value);
void append_display(std::string& out, double value);
void append_display(std::string& out, bool value);
void append_display(std::string& out, std::string_view value);
void append_display(std::string& out, const Link& value);
inline void append_display(std::string& out, const std::string& value) { append_display(out, std::string_view(value)); }
inline void append_display(std::string& out, const char* value) { append_display(out, std::string_view(value)); }

// Builds a record's display line: <Type Label="value", ...>
class DisplayLine {
public:
    explicit DisplayLine(std::string_view type_name);
    // Appends ` label="value"` and, when `comma` is set, ",".
    template <class T>
    DisplayLine& field(std::string_view label, const T& value, bool comma = true) {
        text_ += ' ';
        text_ += label;
        text_ += "=\"";
        append_display(text_, value);
        text_ += '"';
        if (comma) text_ += ',';
        return *this;
    }
    // Appends ">" and returns the line.
    std::string finish();

private:
    std::string text_;
};

// Attribute values of the XML dump: integers in decimal, reals as in the
// display line, booleans true/false, texts unchanged.
template <class T>
std::string xml_value(const T& value) {
    std::string out;
    append_display(out, value);
    return out;
}

// Writes an empty record element (start immediately followed by its end);
// a failed write of either event is ignored.
void write_record_element(XmlWriter& writer, std::string_view node_name, std::span<const XmlAttr> attributes);

}  // namespace mirelo
