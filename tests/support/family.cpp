#include "family.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace mirelo::testing {

namespace {

// `before`, `text` and `after` in one text. (Built by appending: g++ 12
// warns wrongly about overlapping copies in the chained operator+.)
std::string wrapped(std::string_view before, std::string_view text, std::string_view after) {
    std::string out(before);
    out += text;
    out += after;
    return out;
}

// The record elements `<Name .../>` of `text`, in order, with their places.
struct Tag {
    size_t begin;
    size_t end;  // one past "/>"
    std::string text;
};

std::vector<Tag> tags_named(std::string_view text, std::string_view name) {
    const std::string open = wrapped("<", name, " ");
    std::vector<Tag> tags;
    for (size_t at = text.find(open); at != std::string_view::npos; at = text.find(open, at)) {
        const size_t close = text.find("/>", at);
        if (close == std::string_view::npos) throw std::runtime_error("unclosed " + open);
        tags.push_back({at, close + 2, std::string(text.substr(at, close + 2 - at))});
        at = close + 2;
    }
    if (tags.empty()) throw std::runtime_error("the example holds no " + open);
    return tags;
}

// `tag` with the value of its attribute `name` replaced.
std::string with_attribute(std::string tag, std::string_view name, std::string_view value) {
    const std::string key = wrapped(" ", name, "=\"");
    const size_t at = tag.find(key);
    if (at == std::string::npos) throw std::runtime_error("no attribute " + std::string(name));
    const size_t from = at + key.size();
    tag.replace(from, tag.find('"', from) - from, value);
    return tag;
}

std::string without_attribute(std::string tag, std::string_view name) {
    const std::string key = wrapped(" ", name, "=\"");
    const size_t at = tag.find(key);
    if (at == std::string::npos) throw std::runtime_error("no attribute " + std::string(name));
    tag.erase(at, tag.find('"', at + key.size()) + 1 - at);
    return tag;
}

std::string attribute(const std::string& tag, std::string_view name) {
    const std::string key = wrapped(" ", name, "=\"");
    const size_t from = tag.find(key) + key.size();
    return tag.substr(from, tag.find('"', from) - from);
}

std::string reshaped_project(const ProjectShape& shape, std::string_view example) {
    const std::vector<Tag> elements = tags_named(example, "Elements");
    const std::vector<Tag> buildings = tags_named(example, "Buildings");
    std::string out(example.substr(0, buildings.front().begin));
    for (int b = 1; b <= shape.buildings; ++b) {
        std::string building =
            with_attribute(buildings.front().text, "CalculationTimeSpan", std::to_string(shape.years));
        out += with_attribute(building, "ID", std::to_string(b));
        out += "\n  ";
    }
    out += example.substr(buildings.front().end, elements.front().begin - buildings.front().end);
    for (int i = 0; i < shape.elements; ++i) {
        std::string element = elements[static_cast<size_t>(i) % elements.size()].text;
        if (!shape.element_texts) element = without_attribute(without_attribute(element, "Name"), "Comment");
        out += with_attribute(element, "ID", std::to_string(i + 1));
        out += "\n  ";
    }
    out += example.substr(elements.back().end);
    return out;
}

// The lifespan of the `k`-th product link (counted over the whole database)
// under `lifespans`; nothing for the example's own.
const char* lifespan_of(Lifespans lifespans, size_t k) {
    static constexpr const char* SHORT[] = {"10", "11", "12", "13", "14", "15"};
    static constexpr const char* MIXED[] = {"10", "100", "25", "60", "15", "80", "40", "20", "50", "30"};
    switch (lifespans) {
        case Lifespans::Short:
            return SHORT[k % std::size(SHORT)];
        case Lifespans::Mixed:
            return MIXED[k % std::size(MIXED)];
        case Lifespans::Example:
            break;
    }
    return nullptr;
}

std::string reshaped_generic(const ProjectShape& shape, std::string_view example) {
    if (shape.products_per_construction == 0 && shape.lifespans == Lifespans::Example) return std::string(example);
    const std::vector<Tag> links = tags_named(example, "ProductLinks");
    const std::vector<Tag> constructions = tags_named(example, "Constructions");
    const size_t products = tags_named(example, "Products").size();
    static constexpr const char* LIFESPANS[] = {"20", "25", "30", "40", "50", "60"};
    size_t link_count = 0;
    const auto lifespan = [&](size_t k) {
        const char* chosen = lifespan_of(shape.lifespans, link_count++);
        return chosen ? chosen : LIFESPANS[k % 6];
    };
    // The example's own links, with the chosen lifespans.
    std::string out(example.substr(0, links.front().begin));
    for (size_t i = 0; i < links.size(); ++i) {
        if (i > 0) out += example.substr(links[i - 1].end, links[i].begin - links[i - 1].end);
        const char* chosen = lifespan_of(shape.lifespans, link_count++);
        out += chosen ? with_attribute(links[i].text, "Lifespan", chosen) : links[i].text;
    }
    int next_id = 0;
    for (const Tag& link : links) next_id = std::max(next_id, std::stoi(attribute(link.text, "ID")));
    for (const Tag& construction : constructions) {
        const std::string id = attribute(construction.text, "ID");
        int count = 0;
        for (const Tag& link : links) count += attribute(link.text, "ConstructionID") == id ? 1 : 0;
        for (int k = count; k < shape.products_per_construction; ++k) {
            const size_t product = (static_cast<size_t>(std::stoi(id)) + static_cast<size_t>(k)) % products + 1;
            out += "\n  <ProductLinks ID=\"" + std::to_string(++next_id) + "\" ConstructionID=\"" + id +
                   "\" ProductLink=\"0:" + std::to_string(product) + "\" Order=\"" + std::to_string(k + 1) +
                   "\" Amount=\"1.5\" Density=\"500\" Lifespan=\"" + lifespan(static_cast<size_t>(k)) +
                   "\" Transport=\"50\"/>";
        }
    }
    out += example.substr(links.back().end);
    return out;
}

}  // namespace

GeneratedInput realistic_input(const ProjectShape& shape, std::string_view example_project,
                               std::string_view example_generic) {
    return {reshaped_project(shape, example_project), reshaped_generic(shape, example_generic)};
}

std::string describe(const ProjectShape& shape) {
    std::string text = std::to_string(shape.elements) + " elements, " + std::to_string(shape.years) + " years";
    if (shape.products_per_construction != 0) {
        text += ", " + std::to_string(shape.products_per_construction) + " products per construction";
    }
    if (shape.lifespans == Lifespans::Short) text += ", lifespans 10-15";
    if (shape.lifespans == Lifespans::Mixed) text += ", lifespans 10-100";
    if (shape.buildings != 1) text += ", " + std::to_string(shape.buildings) + " buildings";
    if (!shape.element_texts) text += ", elements without name and comment";
    return text;
}

}  // namespace mirelo::testing
