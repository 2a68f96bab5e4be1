// Error values of the calculation and the one fatal stop of a call.
//
// A calculation error is a `SharedError` value returned up the tree walk.
// A fatal stop (a malformed input value, a missing record, a failed check)
// ends the whole call: it is thrown as `FatalStop` and caught only by the
// worker guard in lib.cpp, which turns it into the empty result.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace mirelo {

// An input/output error of the platform: its error number and its text.
struct IoError {
    int code = 0;
    std::string message;
};

class SharedError {
public:
    enum class Kind : int32_t {
        Io = 0,
        CFFITypeError = 1,
        MissingStage = 2,
        MissingIndicator = 3,
        MissingIndicatorGroup = 4,
        SkippingStageCalculation = 5,
    };

    static SharedError io(IoError error);
    static SharedError cffi_type_error(std::string message);
    static SharedError missing_stage(std::string message);
    static SharedError missing_indicator(std::string message);
    static SharedError missing_indicator_group(std::string message);
    static SharedError skipping_stage_calculation(std::string message);

    Kind kind() const { return kind_; }
    // The payload text alone (the I/O error's own text for `Io`).
    const std::string& display() const;
    // The short description: the same text as `display`.
    const std::string& description() const { return display(); }
    // Variant name and the payload's quoted, escaped form: MissingStage("...").
    std::string debug() const;
    // A distinct number per variant; NO_ERROR_INT stands for "no error".
    int32_t get_error_number() const { return static_cast<int32_t>(kind_) + 1; }

private:
    SharedError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    int io_code_ = 0;
};

inline constexpr int32_t NO_ERROR_INT = 0;

// The platform's text of an error number and the number itself:
// "No such file or directory (os error 2)".
std::string os_error_text(int err);

// Success, or the first calculation error.
using Status = std::optional<SharedError>;

// A value, or an error (a minimal stand-in for std::expected).
template <class T, class E = SharedError>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// The fatal stop. `message` is the stop's own text (hosts search for it);
// `context` says where in the input it happened and grows as the stop
// travels outwards through the reader and the tree construction.
class FatalStop : public std::exception {
public:
    explicit FatalStop(std::string message);
    const std::string& message() const { return message_; }
    const std::string& context() const { return context_; }
    // Appends one location part ("file a.xml:3:7", "element Buildings", ...).
    void add_context(std::string_view part);
    // The message, then the context parts in parentheses when there are any.
    const char* what() const noexcept override { return full_.c_str(); }

private:
    void rebuild();
    std::string message_;
    std::string context_;
    std::string full_;
};

[[noreturn]] void fatal(std::string message);

}  // namespace mirelo
