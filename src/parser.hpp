// The input reader: reads a project file and library files into sixteen
// record tables keyed by combined id, and checks the result.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "datamodel_building.hpp"
#include "datamodel_category.hpp"
#include "datamodel_construction.hpp"
#include "datamodel_element.hpp"
#include "datamodel_operation.hpp"
#include "datamodel_operation_data_point.hpp"
#include "datamodel_operation_indicator_group.hpp"
#include "datamodel_operation_scenario.hpp"
#include "datamodel_operation_utility.hpp"
#include "datamodel_product.hpp"
#include "datamodel_product_link.hpp"
#include "datamodel_setting.hpp"
#include "datamodel_source.hpp"
#include "datamodel_stage.hpp"
#include "datamodel_stage_link.hpp"
#include "datamodel_super_category.hpp"
#include "record_table.hpp"
#include "shared_error.hpp"

namespace mirelo {

// Database id of the generic library database, which every call must load.
inline constexpr uint32_t GEN_DK_DB_ID = 3735928559u;  // 0xDEADBEEF

class Parser {
public:
    uint32_t primary_db_id = 0;
    uint32_t gen_dk_db_id = GEN_DK_DB_ID;
    RecordTable<Setting> settings;
    RecordTable<Building> buildings;
    RecordTable<Operation> operations;
    RecordTable<OperationUtility> operation_utilities;
    RecordTable<OperationScenario> operation_scenarios;
    RecordTable<OperationDataPoint> operation_data_points;
    RecordTable<OperationIndicatorGroup> operation_indicator_groups;
    RecordTable<Element> elements;
    RecordTable<Construction> constructions;
    RecordTable<ProductLink> product_links;
    RecordTable<Product> products;
    RecordTable<StageLink> stage_links;
    RecordTable<Stage> stages;
    RecordTable<SuperCategory> super_categories;
    RecordTable<Category> categories;
    RecordTable<Source> sources;

    Parser() = default;

    // Reads one XML file into the tables. `primary_db` marks the project
    // file, whose database id becomes `primary_db_id`. A reader error (an XML
    // error, or an input/output error while reading) ends the reading of this
    // file only: the records read before it stay, and its "Error: " line goes
    // to standard error and to the logging facade.
    void parse_file(const std::string& filepath, bool primary_db);

    // The final check after all files: a "UID" setting naming the generic
    // database, and a primary database id. Fatal stop otherwise.
    void assert_tables() const;

    // The input bytes the files read so far gave: per file, those the reader
    // consumed up to the end of its document or up to its reader error (so a
    // pipe counts what came through it, and a file that is not XML counts
    // what stood before its first bad byte). A file read again, by any path
    // (the same device and inode), adds nothing.
    uint64_t bytes_read() const { return bytes_read_; }

    // Combined id of the first electricity utility of the generic database,
    // or the error text "Could not find electricity utility".
    Result<uint64_t, std::string> get_electricity_utility() const;

private:
    uint64_t bytes_read_ = 0;
    // Device and inode of every file read so far.
    std::set<std::pair<uint64_t, uint64_t>> files_read_;

    // The reading of one file: owns the expat parser and receives its events.
    class FileReader;

    // The database id named by a "Database" element, or nothing when it has
    // no "PrimaryDatabaseUID" attribute.
    static std::optional<uint32_t> extract_database_id(std::string_view name, XmlAttributes attributes);

    // One record of the element's table, read from its attributes and
    // stored under its combined id.
    void handle_settings(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_buildings(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_operation(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_operation_utilities(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_operation_scenarios(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_operation_data_points(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_operation_indicator_groups(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_elements(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_constructions(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_product_links(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_product(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_stage_links(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_stages(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_super_categories(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_categories(std::string_view name, XmlAttributes attributes, uint32_t dbid);
    void handle_sources(std::string_view name, XmlAttributes attributes, uint32_t dbid);
};

}  // namespace mirelo
