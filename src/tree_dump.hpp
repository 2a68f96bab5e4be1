// The two inspection dumps of the calculated tree: the shared steps every
// node's `print` and `node_to_xml` take, and the XML dump file. Both dumps
// read the tree on their caller's thread; their fatal stops reach the caller.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "xml_writer.hpp"

namespace mirelo {

struct RootNode;

namespace tree {

// Writes one dump line to standard output: "[level]" and 2 x level blanks
// before it when `recursive` is set; a failed write is a fatal stop.
void common_print(int32_t level, bool recursive, std::string_view line);

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

// Opens (creates or truncates) the file of an XML dump; fatal stop on failure.
std::unique_ptr<std::ofstream> create_output_file(const std::string& output_path);
// An XML event writer over that file, with the XML declaration written.
std::unique_ptr<XmlWriter> create_xml_writer(std::ofstream& output_file);

// Writes the XML dump of the whole tree to `output_path`: the file is
// created, the tree written, the writer released and the file closed, in
// that order. A failed node write, open or close is a fatal stop.
void write_xml_dump(const RootNode& root, const std::string& output_path);

}  // namespace tree

}  // namespace mirelo
