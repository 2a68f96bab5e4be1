#include "tree_dump.hpp"

#include <cerrno>
#include <fstream>

#include "log.hpp"
#include "shared_error.hpp"
#include "tree.hpp"

namespace mirelo {

namespace tree {

void common_print(int32_t level, bool recursive, std::string_view line) {
    std::string text;
    if (recursive) {
        text += '[';
        text += std::to_string(level);
        text += ']';
        if (level > 0) text.append(2 * static_cast<size_t>(level), ' ');
    }
    text += line;
    print_stdout_line(text);
}

std::unique_ptr<std::ofstream> create_output_file(const std::string& output_path) {
    auto file = std::make_unique<std::ofstream>(output_path, std::ios::binary | std::ios::trunc);
    if (!file->is_open()) {
        int err = errno;
        fatal("failed creating " + output_path + ": " + os_error_text(err));
    }
    return file;
}

std::unique_ptr<XmlWriter> create_xml_writer(std::ofstream& output_file) {
    errno = 0;
    output_file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (!output_file) fatal(failure_text("failed writing the XML declaration", errno));
    return std::make_unique<XmlWriter>(output_file);
}

void write_xml_dump(const RootNode& root, const std::string& output_path) {
    auto file = create_output_file(output_path);
    auto writer = create_xml_writer(*file);
    root.node_to_xml(*writer);
    // The writer refers to the file: it goes first, then the file is
    // closed, which flushes what is left and reports a failed write.
    writer.reset();
    errno = 0;
    file->close();
    if (file->fail()) fatal(failure_text("failed writing " + output_path, errno));
}

void check_node_write(const XmlStatus& status, std::string_view element) {
    if (!status) return;
    std::string message = "failed writing XML element ";
    message += element;
    message += ": ";
    message += *status;
    fatal(std::move(message));
}

}  // namespace tree

}  // namespace mirelo
