// Logging facade of the reader, and the lines the library writes to the
// standard streams itself.
//
// No logger is installed by default, so every log record is dropped without
// being formatted; a host (or a test) of the C++ API installs one with
// `set_logger`. Log records never reach standard output or standard error:
// only the print_* functions below write there.
#pragma once

#include <string>
#include <string_view>

namespace mirelo {

enum class LogLevel { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view LOG_TARGET_PARSER = "mirelo::parser";
inline constexpr std::string_view LOG_TARGET_STAGE = "mirelo::datamodel_stage";
inline constexpr std::string_view LOG_TARGET_ELEMENT = "mirelo::datamodel_element";

// Receives every record at or above the installed maximum level. It may be
// called from several worker threads at once and must be thread-safe.
using LogSink = void (*)(void* user, LogLevel level, std::string_view target, std::string_view text);

// Installs `sink` (nullptr removes it) for records up to `max_level`.
void set_logger(LogSink sink, void* user, LogLevel max_level = LogLevel::Trace);

// True when a record of this level would reach a logger: callers test it
// before building a record's text, so a silent facade costs nothing.
bool log_enabled(LogLevel level);

void log_record(LogLevel level, std::string_view target, std::string_view text);

// Writes one line and a line feed to standard output through its stdio
// buffer (the text dump); a failed write is the fatal stop
// "failed printing to stdout: " and the error.
void print_stdout_line(std::string_view line);

// Diagnostic lines, on standard error ("Error: ") and standard output
// ("Skipping: "), are one line each, whatever input text they quote: a line
// feed is written as \n, a carriage return as \r and every other control
// character but tab (U+0000 to U+001F, U+007F) as \u and four lower-case hex
// digits. Every other byte, tab and backslash included, is written as it is.
// The library's own texts hold no control characters, so the whole line is
// escaped where it is written; log records stay as they are.

// Writes one diagnostic line and a line feed to standard error with one
// write call, however many control characters it holds, so that lines of
// concurrent calls never mix (a pipe keeps a write whole up to PIPE_BUF
// bytes). The line is gathered as 64 pieces on the stack, runs of text and
// escapes, without allocating (it also reports memory running out): in the
// worst case one run and one escape per control character, plus the prefix,
// the last run and the line feed, so a line of up to thirty control
// characters always fits. A longer one is escaped into one allocated buffer
// first, and only when that cannot be had is it written in several writes.
// A failure is ignored.
// SIGPIPE is held back from the calling thread while it writes, so that a
// standard error without a reader cannot end the host. The second form
// writes `prefix` and `text` as one line.
void print_stderr_line(std::string_view line);
void print_stderr_line(std::string_view prefix, std::string_view text);

// `text` escaped as the diagnostic lines escape what they quote, for a
// caller that writes such a text itself.
std::string escaped_text(std::string_view text);

// The "Skipping: " text of an attribute that a record type does not know,
// as log records carry it: Skipping: name = "value"
std::string skipping_text(std::string_view name, std::string_view value);
// Writes that text, escaped, as one line to standard output with one write
// call, as a line on standard error is written (without allocating up to
// twenty-nine control characters in the name and the value together): under
// the stream's lock, what its buffer already holds is flushed first, so that
// the host's own output keeps its order, then the whole line goes to the
// stream's file descriptor. A stream without one (fileno -1) gets the line
// through its buffer, flushed at once. Either way the line is out when the
// call goes on, and a failure is noticed at once, whatever the line's
// length: the fatal stop "failed printing to stdout: " and the error.
void print_skipping_line(std::string_view name, std::string_view value);

}  // namespace mirelo
