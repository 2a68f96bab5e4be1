// The pipeline of one call, step by step, and the guard that runs it on a
// worker thread. The exported C functions (mirelo.h) sit on top of these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "budget.hpp"
#include "json.hpp"
#include "parser.hpp"
#include "tree.hpp"

namespace mirelo {

// Reads the project file, then each library file in order, and checks the tables.
Parser read_inputs(const std::string& project_xml_path, const std::vector<std::string>& library_xml_paths);
// Builds the calculation tree from the tables (taking them over).
RootNode build_tree(Parser parser);
// Calculates the root's first building and, when no product failed, adds
// the results up its tree. A product error is written to standard error as
// one "Error: " line; a root without buildings is a fatal stop.
void calculate_first_building(RootNode& root);
// The tree built from the tables read and calculated, without a memory
// limit of its own.
RootNode calculated_tree(Parser parser);

// The road every calculation takes, the JSON of `process` and the
// inspection dumps alike, from the memory limit to the calculated tree:
// given the limit, it reads the files and checks the tables, then builds
// and calculates the tree under that limit (budget.hpp), the limit's rule
// taking the bytes read. What the holder makes of the tree while it lives
// (the JSON text, a dump) is charged to the same limit. A limit cannot be
// had without reading it first, so a limit that is not a byte count stops
// a call before any file is read.
class Calculation {
public:
    Calculation(budget::Limit limit, const std::string& project_xml_path,
                const std::vector<std::string>& library_xml_paths);
    Calculation(const Calculation&) = delete;
    Calculation& operator=(const Calculation&) = delete;

    const RootNode& root() const { return root_; }

private:
    Calculation(budget::Limit limit, Parser parser);

    // Declared first: the tree's charges are given back before it ends.
    budget::Scope scope_;
    RootNode root_;
};
// The compact JSON document of the tree; an encoder error is a fatal stop.
json::Text encode_tree(const RootNode& root);

// The pipeline: the JSON text of the calculated tree, also written to
// `output_path` when that is not empty. Fatal stops propagate as FatalStop.
// Once the files are read, the call holds at most `limit` (budget.hpp) of
// tree and text; `{}` is the default rule on the bytes read.
json::Text process(const std::string& project_xml_path, const std::vector<std::string>& library_xml_paths,
                   const std::string& output_path, budget::Limit limit);

// Reads the memory limit the host set (budget::limit_from_environment) on
// the calling thread, then runs `process` on a new thread with a 2 MiB
// stack and waits for it.
// Returns its text, or the empty text when the limit is not a byte count or
// the worker ended in a fatal stop (or anything else escaped it, memory
// running out included); the reason goes to standard error as one line. The
// thread blocks SIGPIPE, so that a closed standard output is a failed
// write, not the end of the host. The wait for the worker is a
// cancellation point: call it with cancellation of the calling thread
// disabled, as the C entry does.
json::Text safe_process(const std::string& project_xml_path, const std::vector<std::string>& library_xml_paths,
                        const std::string& output_path);

// Whether `path` is valid UTF-8, as every path given to the exported
// function must be. When it is not, the path is refused: two "Error: "
// lines naming the argument `what` go to standard error.
bool accept_utf8_path(std::string_view path, const char* what) noexcept;

// Writes the one "Error: fatal: " line of the exception being handled (a
// fatal stop, memory running out, anything else); call it only from a catch
// block. It allocates nothing, so it also works when memory ran out.
void report_current_exception() noexcept;

// Creates or truncates `file_path` and writes `payload`; fatal stop on any failure.
void write_payload_to_file(std::string_view payload, const std::string& file_path);

}  // namespace mirelo
