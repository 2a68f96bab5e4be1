// The library as a host sees it: loaded at run time, reached only through
// the two exported C functions.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "files.hpp"
#include "mirelo.h"

namespace {

using mirelo::testing::capture_fd;

using ProcessFn = decltype(&process_xml_file_to_json);
using FreeFn = decltype(&free_string);

struct Library {
    void* handle = nullptr;
    ProcessFn process = nullptr;
    FreeFn free = nullptr;

    Library() {
        handle = dlopen(MIRELO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        process = reinterpret_cast<ProcessFn>(dlsym(handle, "process_xml_file_to_json"));
        free = reinterpret_cast<FreeFn>(dlsym(handle, "free_string"));
    }
    ~Library() {
        if (handle) dlclose(handle);
    }
};

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lib_.handle, nullptr) << dlerror();
        ASSERT_NE(lib_.process, nullptr);
        ASSERT_NE(lib_.free, nullptr);
    }

    // Null result kept apart from the empty text.
    struct Result {
        bool null = true;
        std::string text;
    };
    Result call(const char* project, const std::vector<const char*>& libraries) {
        const char* out = lib_.process(project, libraries.data(), libraries.size());
        Result result;
        if (out) {
            result.null = false;
            result.text = out;
            lib_.free(const_cast<char*>(out));
        }
        return result;
    }

    Library lib_;
};

const std::string PROJECT = std::string(MIRELO_EXAMPLES_DIR) + "/project.xml";
const std::string GENERIC = std::string(MIRELO_EXAMPLES_DIR) + "/generic_db.xml";

TEST_F(HostTest, InvalidUtf8ProjectPathGivesNullAndTwoLines) {
    Result result;
    result.null = false;
    std::string err = capture_fd(2, [&] { result = call("abc\xff/project.xml", {GENERIC.c_str()}); });
    EXPECT_TRUE(result.null);
    EXPECT_EQ(err, "Error: invalid utf-8: invalid byte near index 3\nError: Error parsing input_xml_path\n");
}

TEST_F(HostTest, MissingProjectFileGivesEmptyText) {
    const char* out = reinterpret_cast<const char*>(1);
    std::string err = capture_fd(2, [&] {
        out = lib_.process("/nonexistent/mirelo/project.xml", nullptr, 0);
    });
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "");
    lib_.free(const_cast<char*>(out));
    EXPECT_EQ(err.rfind("Error: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;

    lib_.free(nullptr);
}

TEST_F(HostTest, ConcurrentCallsMatchASequentialCall) {
    const std::vector<const char*> libraries = {GENERIC.c_str()};
    Result expected = call(PROJECT.c_str(), libraries);
    ASSERT_FALSE(expected.null);
    ASSERT_FALSE(expected.text.empty());
    EXPECT_EQ(expected.text.front(), '{');

    constexpr int THREADS = 8;
    std::vector<Result> results(THREADS);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&, i] { results[i] = call(PROJECT.c_str(), libraries); });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < THREADS; ++i) {
        EXPECT_FALSE(results[i].null) << i;
        EXPECT_EQ(results[i].text, expected.text) << i;
    }
}

// Whether the library's file is mapped into this process.
bool library_mapped() {
    char real[PATH_MAX];
    if (!realpath(MIRELO_SHARED_LIBRARY, real)) return false;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const std::string suffix = std::string(" ") + real;
    while (std::getline(maps, line)) {
        if (line.size() >= suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return false;
}

// A host that loads the library, calls it and closes it gets its address
// space back: nothing in the library (a unique global symbol, a
// thread-local destructor) may pin it.
TEST(HostUnload, DlcloseUnmapsTheLibraryAfterACall) {
    ASSERT_FALSE(library_mapped()) << "mapped before the test opened it";
    void* handle = dlopen(MIRELO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_TRUE(library_mapped());
    auto process = reinterpret_cast<ProcessFn>(dlsym(handle, "process_xml_file_to_json"));
    auto release = reinterpret_cast<FreeFn>(dlsym(handle, "free_string"));
    ASSERT_NE(process, nullptr);
    ASSERT_NE(release, nullptr);
    const char* libraries[] = {GENERIC.c_str()};
    const char* out = process(PROJECT.c_str(), libraries, 1);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], '{');
    release(const_cast<char*>(out));

    ASSERT_EQ(dlclose(handle), 0) << dlerror();
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(dlopen(MIRELO_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
