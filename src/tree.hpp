// The calculation tree: its constants, the root node, the interface every
// node type offers, and the helpers of the two inspection dumps.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tree_building.hpp"
#include "tree_constants.hpp"
#include "xml_writer.hpp"

namespace mirelo {

class Parser;

// What every node type offers: the text dump and the XML dump of itself
// and its subtree. Both only read the tree.
template <class N>
concept TreeNodeTrait = requires(const N& node, int32_t level, bool recursive, XmlWriter& writer) {
    node.print(level, recursive);
    node.node_to_xml(writer);
};

struct RootNode {
    static constexpr std::string_view NODE_NAME = "Root";
    static constexpr std::string_view node_type = NODE_NAME;
    std::vector<BuildingNode> children;  // in building table order

    RootNode() = default;

    // Builds one building node per building record, every reference
    // resolved and every sibling sequence sorted. Takes the parser over and
    // releases it; every failure is a fatal stop.
    void from_parser(Parser data);
    // Appends the utility's data points (each with its indicator group) and sorts them.
    static void handle_utility_branch(OperationUtilityNode& parent_node, const Parser& data, uint64_t opr_link);

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;
};

namespace tree {

// Writes one dump line to standard output: "[level]" and 2 x level blanks
// before it when `recursive` is set; a failed write is a fatal stop.
void common_print(int32_t level, bool recursive, std::string_view line);

// Opens (creates or truncates) the file of an XML dump; fatal stop on failure.
std::unique_ptr<std::ofstream> create_output_file(const std::string& output_path);
// An XML event writer over that file, with the XML declaration written.
std::unique_ptr<XmlWriter> create_xml_writer(std::ofstream& output_file);

// Shared steps of the inner node types' walks.

// Calculates each child in order; the first error ends the walk and is returned.
template <class Children, class... Args>
Status calculate_children(Children& children, const Args&... args) {
    for (auto& child : children) {
        if (Status error = child.calculate(args...)) return error;
    }
    return std::nullopt;
}

// Completes each child's own sums, then adds the child's results into `results`.
template <class Children>
void sum_children(TreeResults& results, Children& children) {
    for (auto& child : children) {
        child.calculate_hierarchy_sums();
        // Adding results never fails.
        (void)results.add_other_results(child.results);
    }
}

// Dumps each child one level deeper.
template <class Children>
void print_children(const Children& children, int32_t level) {
    for (const auto& child : children) child.print(level + 1, true);
}

// Fatal stop for a node or result element whose write failed.
void check_node_write(const XmlStatus& status, std::string_view element);

// Writes a node or result element: its start, then `content`, then its
// end; a failed start or end is a fatal stop.
template <class Content>
void write_node(XmlWriter& writer, std::string_view name, std::span<const XmlAttr> attributes, Content&& content) {
    check_node_write(writer.start_element(name, attributes), name);
    content();
    check_node_write(writer.end_element(), name);
}

}  // namespace tree

}  // namespace mirelo
