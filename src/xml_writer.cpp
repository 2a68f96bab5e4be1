#include "xml_writer.hpp"

#include <cerrno>

#include "shared_error.hpp"

namespace mirelo {

void XmlWriter::escape_attribute(std::string& out, std::string_view value) {
    for (char c : value) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '&': out += "&amp;"; break;
            default: out += c;
        }
    }
}

void XmlWriter::escape_characters(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '&': out += "&amp;"; break;
            default: out += c;
        }
    }
}

XmlStatus XmlWriter::flush(const std::string& text) {
    if (!out_) return std::string("no output stream");
    errno = 0;
    out_->write(text.data(), static_cast<std::streamsize>(text.size()));
    if (*out_) return std::nullopt;
    // A failed stream fails every later write without reaching the system,
    // and some failures are ignored by the caller: the reason of the first
    // is the one to give.
    if (!write_error_) write_error_ = errno;
    return failure_text("write to the XML output failed", *write_error_);
}

std::string failure_text(std::string_view what, int err) {
    std::string text(what);
    if (err != 0) text += ": " + os_error_text(err);
    return text;
}

XmlStatus XmlWriter::start_element(std::string_view name, std::span<const XmlAttr> attributes) {
    buffer_.clear();
    buffer_ += '<';
    buffer_ += name;
    for (const XmlAttr& a : attributes) {
        buffer_ += ' ';
        buffer_ += a.name;
        buffer_ += "=\"";
        escape_attribute(buffer_, a.value);
        buffer_ += '"';
    }
    buffer_ += '>';
    if (auto err = flush(buffer_)) return err;
    open_.emplace_back(name);
    return std::nullopt;
}

XmlStatus XmlWriter::end_element() {
    if (open_.empty()) return std::string("end element without an open element");
    buffer_.clear();
    buffer_ += "</";
    buffer_ += open_.back();
    buffer_ += '>';
    if (auto err = flush(buffer_)) return err;
    open_.pop_back();
    return std::nullopt;
}

XmlStatus XmlWriter::characters(std::string_view text) {
    buffer_.clear();
    escape_characters(buffer_, text);
    return flush(buffer_);
}

}  // namespace mirelo
