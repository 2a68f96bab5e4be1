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

// The name the tool was started under, as the first word of its messages
// and in its usage. Escaped like every diagnostic, so that a name cannot
// forge a line of its own.
std::string program;

// False when the text could not be written.
bool usage(std::FILE* stream) {
    const char* name = program.c_str();
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
                        "                       %llu bytes and %llu x the bytes read from the input files\n",
                        name, name, static_cast<unsigned long long>(mirelo::budget::MIN_LIMIT),
                        static_cast<unsigned long long>(mirelo::budget::BYTES_PER_INPUT_BYTE)) >= 0;
}

// A usage error: what was wrong, then the usage, both on standard error.
int bad_usage(const std::string& problem) {
    mirelo::print_stderr_line(program + ": ", problem);
    usage(stderr);
    return EXIT_USAGE;
}

// Flushes standard output once `written` says the writes before went well.
// A failure is named on standard error, "<program>: writing the WHAT: " and
// the system's reason, and is the status of an output not written.
int flushed(bool written, const char* what) {
    if (written && std::fflush(stdout) == 0) return 0;
    const int err = errno;
    mirelo::print_stderr_line(program + ": writing the " + what + ": ", mirelo::os_error_text(err));
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
        // The same road as the exported call's, under the limit the host set.
        const mirelo::Calculation calculation(mirelo::budget::limit_from_environment(), project, libraries);
        if (dump_text) {
            calculation.root().print(0, true);
            if (std::fflush(stdout) != 0) {
                const int err = errno;
                mirelo::fatal("failed printing to stdout: " + mirelo::os_error_text(err));
            }
        }
        if (dump_xml) mirelo::tree::write_xml_dump(calculation.root(), *dump_xml);
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
    program = mirelo::escaped_text(argc > 0 && argv[0] != nullptr ? argv[0] : "mirelo-calc");
    bool dump_text = false;
    std::optional<std::string> dump_xml;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--dump-text") {
            dump_text = true;
        } else if (arg == "--dump-xml") {
            if (i + 1 >= argc) return bad_usage("option '--dump-xml' needs a file name");
            dump_xml = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            return flushed(usage(stdout), "usage");
        } else if (arg == "--version") {
            return flushed(std::printf("mirelo %d.%d.%d\n", MIRELO_VERSION_MAJOR, MIRELO_VERSION_MINOR,
                                       MIRELO_VERSION_PATCH) >= 0,
                           "version");
        } else if (arg == "--") {
            for (++i; i < argc; ++i) files.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad_usage("unknown option '" + arg + "'");
        } else {
            files.push_back(std::move(arg));
        }
    }
    if (files.empty()) return bad_usage("no project file given");
    std::string project = files.front();
    std::vector<std::string> libraries(files.begin() + 1, files.end());
    if (dump_text || dump_xml) return run_dumps(project, libraries, dump_text, dump_xml);
    return run_json(project, libraries);
}
