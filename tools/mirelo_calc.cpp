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
// Exit status: 0 success, 1 the calculation stopped (empty result) or
// standard output could not be written, 2 the arguments were refused (null
// result, or a path that is not UTF-8 for a dump), 64 bad usage.
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "lib.hpp"
#include "mirelo.h"
#include "shared_error.hpp"
#include "tree.hpp"

namespace {

constexpr int EXIT_STOPPED = 1;
constexpr int EXIT_REFUSED = 2;
constexpr int EXIT_USAGE = 64;

void usage(std::FILE* stream, const char* argv0) {
    std::fprintf(stream,
                 "usage: %s [--dump-text] [--dump-xml FILE] PROJECT.xml [LIBRARY.xml ...]\n"
                 "       %s --help | --version\n"
                 "  without options: the JSON result on standard output\n"
                 "  --dump-text:     a text dump of the calculated tree on standard output\n"
                 "  --dump-xml FILE: an XML dump of the calculated tree into FILE\n"
                 "  --help:          this text\n"
                 "  --version:       the version of the mirelo code it was built with\n",
                 argv0, argv0);
}

// A usage error: what was wrong, then the usage, both on standard error.
int bad_usage(const char* argv0, const std::string& problem) {
    std::fprintf(stderr, "%s: %s\n", argv0, problem.c_str());
    usage(stderr, argv0);
    return EXIT_USAGE;
}

int run_json(const std::string& project, const std::vector<std::string>& libraries) {
    std::vector<const char*> paths;
    paths.reserve(libraries.size());
    for (const std::string& path : libraries) paths.push_back(path.c_str());
    const char* result = process_xml_file_to_json(project.c_str(), paths.data(), paths.size());
    if (result == nullptr) return EXIT_REFUSED;
    size_t length = std::strlen(result);
    bool written = length == 0 || (std::fwrite(result, 1, length, stdout) == length &&
                                   std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0);
    free_string(const_cast<char*>(result));
    if (!written) {
        std::perror("mirelo-calc: writing the result");
        return EXIT_STOPPED;
    }
    return length == 0 ? EXIT_STOPPED : 0;
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
        mirelo::RootNode root = mirelo::calculated_tree(project, libraries);
        if (dump_text) {
            root.print(0, true);
            if (std::fflush(stdout) != 0) mirelo::fatal("failed printing to stdout");
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
            usage(stdout, argv[0]);
            return std::fflush(stdout) == 0 ? 0 : EXIT_STOPPED;
        } else if (arg == "--version") {
            std::printf("mirelo %d.%d.%d\n", MIRELO_VERSION_MAJOR, MIRELO_VERSION_MINOR, MIRELO_VERSION_PATCH);
            return std::fflush(stdout) == 0 ? 0 : EXIT_STOPPED;
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
