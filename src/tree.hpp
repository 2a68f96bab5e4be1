// The calculation tree: the root node and the interface every node type
// offers, with what the tree's modules share: its constants
// (tree_constants.hpp), the steps of the calculation walks (tree_walk.hpp)
// and those of the two inspection dumps (tree_dump.hpp). The root is built
// from the parser's tables in tree_builder.cpp.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "budget.hpp"
#include "tree_building.hpp"
#include "tree_constants.hpp"
#include "tree_dump.hpp"
#include "tree_walk.hpp"

namespace mirelo {

class Parser;
struct UtilityIndex;

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
    budget::Vector<BuildingNode> children;  // in building table order

    RootNode() = default;

    // Builds one building node per building record, every reference
    // resolved and every sibling sequence sorted. Takes the parser over and
    // releases it; every failure is a fatal stop.
    void from_parser(Parser data);
    // Appends the utility's data points (each with its indicator group) and
    // sorts them; the lookups go through indexes built for this call.
    static void handle_utility_branch(OperationUtilityNode& parent_node, const Parser& data, uint64_t opr_link);

    void print(int32_t level, bool recursive) const;
    void node_to_xml(XmlWriter& writer) const;
    void encode(json::Encoder& encoder) const;

private:
    // The same with the indexes that `from_parser` builds once for all of
    // its utilities: the one road by which the utility branch is built.
    static void handle_utility_branch(OperationUtilityNode& parent_node, const Parser& data, uint64_t opr_link,
                                      const UtilityIndex& index);
};

}  // namespace mirelo
