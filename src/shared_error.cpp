#include "shared_error.hpp"

#include <system_error>

namespace mirelo {

SharedError SharedError::io(IoError error) {
    SharedError e(Kind::Io, std::move(error.message));
    e.io_code_ = error.code;
    return e;
}
SharedError SharedError::cffi_type_error(std::string m) { return {Kind::CFFITypeError, std::move(m)}; }
SharedError SharedError::missing_stage(std::string m) { return {Kind::MissingStage, std::move(m)}; }
SharedError SharedError::missing_indicator(std::string m) { return {Kind::MissingIndicator, std::move(m)}; }
SharedError SharedError::missing_indicator_group(std::string m) {
    return {Kind::MissingIndicatorGroup, std::move(m)};
}
SharedError SharedError::skipping_stage_calculation(std::string m) {
    return {Kind::SkippingStageCalculation, std::move(m)};
}

const std::string& SharedError::display() const { return message_; }

namespace {

const char* kind_name(SharedError::Kind kind) {
    switch (kind) {
        case SharedError::Kind::Io: return "Io";
        case SharedError::Kind::CFFITypeError: return "CFFITypeError";
        case SharedError::Kind::MissingStage: return "MissingStage";
        case SharedError::Kind::MissingIndicator: return "MissingIndicator";
        case SharedError::Kind::MissingIndicatorGroup: return "MissingIndicatorGroup";
        case SharedError::Kind::SkippingStageCalculation: return "SkippingStageCalculation";
    }
    return "?";
}

// Quoted text with backslash escapes, the debug form of a text payload.
std::string quoted(const std::string& text) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 0xf];
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace

std::string SharedError::debug() const {
    std::string out = kind_name(kind_);
    out += '(';
    if (kind_ == Kind::Io) {
        out += "Os { code: " + std::to_string(io_code_) + ", message: " + quoted(message_) + " }";
    } else {
        out += quoted(message_);
    }
    out += ')';
    return out;
}

FatalStop::FatalStop(std::string message) : message_(std::move(message)) { rebuild(); }

void FatalStop::add_context(std::string_view part) {
    if (part.empty()) return;
    if (!context_.empty()) context_ += ", ";
    context_ += part;
    rebuild();
}

void FatalStop::rebuild() {
    full_ = message_;
    if (!context_.empty()) {
        full_ += " (";
        full_ += context_;
        full_ += ')';
    }
}

std::string os_error_text(int err) {
    return std::error_code(err, std::generic_category()).message() + " (os error " + std::to_string(err) + ")";
}

void fatal(std::string message) { throw FatalStop(std::move(message)); }

}  // namespace mirelo
