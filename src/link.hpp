// Record identifier: the database a record comes from, its row within that
// database, and the 64-bit combination of both that keys every record table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mirelo {

namespace json {
class Encoder;
}

// Selects the database id (the low half) of a combined id.
inline constexpr uint64_t LOWER_MASK = 0xFFFFFFFFull;

struct Link {
    uint32_t database_id = 0;
    uint32_t row_id = 0;
    uint64_t combined_id = 0;  // row_id << 32 | database_id, always

    Link() = default;
    Link(uint32_t database_id, uint32_t row_id)
        : database_id(database_id),
          row_id(row_id),
          combined_id((static_cast<uint64_t>(row_id) << 32) | database_id) {}

    // Reads "db:row"; a database part 0 stands for `parent_db_uid`, the
    // database of the file the text was read from. A text without a colon
    // or with a part that is not a u32 number is a fatal stop.
    static Link parse(std::string_view link, uint32_t parent_db_uid);
    static Link parse_from_combined_id(uint64_t combined_id);

    // "database_id:row_id", e.g. "5:17".
    std::string to_string() const;
    void append_to(std::string& out) const;
    // {"database_id":..,"row_id":..,"combined_id":..}
    void encode(json::Encoder& encoder) const;

    // Two links are the same record when their combined ids are equal.
    friend bool operator==(const Link& a, const Link& b) { return a.combined_id == b.combined_id; }
};

}  // namespace mirelo
