#include "parser.hpp"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "log.hpp"
#include "text_convert.hpp"

namespace mirelo {

namespace {

constexpr int READ_BUFFER_SIZE = 8192;
// Upper bound of one read while a huge token is pending.
constexpr long long MAX_READ_CHUNK = 64ll << 20;

// Separates namespace, local name and prefix in the names expat reports:
// "uri\x01local\x01prefix", "uri\x01local" (default namespace) or "local".
constexpr char NS_SEPARATOR = '\x01';

std::string_view local_part(std::string_view name) {
    size_t first = name.find(NS_SEPARATOR);
    if (first == std::string_view::npos) return name;
    name.remove_prefix(first + 1);
    return name.substr(0, name.find(NS_SEPARATOR));
}

// "{uri}prefix:local", each part only where present.
std::string display_name(std::string_view name) {
    size_t first = name.find(NS_SEPARATOR);
    if (first == std::string_view::npos) return std::string(name);
    std::string_view uri = name.substr(0, first);
    std::string_view rest = name.substr(first + 1);
    size_t second = rest.find(NS_SEPARATOR);
    std::string_view local = rest.substr(0, second);
    std::string_view prefix = second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
    std::string out;
    out.reserve(name.size() + 3);
    out += '{';
    out += uri;
    out += '}';
    if (!prefix.empty()) {
        out += prefix;
        out += ':';
    }
    out += local;
    return out;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct XmlParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// Reads one record of type T; Element may decline to be stored.
template <class T>
void read_record(RecordTable<T>& table, std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    T record;
    if constexpr (std::is_same_v<decltype(record.from_xml(name, attributes, dbid)), bool>) {
        if (!record.from_xml(name, attributes, dbid)) return;
    } else {
        record.from_xml(name, attributes, dbid);
    }
    table.insert(std::move(record));
}

}  // namespace

class Parser::FileReader {
public:
    FileReader(Parser& parser, const std::string& path) : parser_(parser), path_(path) {
        // Naming the encoding makes expat ignore the one the XML declaration
        // names: every file is read as UTF-8, the same on every machine. expat
        // still reads a file as UTF-16 when it starts with a UTF-16 byte-order
        // mark or has a zero byte among its first two, which no UTF-8
        // document has.
        xml_.reset(XML_ParserCreateNS("UTF-8", NS_SEPARATOR));
        if (!xml_) throw std::bad_alloc();
        XML_SetReturnNSTriplet(xml_.get(), 1);
        XML_SetUserData(xml_.get(), this);
        XML_SetStartElementHandler(xml_.get(), &FileReader::on_start_element);
        XML_SetStartDoctypeDeclHandler(xml_.get(), &FileReader::on_doctype);
        XML_SetSkippedEntityHandler(xml_.get(), &FileReader::on_skipped_entity);
    }

    // Reads the file to its end or its first reader error and returns the
    // database id current at that point. Fatal stops pass through; expat
    // running out of memory is memory running out, not the end of the file.
    std::optional<uint32_t> read(int fd) {
        for (;;) {
            const int chunk = chunk_size();
            void* buffer = XML_GetBuffer(xml_.get(), chunk);
            if (!buffer) throw std::bad_alloc();
            ssize_t got = ::read(fd, buffer, static_cast<size_t>(chunk));
            if (got < 0) {
                const int err = errno;
                if (err == EINTR) continue;
                consumed_ = parsed_bytes();
                reader_error(os_error_text(err), &path_);
                break;
            }
            const bool last = got == 0;
            fed_ += got;
            const XML_Status status = XML_ParseBuffer(xml_.get(), static_cast<int>(got), last);
            if (pending_) std::rethrow_exception(pending_);
            if (status != XML_STATUS_OK) {
                if (!own_error_.empty()) {
                    consumed_ = own_error_byte_;
                    reader_error(own_error_, &own_error_position_);
                    break;
                }
                const XML_Error code = XML_GetErrorCode(xml_.get());
                if (code == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
                consumed_ = parsed_bytes();
                reader_error(XML_ErrorString(code));
                break;
            }
            if (last) {
                consumed_ = fed_;
                break;
            }
        }
        return dbid_;
    }

    // The bytes of the file that the reading consumed: all of them when the
    // document ended, or those before the place of its reader error.
    uint64_t consumed() const { return static_cast<uint64_t>(consumed_); }

private:
    // Expat scans a token that is not complete yet again from its start with
    // every further chunk, so a single huge attribute value read 8 KiB at a
    // time would cost time quadratic in its length. While such a token is
    // pending, read as much again as is pending: the rescans then add up to
    // a constant factor of the token's length.
    int chunk_size() const {
        const long long pending = fed_ - XML_GetCurrentByteIndex(xml_.get());
        if (pending <= READ_BUFFER_SIZE) return READ_BUFFER_SIZE;
        return static_cast<int>(std::min<long long>(pending, MAX_READ_CHUNK));
    }

    // The offset of expat's current place in the file: where the event being
    // handled or the error found begins, or after a parsed chunk, where the
    // token that is not complete yet begins.
    long long parsed_bytes() const {
        return std::clamp<long long>(XML_GetCurrentByteIndex(xml_.get()), 0, fed_);
    }

    static void XMLCALL on_start_element(void* user, const XML_Char* name, const XML_Char** atts) {
        static_cast<FileReader*>(user)->start_element(name, atts);
    }

    // Whatever a document type declares changes what expat reads: entities
    // are expanded, attribute defaults added, tokenised values normalised,
    // and behind a parameter-entity reference or an external subset an
    // unknown entity in a value vanishes without a word. The input format
    // declares none of these, so a document type with an external identifier
    // or an internal subset (even an empty one) ends the file right there,
    // before its root element; a bare "<!DOCTYPE Name>" changes nothing.
    static void XMLCALL on_doctype(void* user, const XML_Char*, const XML_Char* sysid, const XML_Char* pubid,
                                   int has_internal_subset) {
        if (sysid || pubid || has_internal_subset) {
            static_cast<FileReader*>(user)->stop_with(
                "document types with an external identifier or an internal subset are not supported");
        }
    }

    // An entity expat cannot expand must not vanish from the text either.
    // The rule above leaves no way to reach this; it stays as a second guard.
    static void XMLCALL on_skipped_entity(void* user, const XML_Char*, int) {
        static_cast<FileReader*>(user)->stop_with("undefined entity");
    }

    // Ends the reading with a reader error of our own at the current place.
    void stop_with(const char* error) {
        if (stopped()) return;
        try {
            own_error_ = error;
            own_error_position_ = position();
            own_error_byte_ = parsed_bytes();
        } catch (...) {
            pending_ = std::current_exception();
        }
        XML_StopParser(xml_.get(), XML_FALSE);
    }

    bool stopped() const { return pending_ || !own_error_.empty(); }

    // No exception may leave this function: it runs inside expat's C frames.
    // A stop is kept and rethrown once XML_ParseBuffer has returned.
    void start_element(const XML_Char* name, const XML_Char** atts) {
        if (stopped()) return;
        const std::string_view qualified(name);
        const std::string_view local = local_part(qualified);
        try {
            attributes_.clear();
            for (; atts[0]; atts += 2) attributes_.push_back({local_part(atts[0]), atts[1]});
            dispatch(qualified, local);
        } catch (FatalStop& stop) {
            try {
                add_element_context(stop, local);
            } catch (...) {
                // Out of memory while describing the place: the stop itself still counts.
            }
            pending_ = std::current_exception();
            XML_StopParser(xml_.get(), XML_FALSE);
        } catch (...) {
            pending_ = std::current_exception();
            XML_StopParser(xml_.get(), XML_FALSE);
        }
    }

    void dispatch(std::string_view qualified, std::string_view local) {
        using Handler = void (Parser::*)(std::string_view, XmlAttributes, uint32_t);
        struct Entry {
            std::string_view name;
            Handler handler;
        };
        static constexpr Entry RECORDS[] = {
            {Setting::ELEMENT_NAME, &Parser::handle_settings},
            {Building::ELEMENT_NAME, &Parser::handle_buildings},
            {Operation::ELEMENT_NAME, &Parser::handle_operation},
            {OperationUtility::ELEMENT_NAME, &Parser::handle_operation_utilities},
            {OperationScenario::ELEMENT_NAME, &Parser::handle_operation_scenarios},
            {OperationDataPoint::ELEMENT_NAME, &Parser::handle_operation_data_points},
            {OperationIndicatorGroup::ELEMENT_NAME, &Parser::handle_operation_indicator_groups},
            {Element::ELEMENT_NAME, &Parser::handle_elements},
            {Construction::ELEMENT_NAME, &Parser::handle_constructions},
            {ProductLink::ELEMENT_NAME, &Parser::handle_product_links},
            {Product::ELEMENT_NAME, &Parser::handle_product},
            {StageLink::ELEMENT_NAME, &Parser::handle_stage_links},
            {Stage::ELEMENT_NAME, &Parser::handle_stages},
            {SuperCategory::ELEMENT_NAME, &Parser::handle_super_categories},
            {Category::ELEMENT_NAME, &Parser::handle_categories},
            {Source::ELEMENT_NAME, &Parser::handle_sources},
        };

        if (local == "Database") {
            dbid_ = Parser::extract_database_id(local, attributes_);
            return;
        }
        for (const Entry& entry : RECORDS) {
            if (entry.name != local) continue;
            if (!dbid_) fatal("Missing database id");
            (parser_.*entry.handler)(local, attributes_, *dbid_);
            return;
        }
        if (log_enabled(LogLevel::Warn)) {
            log_record(LogLevel::Warn, LOG_TARGET_PARSER, "Skipping Xml element: " + display_name(qualified));
        }
    }

    // "path:line:column" of expat's current position, column counted from 1.
    std::string position() const {
        return path_ + ":" + std::to_string(XML_GetCurrentLineNumber(xml_.get())) + ":" +
               std::to_string(XML_GetCurrentColumnNumber(xml_.get()) + 1);
    }

    void add_element_context(FatalStop& stop, std::string_view local) const {
        stop.add_context("file " + position());
        stop.add_context("element " + std::string(local));
        for (const XmlAttribute& a : attributes_) {
            if (a.local_name == "ID") {
                stop.add_context("ID=" + std::string(a.value));
                break;
            }
        }
    }

    // Reports a reader error at `where`, or at expat's current position: one
    // "Error: " line on standard error, so that a result built from part of
    // the input is never taken for a whole one, and the same text as an
    // error record of the logging facade.
    void reader_error(std::string_view text, const std::string* where = nullptr) const {
        std::string line = "Error: ";
        line += text;
        line += " at ";
        line += where ? *where : position();
        print_stderr_line(line);
        log_record(LogLevel::Error, LOG_TARGET_PARSER, line);
    }

    Parser& parser_;
    const std::string& path_;
    std::unique_ptr<XML_ParserStruct, XmlParserFree> xml_;
    std::optional<uint32_t> dbid_;
    std::vector<XmlAttribute> attributes_;
    std::exception_ptr pending_;
    // A reader error raised by this reader rather than by expat.
    std::string own_error_;
    std::string own_error_position_;
    long long own_error_byte_ = 0;
    // The bytes handed to expat so far, and those it consumed (see `consumed`).
    long long fed_ = 0;
    long long consumed_ = 0;
};

void Parser::parse_file(const std::string& filepath, bool primary_db) {
    if (log_enabled(LogLevel::Info)) log_record(LogLevel::Info, LOG_TARGET_PARSER, "File: " + filepath);

    int fd;
    do {
        fd = ::open(filepath.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        fatal("Could not open file " + filepath + ": " + os_error_text(err));
    }
    FileDescriptor file(fd);
    // The same file given again (by the same path or another) is read again
    // but adds no input bytes: the limit of a call must not grow with the
    // number of times one file is named.
    struct stat identity {};
    const bool first_reading =
        ::fstat(file.get(), &identity) != 0 ||
        files_read_.emplace(static_cast<uint64_t>(identity.st_dev), static_cast<uint64_t>(identity.st_ino)).second;

    FileReader reader(*this, filepath);
    const std::optional<uint32_t> dbid = reader.read(file.get());
    if (first_reading) bytes_read_ += reader.consumed();
    if (!primary_db) return;
    if (!dbid) {
        FatalStop stop("Missing database id");
        stop.add_context("file " + filepath);
        throw stop;
    }
    primary_db_id = *dbid;
}

std::optional<uint32_t> Parser::extract_database_id(std::string_view /*name*/, XmlAttributes attributes) {
    for (const XmlAttribute& a : attributes) {
        if (a.local_name == "PrimaryDatabaseUID") return read_u32(a);
        if (log_enabled(LogLevel::Debug)) {
            log_record(LogLevel::Debug, LOG_TARGET_PARSER, skipping_text(a.local_name, a.value));
        }
    }
    return std::nullopt;
}

void Parser::handle_settings(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(settings, name, attributes, dbid);
}
void Parser::handle_buildings(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(buildings, name, attributes, dbid);
}
void Parser::handle_operation(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(operations, name, attributes, dbid);
}
void Parser::handle_operation_utilities(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(operation_utilities, name, attributes, dbid);
}
void Parser::handle_operation_scenarios(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(operation_scenarios, name, attributes, dbid);
}
void Parser::handle_operation_data_points(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(operation_data_points, name, attributes, dbid);
}
void Parser::handle_operation_indicator_groups(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(operation_indicator_groups, name, attributes, dbid);
}
void Parser::handle_elements(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(elements, name, attributes, dbid);
}
void Parser::handle_constructions(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(constructions, name, attributes, dbid);
}
void Parser::handle_product_links(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(product_links, name, attributes, dbid);
}
void Parser::handle_product(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(products, name, attributes, dbid);
}
void Parser::handle_stage_links(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(stage_links, name, attributes, dbid);
}
void Parser::handle_stages(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(stages, name, attributes, dbid);
}
void Parser::handle_super_categories(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(super_categories, name, attributes, dbid);
}
void Parser::handle_categories(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(categories, name, attributes, dbid);
}
void Parser::handle_sources(std::string_view name, XmlAttributes attributes, uint32_t dbid) {
    read_record(sources, name, attributes, dbid);
}

void Parser::assert_tables() const {
    bool gen_dk_found = false;
    // Every "UID" setting must convert, also after one has matched.
    for (const Setting& setting : settings) {
        if (setting.name != "UID") continue;
        uint32_t uid;
        try {
            uid = parse_u32(setting.value);
        } catch (FatalStop& stop) {
            stop.add_context("setting " + setting.link.to_string() + " Value=\"" + setting.value + "\"");
            throw;
        }
        if (uid == GEN_DK_DB_ID) gen_dk_found = true;
    }
    if (!gen_dk_found) fatal("Missing GEN_DK");
    if (primary_db_id == 0) fatal("Missing primary_db_id");
}

Result<uint64_t, std::string> Parser::get_electricity_utility() const {
    for (const OperationUtility& utility : operation_utilities) {
        if (utility.link.database_id == GEN_DK_DB_ID && utility.is_electricity) return utility.link.combined_id;
    }
    return std::string("Could not find electricity utility");
}

}  // namespace mirelo
