// mirelo-calc: runs one calculation from the command line. It links the
// library's code statically, not libmirelo.so: the dumps need functions that
// the shared library keeps to itself.
//
//   mirelo-calc PROJECT.xml [LIBRARY.xml ...]
//       writes the JSON result and a line feed to standard output, through
//       the exported C interface exactly as a host would call it;
//   mirelo-calc --dump-text PROJECT.xml [LIBRARY.xml ...]
//   mirelo-calc --dump-xml FILE PROJECT.xml [LIBRARY.xml ...]
//       calculate the same tree and write it as a text dump to standard
//       output, or as an XML dump to FILE, instead of the JSON;
//   mirelo-calc --help | --version
//       the usage, or the version of the library code it was built with,
//       on standard output.
//
// The calculation holds at most the memory limit that MIRELO_MEMORY_LIMIT
// sets, as a call through the C interface does; the dumps too.
//
// Exit status: 0 success, 1 the calculation stopped (empty result) or
// standard output could not be written, 2 the arguments were refused (null
// result, or a path that is not UTF-8 for a dump), 64 bad usage. A standard
// output that cannot be written is named on standard error, whatever was
// being written; one whose reader has gone is such an output too (SIGPIPE
// is ignored), not a signal that ends the tool.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "budget.hpp"
#include "lib.hpp"
#include "log.hpp"
#include "mirelo.h"
#include "shared_error.hpp"
#include "tree.hpp"

namespace {

constexpr int EXIT_STOPPED = 1;
constexpr int EXIT_REFUSED = 2;
constexpr int EXIT_USAGE = 64;

// False when the text could not be written.
bool usage(std::FILE* stream, const char* argv0) {
    return std::fprintf(stream,
                        "usage: %s [--dump-text] [--dump-xml FILE] PROJECT.xml [LIBRARY.xml ...]\n"
                        "       %s --help | --version\n"
                        "  without options: the JSON result on standard output\n"
                        "  --dump-text:     a text dump of the calculated tree on standard output\n"
                        "  --dump-xml FILE: an XML dump of the calculated tree into FILE\n"
                        "  --help:          this text\n"
                        "  --version:       the version of the mirelo code it was built with\n"
                        "environment:\n"
                        "  MIRELO_MEMORY_LIMIT  the most memory the calculation may hold, in bytes or with\n"
                        "                       K, M, G or T (512M, 8G); 0: no limit; unset: the larger of\n"
                        "                       1 GiB and %llu x the bytes read from the input files\n",
                        argv0, argv0, static_cast<unsigned long long>(mirelo::budget::BYTES_PER_INPUT_BYTE)) >= 0;
}

// A usage error: what was wrong, then the usage, both on standard error.
// The problem may quote an argument, so it is escaped as every diagnostic
// line is: an argument cannot forge a line of its own.
int bad_usage(const char* argv0, const std::string& problem) {
    mirelo::print_stderr_line(std::string(argv0) + ": ", problem);
    usage(stderr, argv0);
    return EXIT_USAGE;
}

// Flushes standard output once `written` says the writes before went well.
// A failure is named on standard error, "mirelo-calc: writing the WHAT: "
// and the reason, and is the status of an output not written.
int flushed(bool written, const char* what) {
    if (written && std::fflush(stdout) == 0) return 0;
    const int err = errno;
    std::fprintf(stderr, "mirelo-calc: writing the %s: %s\n", what, std::strerror(err));
    return EXIT_STOPPED;
}

int run_json(const std::string& project, const std::vector<std::string>& libraries) {
    std::vector<const char*> paths;
    paths.reserve(libraries.size());
    for (const std::string& path : libraries) paths.push_back(path.c_str());
    const char* result = process_xml_file_to_json(project.c_str(), paths.data(), paths.size());
    if (result == nullptr) return EXIT_REFUSED;
    const size_t length = std::strlen(result);
    const int status = length == 0 ? EXIT_STOPPED
                                   : flushed(std::fwrite(result, 1, length, stdout) == length &&
                                                 std::fputc('\n', stdout) != EOF,
                                             "result");
    free_string(const_cast<char*>(result));
    return status;
}

// The dumps run on this thread, outside the worker guard of the C entry, so
// their stops are caught here.
int run_dumps(const std::string& project, const std::vector<std::string>& libraries, bool dump_text,
              const std::optional<std::string>& dump_xml) {
    // The paths are refused as the exported function refuses them.
    if (!mirelo::accept_utf8_path(project, "input_xml_path")) return EXIT_REFUSED;
    for (const std::string& path : libraries) {
        if (!mirelo::accept_utf8_path(path, "library_xml_paths")) return EXIT_REFUSED;
    }
    try {
        // The same memory limit as the JSON road's, read before any file.
        mirelo::budget::Limit limit = mirelo::budget::limit_from_environment();
        mirelo::Parser parser = mirelo::read_inputs(project, libraries);
        const mirelo::budget::Scope budget(parser.bytes_read(), std::move(limit));
        mirelo::RootNode root = mirelo::calculated_tree(std::move(parser));
        if (dump_text) {
            root.print(0, true);
            if (std::fflush(stdout) != 0) {
                const int err = errno;
                mirelo::fatal("failed printing to stdout: " + mirelo::os_error_text(err));
            }
        }
        if (dump_xml) mirelo::tree::write_xml_dump(root, *dump_xml);
        return 0;
    } catch (...) {
        mirelo::report_current_exception();
    }
    return EXIT_STOPPED;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that has gone makes a write fail with EPIPE, reported like
    // every other failed write, instead of ending the tool without a word.
    std::signal(SIGPIPE, SIG_IGN);
    bool dump_text = false;
    std::optional<std::string> dump_xml;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--dump-text") {
            dump_text = true;
        } else if (arg == "--dump-xml") {
            if (i + 1 >= argc) return bad_usage(argv[0], "option '--dump-xml' needs a file name");
            dump_xml = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            return flushed(usage(stdout, argv[0]), "usage");
        } else if (arg == "--version") {
            return flushed(std::printf("mirelo %d.%d.%d\n", MIRELO_VERSION_MAJOR, MIRELO_VERSION_MINOR,
                                       MIRELO_VERSION_PATCH) >= 0,
                           "version");
        } else if (arg == "--") {
            for (++i; i < argc; ++i) files.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad_usage(argv[0], "unknown option '" + arg + "'");
        } else {
            files.push_back(std::move(arg));
        }
    }
    if (files.empty()) return bad_usage(argv[0], "no project file given");
    std::string project = files.front();
    std::vector<std::string> libraries(files.begin() + 1, files.end());
    if (dump_text || dump_xml) return run_dumps(project, libraries, dump_text, dump_xml);
    return run_json(project, libraries);
}
