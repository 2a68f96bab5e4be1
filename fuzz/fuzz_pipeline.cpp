// libFuzzer target: the whole pipeline, as a host reaches it, on arbitrary
// input files. The first byte chooses the road, the rest is the file:
//   even: the rest is the project file, read beside the example generic
//         database;
//   odd:  the rest is a library file, read after the example project
//         (which then has no generic database but what the bytes bring).
// Every input must end in a JSON text or the empty text: never a crash, a
// sanitizer report, a hang or a NULL result.
//
// The example directory is compiled in (MIRELO_EXAMPLES_DIR) or taken from
// the environment variable of the same name.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mirelo.h"

namespace {

std::string examples_dir() {
    if (const char* dir = std::getenv("MIRELO_EXAMPLES_DIR")) return dir;
#ifdef MIRELO_EXAMPLES_DIR
    return MIRELO_EXAMPLES_DIR;
#else
    return "examples";
#endif
}

struct Paths {
    std::string project;
    std::string generic;
    std::string input;  // rewritten for every input
};

Paths* paths = nullptr;

bool write_input(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    paths = new Paths;
    paths->project = examples_dir() + "/project.xml";
    paths->generic = examples_dir() + "/generic_db.xml";
    if (access(paths->project.c_str(), R_OK) != 0 || access(paths->generic.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "fuzz_pipeline: example files not found under %s\n", examples_dir().c_str());
        std::abort();
    }
    const char* tmp = std::getenv("TMPDIR");
    paths->input = std::string(tmp && *tmp ? tmp : "/tmp") + "/mirelo-fuzz-" + std::to_string(getpid()) + ".xml";
    std::atexit([] { unlink(paths->input.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool as_library = (data[0] & 1) != 0;
    if (!write_input(paths->input, data + 1, size - 1)) std::abort();

    const char* project = as_library ? paths->project.c_str() : paths->input.c_str();
    const char* library = as_library ? paths->input.c_str() : paths->generic.c_str();
    const char* const libraries[] = {library};
    const char* result = process_xml_file_to_json(project, libraries, 1);

    // The paths are valid UTF-8, so only a JSON object or the empty text may come back.
    if (result == nullptr) std::abort();
    const size_t length = std::strlen(result);
    if (length != 0 && (result[0] != '{' || result[length - 1] != '}')) std::abort();
    free_string(const_cast<char*>(result));
    return 0;
}
