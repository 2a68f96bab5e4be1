#include "link.hpp"

#include <charconv>

#include "json.hpp"
#include "shared_error.hpp"
#include "text_convert.hpp"

namespace mirelo {

Link Link::parse(std::string_view link, uint32_t parent_db_uid) {
    size_t colon = link.find(':');
    if (colon == std::string_view::npos) fatal("Not a full link (Missing colon)");
    // The database part is converted first so that its failure is the one reported.
    uint32_t database_id = parse_u32(link.substr(0, colon));
    uint32_t row_id = parse_u32(link.substr(colon + 1));
    return Link(database_id == 0 ? parent_db_uid : database_id, row_id);
}

Link Link::parse_from_combined_id(uint64_t combined_id) {
    Link link;
    link.database_id = static_cast<uint32_t>(combined_id & LOWER_MASK);
    link.row_id = static_cast<uint32_t>(combined_id >> 32);
    link.combined_id = combined_id;
    return link;
}

void Link::append_to(std::string& out) const {
    char buf[12];
    auto r = std::to_chars(buf, buf + sizeof buf, database_id);
    out.append(buf, r.ptr);
    out.push_back(':');
    r = std::to_chars(buf, buf + sizeof buf, row_id);
    out.append(buf, r.ptr);
}

std::string Link::to_string() const {
    std::string out;
    append_to(out);
    return out;
}

void Link::encode(json::Encoder& encoder) const {
    encoder.emit_struct("Link", 3, [&] {
        encoder.field("database_id", 0, database_id);
        encoder.field("row_id", 1, row_id);
        encoder.field("combined_id", 2, combined_id);
    });
}

}  // namespace mirelo
