// Inputs of the shape real projects have, at any size: the bundled example's
// elements repeated under new IDs, over a chosen period, optionally with
// constructions of many products and with further buildings. The tests and
// the benchmark measure the memory budget on them. Nothing of the library is
// used here, so the host tests and the benchmark can share it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mirelo::testing {

// The lifespans of the product links: the example's own (10 to 120 years,
// added links 20 to 60), short ones of 10 to 15 years, or a mix of 10 to
// 100. Short lifespans over a long period mean many replacements, and each
// is a year of results in every product of every element.
enum class Lifespans { Example, Short, Mixed };

struct ProjectShape {
    int elements = 7;                   // the example's seven elements, repeated in turn
    uint32_t years = 50;                // the calculation period
    int products_per_construction = 0;  // 0 keeps the example's constructions (1 to 4 products)
    int buildings = 1;                  // every building carries every element
    bool element_texts = true;          // false leaves out each element's name and comment
    Lifespans lifespans = Lifespans::Example;
};

struct GeneratedInput {
    std::string project;
    std::string generic;
};

// The example project and generic database (their texts), reshaped.
GeneratedInput realistic_input(const ProjectShape& shape, std::string_view example_project,
                               std::string_view example_generic);

// "1000 elements, 200 years, 12 products per construction, lifespans 10-15, 3 buildings",
// naming only what differs from the example.
std::string describe(const ProjectShape& shape);

}  // namespace mirelo::testing
