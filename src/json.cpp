#include "json.hpp"

namespace mirelo::json {

std::string_view error_name(EncoderError error) {
    return error == EncoderError::FmtError ? "FmtError" : "BadHashmapKey";
}

namespace {

// For each byte: 0 written as it stands, otherwise the escape's second char
// ('u' for the \u00XX form).
struct EscapeTable {
    char code[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x20; ++c) code[c] = 'u';
        code[0x7f] = 'u';
        code[static_cast<unsigned char>('"')] = '"';
        code[static_cast<unsigned char>('\\')] = '\\';
        code[0x08] = 'b';
        code[0x09] = 't';
        code[0x0a] = 'n';
        code[0x0c] = 'f';
        code[0x0d] = 'r';
    }
};
constexpr EscapeTable ESCAPES;

}  // namespace

void escape_str(std::string& out, std::string_view text) {
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    const char* start = text.data();
    const char* end = start + text.size();
    const char* run = start;
    for (const char* p = start; p != end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char code = ESCAPES.code[c];
        if (code == 0) continue;
        out.append(run, p);
        if (code == 'u') {
            const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
            out.append(esc, 6);
        } else {
            const char esc[2] = {'\\', code};
            out.append(esc, 2);
        }
        run = p + 1;
    }
    out.append(run, end);
    out.push_back('"');
}

void Encoder::emit_option_none() {
    if (!allowed()) return;
    out_.append("null");
}

void Encoder::emit_bool(bool value) {
    if (!allowed()) return;
    out_.append(value ? "true" : "false");
}

void Encoder::emit_f64(double value) {
    if (error_) return;
    if (map_key_) out_.push_back('"');
    append_json_number(out_, value);
    if (map_key_) out_.push_back('"');
}

void Encoder::emit_str(std::string_view value) {
    if (error_) return;
    escape_str(out_, value);
}

}  // namespace mirelo::json
