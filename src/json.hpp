// Compact JSON writer. Every value of the result document writes itself
// through an `Encoder` straight into one growing `Text`, in a single pass;
// no intermediate tree of JSON values is built, and the finished text is
// handed to the host as it is, without a copy.
//
// Failures are sticky: the first one is kept, nothing is appended after it,
// and `json::encode` returns it instead of the text.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "real_format.hpp"
#include "shared_error.hpp"

namespace mirelo::json {

enum class EncoderError { FmtError, BadHashmapKey };

std::string_view error_name(EncoderError error);

// A text in one malloc'd block, grown with realloc, so that the C interface
// can hand the block itself to the host (free_string frees it). glibc moves
// large blocks with mremap, so growing costs no copy of the text. Growth is
// charged to the call's memory budget before it is made.
class Text {
public:
    Text() = default;
    Text(Text&& other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    Text& operator=(Text&& other) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_ ? data_ : "", size_}; }
    operator std::string_view() const { return view(); }
    // A copy, for callers that want a std::string.
    std::string str() const { return std::string(view()); }

    void push_back(char c) {
        if (capacity_ - size_ < 2) grow(1);
        data_[size_++] = c;
    }
    void append(const char* p, size_t n) {
        if (capacity_ - size_ <= n) grow(n);
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(const char* first, const char* last) { append(first, static_cast<size_t>(last - first)); }
    void append(std::string_view s) { append(s.data(), s.size()); }
    // Room for `n` more bytes at the end: write them, then `commit` the
    // number written.
    char* tail(size_t n) {
        if (capacity_ - size_ <= n) grow(n);
        return data_ + size_;
    }
    void commit(size_t n) { size_ += n; }

    // Hands the block over, NUL-terminated and trimmed to its length, for
    // release with free(); nullptr when nothing was ever written.
    char* release();

    friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
    friend std::ostream& operator<<(std::ostream& os, const Text& t) { return os << t.view(); }

private:
    // Makes room for `n` more bytes and the terminating NUL; throws
    // std::bad_alloc when memory runs out.
    void grow(size_t n);

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;  // 0, or more than size_: one byte is kept for the NUL
};

// Appends `text` as a JSON string: quotes, escapes for '"', '\\', control
// bytes and 0x7F; every other byte (UTF-8 included) as it stands.
void escape_str(Text& out, std::string_view text);

class Encoder;

// A type of the document: it writes itself with `encode(Encoder&) const`.
template <class T>
concept Encodable = requires(const T& value, Encoder& encoder) { value.encode(encoder); };

class Encoder {
public:
    explicit Encoder(Text& out) : out_(out) {}

    bool ok() const { return !error_; }
    std::optional<EncoderError> error() const { return error_; }

    // {body} ("{}" when len is 0). The type name is not written.
    template <class Body>
    void emit_struct(std::string_view /*name*/, size_t len, Body&& body) {
        if (!allowed()) return;
        out_.push_back('{');
        if (len != 0) body();
        if (ok()) out_.push_back('}');
    }
    // [,]"name":value
    template <class Body>
    void emit_struct_field(std::string_view name, size_t idx, Body&& value) {
        if (!allowed()) return;
        append_member_name(name, idx != 0);
        value();
    }
    template <class Body>
    void emit_seq(size_t len, Body&& body) {
        if (!allowed()) return;
        if (len == 0) {
            out_.append("[]");
            return;
        }
        out_.push_back('[');
        body();
        if (ok()) out_.push_back(']');
    }
    template <class Body>
    void emit_seq_elt(size_t idx, Body&& element) {
        if (!allowed()) return;
        if (idx != 0) out_.push_back(',');
        element();
    }
    template <class Body>
    void emit_map(size_t len, Body&& body) {
        if (!allowed()) return;
        if (len == 0) {
            out_.append("{}");
            return;
        }
        out_.push_back('{');
        body();
        if (ok()) out_.push_back('}');
    }
    template <class Body>
    void emit_map_elt_key(size_t idx, Body&& key) {
        if (!allowed()) return;
        if (idx != 0) out_.push_back(',');
        map_key_ = true;
        key();
        map_key_ = false;
    }
    template <class Body>
    void emit_map_elt_val(size_t /*idx*/, Body&& value) {
        if (!allowed()) return;
        out_.push_back(':');
        value();
    }

    void emit_option_none();
    void emit_bool(bool value);
    void emit_u32(uint32_t value) { emit_integer(value); }
    void emit_i32(int32_t value) { emit_integer(value); }
    void emit_u64(uint64_t value) { emit_integer(value); }
    void emit_f64(double value);
    void emit_str(std::string_view value);

    // Writes one value by its C++ type: the usual way every `encode` writes
    // its members.
    template <class T>
    void value(const T& v) {
        using U = std::remove_cvref_t<T>;
        if constexpr (std::is_same_v<U, bool>) emit_bool(v);
        else if constexpr (std::is_same_v<U, uint32_t>) emit_u32(v);
        else if constexpr (std::is_same_v<U, int32_t>) emit_i32(v);
        else if constexpr (std::is_same_v<U, uint64_t>) emit_u64(v);
        else if constexpr (std::is_same_v<U, double>) emit_f64(v);
        else if constexpr (std::is_convertible_v<const U&, std::string_view>) emit_str(v);
        else if constexpr (Encodable<U>) v.encode(*this);
        else value_special(v);
    }
    // A map: its entries in the map's iteration order, each key (text or
    // integer, quoted by the map-key flag) followed by its value. Maps whose
    // entries carry their own key (FlatMap) name it with `key_of`.
    template <class Map>
    void map(const Map& entries) {
        emit_map(entries.size(), [&] {
            size_t i = 0;
            for (const auto& entry : entries) {
                if constexpr (requires { Map::key_of(entry); }) {
                    emit_map_elt_key(i, [&] { value(Map::key_of(entry)); });
                    emit_map_elt_val(i, [&] { value(entry); });
                } else {
                    emit_map_elt_key(i, [&] { value(entry.first); });
                    emit_map_elt_val(i, [&] { value(entry.second); });
                }
                ++i;
            }
        });
    }
    // One member of an object: emit_struct_field with `value(v)`.
    template <class T>
    void field(std::string_view name, size_t idx, const T& v) {
        emit_struct_field(name, idx, [&] { value(v); });
    }

    // The first member of every node and result object, `"node_type":"Name"`.
    // The name is a fixed identifier of the document's types, so it is
    // written without escape_str's byte scan.
    void node_type(std::string_view name) {
        if (!allowed()) return;
        append_member_name("node_type", false);
        out_.push_back('"');
        out_.append(name);
        out_.push_back('"');
    }

private:
    // `,"name":` (the comma unless first) in one append. Member names are
    // the fixed field names of the document's types, identifiers that
    // escape_str would copy unchanged, so its byte scan is skipped.
    void append_member_name(std::string_view name, bool comma) {
        char* start = out_.tail(name.size() + 4);
        char* p = start;
        if (comma) *p++ = ',';
        *p++ = '"';
        std::memcpy(p, name.data(), name.size());
        p += name.size();
        *p++ = '"';
        *p++ = ':';
        out_.commit(static_cast<size_t>(p - start));
    }
    template <class T>
    void value_special(const std::optional<T>& v) {
        if (v) value(*v);
        else emit_option_none();
    }
    template <class T, class A>
    void value_special(const std::vector<T, A>& seq) {
        emit_seq(seq.size(), [&] {
            for (size_t i = 0; i < seq.size(); ++i) emit_seq_elt(i, [&] { value(seq[i]); });
        });
    }

    // False (and the error recorded) when nothing may be appended now: after
    // an earlier failure, or for a kind that cannot be a map key.
    bool allowed() {
        if (error_) return false;
        if (map_key_) {
            error_ = EncoderError::BadHashmapKey;
            return false;
        }
        return true;
    }
    template <class I>
    void emit_integer(I value) {
        if (error_) return;
        constexpr size_t room = 24;  // digits and sign of any 64-bit integer, and two quotes
        char* start = out_.tail(room);
        char* p = start;
        if (map_key_) *p++ = '"';
        p = std::to_chars(p, start + room, value).ptr;
        if (map_key_) *p++ = '"';
        out_.commit(static_cast<size_t>(p - start));
    }

    Text& out_;
    bool map_key_ = false;
    std::optional<EncoderError> error_;
};

// Encodes `value` into a new text, or returns the first encoder error.
template <Encodable T>
Result<Text, EncoderError> encode(const T& value) {
    Text out;
    Encoder encoder(out);
    value.encode(encoder);
    if (auto error = encoder.error()) return *error;
    return out;
}

}  // namespace mirelo::json
