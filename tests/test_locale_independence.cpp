// The result of a call depends on its input files alone: not on the locales
// installed on the machine nor on the locale settings of the process.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "test_support.hpp"

namespace {

using mirelo::testing::bad_input_path;
using mirelo::testing::read_file;
using mirelo::testing::TempDir;

std::string calculate(const std::string& project, const std::string& library) {
    const mirelo::testing::CallResult result = mirelo::testing::call_exported(project, {library});
    return result.null ? "(null)" : result.text;
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The front wall's brick: 50 x 100 kg, or 1800 times that when the stage's
// two units were taken for different ones and the density applied.
constexpr const char* kUnitsEqual = "\"calc_indicator_amount_a1_3\":5000.0";

// A child runs this test again from its start up to the statement; it finds
// the parent's files through this variable and makes none of its own.
constexpr const char* kParentDir = "MIRELO_TEST_LOCALE_DIR";

TEST(LocaleIndependence, UnitsCompareTheSameWithoutAnyInstalledLocale) {
    const char* parent_dir = std::getenv(kParentDir);
    std::optional<TempDir> own;
    if (!parent_dir) own.emplace();
    const std::filesystem::path dir = parent_dir ? std::filesystem::path(parent_dir) : own->path();
    const std::string project = bad_input_path("base_project.xml");
    const std::string library = (dir / "generic.xml").string();
    const std::string out = (dir / "child.json").string();
    const std::filesystem::path no_locales = dir / "no_locales";
    if (!parent_dir) {
        std::string generic = read_file(bad_input_path("base_generic.xml"));
        const std::string units = R"(StageUnit="kg" IndicatorUnit="kg" Factor="1" Density="1800")";
        const size_t at = generic.find(units);
        ASSERT_NE(at, std::string::npos);
        // KELVIN SIGN, then capitals: "kilogram" in the locale-free lower
        // case; a Turkish rule would turn the capital I into a dotless i.
        generic.replace(at, std::string_view(R"(StageUnit="kg" IndicatorUnit="kg")").size(),
                        "StageUnit=\"kilogram\" IndicatorUnit=\"\xE2\x84\xAAILOGRAM\"");
        own->write("generic.xml", generic);
        std::filesystem::create_directory(no_locales);
    }

    const std::string expected = calculate(project, library);
    ASSERT_NE(expected.find(kUnitsEqual), std::string::npos) << expected.substr(0, 200);

    // Each child is a fresh process, so nothing the parent loaded or cached
    // carries over into it; LOCPATH leaves it without any installed locale.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedEnv shared(kParentDir, dir.string());
    ScopedEnv locpath("LOCPATH", no_locales.string());
    for (const char* locale : {"C", "C.UTF-8", "tr_TR.UTF-8"}) {
        SCOPED_TRACE(locale);
        ScopedEnv lc_all("LC_ALL", locale);
        ScopedEnv lang("LANG", locale);
        std::filesystem::remove(out);  // what is compared below comes from this child alone
        EXPECT_EXIT(
            {
                std::setlocale(LC_ALL, "");
                std::ofstream(out, std::ios::binary) << calculate(project, library);
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_TRUE(read_file(out) == expected) << read_file(out).substr(0, 200);
    }
}

}  // namespace
