// Benchmark of the whole call on generated inputs of growing size.
//
//   mirelo_bench [--repeat N] [--budget-only | --no-budget] DIR...
//
// Each DIR holds project.xml and generic_db.xml (bench/gen_inputs.py). For
// every DIR the program times the whole call on both roads, inside the
// library (`process`) and through the exported C function that hosts call,
// and each phase of the call; sets them against two floors (a bare expat
// parse of the same files and a memcpy of an output of the same size) and
// against a peer, RapidJSON parsing the result text into a Document and
// writing it back into a StringBuffer; times the same tree written by
// RapidJSON against our encoder; measures the peak memory of one call on
// each road in a fresh process; and prints everything as markdown tables
// followed by the targets and whether they are met. Times are medians over
// the rounds, with their spread (min to max) in a table of their own; a time
// ratio is judged against its target only where both times stand above the
// noise of a shared machine. Last, the memory budget on a family of
// realistic projects (the example's elements repeated, constructions of 12,
// 20 and 30 products, short and mixed lifespans, several buildings) and on
// the DIRs: every one must calculate under the default limit, each in a
// fresh process.
#include <expat.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "budget.hpp"
#include "family.hpp"
#include "files.hpp"
#include "lib.hpp"
#include "mirelo.h"
#include "rapidjson_tree_writer.hpp"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

using mirelo::BuildingNode;
using mirelo::Parser;
using mirelo::RootNode;

constexpr int READ_BUFFER_SIZE = 8192;  // the reader's buffer; the expat floor reads the same way
constexpr double MIB = 1024.0 * 1024.0;

struct Inputs {
    std::string dir;
    std::string project;
    std::string library;
    std::vector<std::string> libraries() const { return {library}; }
};

Inputs inputs_in(const std::string& dir) { return {dir, dir + "/project.xml", dir + "/generic_db.xml"}; }

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "mirelo_bench: %s\n", message.c_str());
    std::exit(2);
}

size_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) die("cannot stat " + path + ": " + std::strerror(errno));
    return static_cast<size_t>(st.st_size);
}

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    // Seconds since the start or the previous lap.
    double lap() {
        const auto now = std::chrono::steady_clock::now();
        const double s = std::chrono::duration<double>(now - start_).count();
        start_ = now;
        return s;
    }

private:
    std::chrono::steady_clock::time_point start_;
};

struct Range {
    double lo = 0, hi = 0;
};

Range spread(const std::vector<double>& v) {
    if (v.empty()) return {};
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return {*lo, *hi};
}

// The ratio of two times taken in the same rounds, round by round: both
// felt the same load in a round, so their ratio varies less than either.
Range paired_ratio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
    return spread(ratios);
}

// The ratio of two times taken apart: the extremes of one against the
// other's, scaled by `factor`.
Range crossed_ratio(const std::vector<double>& a, const std::vector<double>& b, double factor) {
    const Range x = spread(a), y = spread(b);
    return {x.lo / y.hi * factor, x.hi / y.lo * factor};
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// ---------------------------------------------------------------- floors

// Expat with no handlers over the file, read through an 8192-byte buffer
// exactly as the input reader does: the cost of tokenizing and checking the
// XML alone.
void bare_expat_parse(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path + ": " + std::strerror(errno));
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) die("XML_ParserCreate failed");
    for (;;) {
        void* buffer = XML_GetBuffer(parser, READ_BUFFER_SIZE);
        if (buffer == nullptr) die("XML_GetBuffer failed");
        const ssize_t got = ::read(fd, buffer, READ_BUFFER_SIZE);
        if (got < 0) die("cannot read " + path + ": " + std::strerror(errno));
        if (XML_ParseBuffer(parser, static_cast<int>(got), got == 0) != XML_STATUS_OK) {
            die(path + ": expat: " + XML_ErrorString(XML_GetErrorCode(parser)));
        }
        if (got == 0) break;
    }
    XML_ParserFree(parser);
    ::close(fd);
}

// ---------------------------------------------------------------- child processes

// Runs this program again with `args` and returns the child's peak resident
// set (KiB), its standard output and how it ended. The kernel counts the
// parent's resident size at the fork into the child's high-water mark, so all
// children are started before the parent has grown (see `run`).
struct ChildRun {
    long max_rss_kib = 0;
    std::string out;
    int status = 0;  // as wait4 gives it
    bool succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// `address_space` (bytes, 0: none) caps the child's address space, so that a
// child that outgrows the machine fails an allocation instead of having the
// kernel kill it, or another process, for want of memory.
ChildRun spawn_child(const std::vector<std::string>& args, uint64_t address_space = 0) {
    int fds[2];
    if (::pipe(fds) != 0) die(std::string("pipe: ") + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        if (address_space != 0) {
            const struct rlimit cap {address_space, address_space};
            if (::setrlimit(RLIMIT_AS, &cap) != 0) _exit(126);
        }
        std::vector<char*> argv;
        static char self[] = "mirelo_bench";
        argv.push_back(self);
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    ChildRun run;
    char buf[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buf, sizeof buf)) > 0) run.out.append(buf, static_cast<size_t>(got));
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid) die(std::string("wait4: ") + std::strerror(errno));
    run.status = status;
    run.max_rss_kib = usage.ru_maxrss;
    return run;
}

// The same for a child whose failure ends the benchmark.
ChildRun run_child(const std::vector<std::string>& args) {
    ChildRun run = spawn_child(args);
    if (!run.succeeded()) die("the measuring child failed for " + args.back());
    return run;
}

long own_max_rss_kib() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Child mode: one whole call, nothing else.
int child_whole_call(const std::string& dir) {
    const Inputs in = inputs_in(dir);
    const mirelo::json::Text json = mirelo::process(in.project, in.libraries(), std::string(), {});
    std::printf("%zu\n", json.size());
    return json.empty() ? 1 : 0;
}

// The exported C call as a host makes it, worker thread included, and the
// release of its text. Returns the text's length.
size_t exported_call(const Inputs& in) {
    const char* libraries[] = {in.library.c_str()};
    const char* text = process_xml_file_to_json(in.project.c_str(), libraries, 1);
    if (text == nullptr || *text == '\0') die(in.dir + ": the exported call returned no text");
    const size_t length = std::strlen(text);
    free_string(const_cast<char*>(text));
    return length;
}

// Child mode: one exported call, nothing else.
int child_exported_call(const std::string& dir) {
    std::printf("%zu\n", exported_call(inputs_in(dir)));
    return 0;
}

// Child mode: the phases one after the other, with the resident high-water
// mark after each (KiB), to show where the peak is reached.
int child_phase_memory(const std::string& dir) {
    const Inputs in = inputs_in(dir);
    Parser parser = mirelo::read_inputs(in.project, {in.library});
    const long after_read = own_max_rss_kib();
    RootNode root = mirelo::build_tree(std::move(parser));
    const long after_construct = own_max_rss_kib();
    mirelo::calculate_first_building(root);
    const long after_calculate = own_max_rss_kib();
    const mirelo::json::Text json = mirelo::encode_tree(root);
    const long after_encode = own_max_rss_kib();
    std::printf("%ld %ld %ld %ld\n", after_read, after_construct, after_calculate, after_encode);
    return 0;
}

// ---------------------------------------------------------------- the memory budget

// The bytes in use on the heap: small blocks and mapped ones.
uint64_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// How a budget child's call ended.
enum BudgetOutcome { STOPPED_BY_LIMIT = 0, CALCULATED = 1, ALLOCATION_FAILED = 2 };

// Child mode: one call's road with the budget as `process` sets it, then
// what the budget counted against what the heap holds, before the tree is
// released. Prints: bytes read, result bytes, charged at the end, peak
// charged, heap growth at the end, and the outcome.
int child_budget(const std::string& project, const std::string& library) {
    const uint64_t before = heap_in_use();
    mirelo::Parser parser = mirelo::read_inputs(project, {library});
    const uint64_t read = parser.bytes_read();
    // The default rule on the bytes read, whatever MIRELO_MEMORY_LIMIT says
    // in the environment: the table measures the rule.
    const mirelo::budget::Scope scope(read, mirelo::budget::Limit{});
    try {
        const RootNode root = mirelo::calculated_tree(std::move(parser));
        const mirelo::json::Text json = mirelo::encode_tree(root);
        std::printf("%llu %zu %llu %llu %llu %d\n", static_cast<unsigned long long>(read), json.size(),
                    static_cast<unsigned long long>(mirelo::budget::charged()),
                    static_cast<unsigned long long>(mirelo::budget::peak()),
                    static_cast<unsigned long long>(heap_in_use() - before), CALCULATED);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mirelo_bench: %s\n", e.what());
        const bool too_large = std::string_view(e.what()).starts_with("result too large");
        std::printf("%llu 0 0 %llu 0 %d\n", static_cast<unsigned long long>(read),
                    static_cast<unsigned long long>(mirelo::budget::peak()),
                    too_large ? STOPPED_BY_LIMIT : ALLOCATION_FAILED);
    }
    return 0;
}

// The lifespans of a shape as the budget child's argument list names them.
const char* lifespans_name(mirelo::testing::Lifespans lifespans) {
    switch (lifespans) {
        case mirelo::testing::Lifespans::Short:
            return "short";
        case mirelo::testing::Lifespans::Mixed:
            return "mixed";
        case mirelo::testing::Lifespans::Example:
            break;
    }
    return "example";
}

mirelo::testing::Lifespans lifespans_named(const std::string& name) {
    using mirelo::testing::Lifespans;
    for (Lifespans l : {Lifespans::Example, Lifespans::Short, Lifespans::Mixed}) {
        if (name == lifespans_name(l)) return l;
    }
    die("unknown lifespans " + name + " (example, short or mixed)");
}

// Child mode: the same on a generated realistic project.
int child_budget_shape(const mirelo::testing::ProjectShape& shape) {
    const std::string examples = MIRELO_EXAMPLES_DIR;
    const mirelo::testing::GeneratedInput input =
        mirelo::testing::realistic_input(shape, mirelo::testing::read_file(examples + "/project.xml"),
                                         mirelo::testing::read_file(examples + "/generic_db.xml"));
    const mirelo::testing::TempDir dir;
    return child_budget(dir.write("project.xml", input.project), dir.write("generic_db.xml", input.generic));
}

struct BudgetRow {
    std::string name;
    std::string family;  // the shape without its element count and period
    std::string size;    // its element count and period, or the name of a benchmark input
    unsigned long long read = 0, result = 0, charged = 0, peak = 0, heap = 0;
    int outcome = CALCULATED;
    std::string failure;  // why the row has no figures, when its child did not end normally
    long max_rss_kib = 0;
};

// The address space of a budget child: three quarters of the machine's
// memory. The machine may have no swap, and a shape that outgrows it must
// cost its own row, not the whole table or another process on the machine.
uint64_t budget_child_address_space() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4 * 3;
}

BudgetRow budget_row(const std::string& name, const std::pair<std::string, std::string>& family_and_size,
                     const std::vector<std::string>& args) {
    const ChildRun run = spawn_child(args, budget_child_address_space());
    BudgetRow row;
    row.name = name;
    row.family = family_and_size.first;
    row.size = family_and_size.second;
    row.max_rss_kib = run.max_rss_kib;
    if (WIFSIGNALED(run.status)) {
        row.failure = "killed by signal " + std::to_string(WTERMSIG(run.status));
    } else if (!run.succeeded()) {
        row.failure = "the child exited with status " + std::to_string(WEXITSTATUS(run.status));
    } else if (std::sscanf(run.out.c_str(), "%llu %llu %llu %llu %llu %d", &row.read, &row.result, &row.charged,
                           &row.peak, &row.heap, &row.outcome) != 6) {
        die("the budget child for " + name + " printed " + run.out);
    }
    return row;
}

// "30 products per construction, lifespans 10-15" and "2000 elements, 200
// years" of "2000 elements, 200 years, 30 products per construction,
// lifespans 10-15".
std::pair<std::string, std::string> family_and_size(const mirelo::testing::ProjectShape& shape) {
    const std::string name = mirelo::testing::describe(shape);
    const size_t years = name.find(", ");
    const size_t rest = years == std::string::npos ? std::string::npos : name.find(", ", years + 2);
    if (rest == std::string::npos) return {"the example's constructions", name};
    return {name.substr(rest + 2), name.substr(0, rest)};
}

std::vector<mirelo::testing::ProjectShape> budget_shapes() {
    using mirelo::testing::Lifespans;
    using mirelo::testing::ProjectShape;
    std::vector<ProjectShape> shapes;
    for (int elements : {100, 420, 1000, 2000, 5000}) {
        for (uint32_t years : {50u, 100u, 200u}) shapes.push_back({elements, years, 0, 1});
    }
    for (int elements : {100, 600, 2000}) {
        shapes.push_back({elements, 200, 12, 1, true});
        shapes.push_back({elements, 200, 12, 1, false});
    }
    // Large constructions of short-lived products: many replacements in
    // every product of every element, the greatest need per byte read. Each
    // family at 250 and 2,000 elements over 200 years, to show the need per
    // byte growing with the element count, and at 2,000 over 80 and 120
    // years. The hungriest, 30 products of 10 to 15 years over 200 years,
    // peaks at about 9.7 GB (4.8 MB per element) at 2,000 elements: rows of
    // more would need more memory than a machine of 24 GiB can give safely.
    for (int products : {20, 30}) {
        for (Lifespans lifespans : {Lifespans::Short, Lifespans::Mixed}) {
            for (bool texts : {true, false}) {
                shapes.push_back({250, 200, products, 1, texts, lifespans});
                for (uint32_t years : {80u, 120u, 200u}) shapes.push_back({2000, years, products, 1, texts, lifespans});
            }
        }
    }
    for (int buildings : {2, 3}) shapes.push_back({1000, 100, 0, buildings});
    return shapes;
}

std::vector<BudgetRow> measure_budget(const std::vector<std::string>& dirs) {
    std::vector<BudgetRow> rows;
    for (const mirelo::testing::ProjectShape& s : budget_shapes()) {
        const std::string name = mirelo::testing::describe(s);
        std::fprintf(stderr, "mirelo_bench: budget of %s\n", name.c_str());
        rows.push_back(budget_row(name, family_and_size(s),
                                  {"--budget-shape", std::to_string(s.elements), std::to_string(s.years),
                                   std::to_string(s.products_per_construction), std::to_string(s.buildings),
                                   s.element_texts ? "1" : "0", lifespans_name(s.lifespans)}));
    }
    for (const std::string& dir : dirs) {
        const Inputs in = inputs_in(dir);
        const std::string name = "benchmark input " + dir.substr(dir.find_last_of('/') + 1) + " elements";
        rows.push_back(budget_row(name, {"benchmark inputs", name}, {"--budget-files", in.project, in.library}));
    }
    return rows;
}

// ---------------------------------------------------------------- measurement of one size

struct Measurement {
    size_t elements = 0;
    size_t input_bytes = 0;
    size_t output_bytes = 0;
    size_t rapidjson_bytes = 0;
    double whole = 0, read = 0, check = 0, construct = 0, calculate = 0, sum = 0, encode = 0, release = 0;
    double expat = 0, copy = 0, rapidjson = 0, exported = 0, peer = 0;
    double peak_mib = 0, exported_peak_mib = 0;
    long phase_rss_kib[4] = {};
    std::vector<std::string> warnings;
    // The rounds behind the medians that the targets and their spread use.
    struct Rounds {
        std::vector<double> whole, read, encode, expat, rapidjson, exported, peer;
    } rounds;
};

// The memory of one size, measured in fresh processes.
struct ChildRuns {
    ChildRun whole;
    ChildRun phases;
    ChildRun exported;
};

Measurement measure(const Inputs& in, int rounds, const ChildRuns& children) {
    Measurement m;
    m.input_bytes = file_size(in.project) + file_size(in.library);
    m.peak_mib = static_cast<double>(children.whole.max_rss_kib) / 1024.0;
    m.exported_peak_mib = static_cast<double>(children.exported.max_rss_kib) / 1024.0;
    const ChildRun& phases = children.phases;
    std::sscanf(phases.out.c_str(), "%ld %ld %ld %ld", &m.phase_rss_kib[0], &m.phase_rss_kib[1],
                &m.phase_rss_kib[2], &m.phase_rss_kib[3]);

    // A first call warms the caches and gives the reference output.
    const std::string reference = mirelo::process(in.project, in.libraries(), std::string(), {}).str();
    m.output_bytes = reference.size();
    std::string copy_target(reference.size(), '\0');  // touched once, so the copy floor has no page faults

    std::vector<double> whole, read, check, construct, calculate, sum, encode, release, expat, copy, rapid, exported,
        peer;
    for (int round = 0; round < rounds; ++round) {
        {
            Stopwatch sw;
            const mirelo::json::Text json = mirelo::process(in.project, in.libraries(), std::string(), {});
            whole.push_back(sw.lap());
            if (json.view() != reference) m.warnings.push_back("two whole calls gave different texts");
        }
        {
            Stopwatch sw;
            Parser parser;
            parser.parse_file(in.project, true);
            parser.parse_file(in.library, false);
            read.push_back(sw.lap());
            parser.assert_tables();
            check.push_back(sw.lap());
            m.elements = parser.elements.size();
            RootNode root = mirelo::build_tree(std::move(parser));
            construct.push_back(sw.lap());
            if (root.children.empty()) die(in.dir + ": the project has no building");
            BuildingNode& building = root.children[0];
            const mirelo::Status status = building.calculate();
            calculate.push_back(sw.lap());
            if (status) die(in.dir + ": calculation error: " + status->display());
            building.calculate_hierarchy_sums();
            sum.push_back(sw.lap());
            const mirelo::json::Text json = mirelo::encode_tree(root);
            encode.push_back(sw.lap());
            if (json.view() != reference) m.warnings.push_back("the phases one by one gave another text than the whole call");

            double rapid_seconds = 0;
            const std::string other = mirelo::bench::rapidjson_encode(root, rapid_seconds);
            rapid.push_back(rapid_seconds);
            m.rapidjson_bytes = other.size();
            if (round == 0) {
                std::string detail;
                if (!mirelo::bench::same_json_value(json.str(), other, detail)) {
                    m.warnings.push_back("RapidJSON's document differs from ours (" + detail +
                                         "): the writer comparison is not like for like");
                }
            }

            sw.lap();
            { RootNode released = std::move(root); }
            release.push_back(sw.lap());
        }
        {
            Stopwatch sw;
            const size_t length = exported_call(in);
            exported.push_back(sw.lap());
            if (length != reference.size()) m.warnings.push_back("the exported call gave a text of another length");
        }
        {
            // The peer: a general JSON library reading the same text into
            // its document and writing it back.
            Stopwatch sw;
            rapidjson::Document document;
            document.Parse(reference.data(), reference.size());
            if (document.HasParseError()) die(in.dir + ": RapidJSON cannot parse the result text");
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            document.Accept(writer);
            peer.push_back(sw.lap());
            if (buffer.GetSize() == 0) die("peer wrote nothing");
        }
        {
            Stopwatch sw;
            bare_expat_parse(in.project);
            bare_expat_parse(in.library);
            expat.push_back(sw.lap());
        }
        {
            Stopwatch sw;
            std::memcpy(copy_target.data(), reference.data(), reference.size());
            copy.push_back(sw.lap());
            // Keeps the copy from being optimized away.
            if (copy_target[copy_target.size() / 2] != reference[reference.size() / 2]) die("copy floor broken");
        }
    }
    m.whole = median(whole);
    m.read = median(read);
    m.check = median(check);
    m.construct = median(construct);
    m.calculate = median(calculate);
    m.sum = median(sum);
    m.encode = median(encode);
    m.release = median(release);
    m.expat = median(expat);
    m.copy = median(copy);
    m.rapidjson = median(rapid);
    m.exported = median(exported);
    m.peer = median(peer);
    m.rounds = {whole, read, encode, expat, rapid, exported, peer};
    return m;
}

// ---------------------------------------------------------------- report

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// The limit of a call that read `read` bytes under the default rule.
double default_limit(unsigned long long read) {
    const mirelo::budget::Rule rule = mirelo::budget::RULE;
    return static_cast<double>(std::max<unsigned long long>(rule.min_limit, read * rule.per_input_byte));
}

std::string calculates(const BudgetRow& r) {
    if (!r.failure.empty()) return "NO: " + r.failure;
    switch (r.outcome) {
        case CALCULATED:
            return "yes";
        case STOPPED_BY_LIMIT:
            return "NO: result too large";
        default:
            return "NO: an allocation failed";
    }
}

void print_budget(const std::vector<BudgetRow>& rows) {
    const uint64_t min_limit = mirelo::budget::RULE.min_limit;
    const uint64_t per_byte = mirelo::budget::RULE.per_input_byte;
    std::printf("\nMemory budget: limit = the default rule, max(%llu MiB, %llu x bytes read)%s; charged = tree and "
                "text as the budget counts them; heap = growth of malloc's bytes in use (mallinfo2 uordblks + "
                "hblkhd), both at the end of the call before the tree is released; peak per byte read = peak "
                "charged / bytes read; peak RSS of the whole process; each row in a fresh process whose address "
                "space is capped at %.1f GiB:\n\n",
                static_cast<unsigned long long>(min_limit >> 20), static_cast<unsigned long long>(per_byte),
                std::getenv(mirelo::budget::LIMIT_VARIABLE) ? " (MIRELO_MEMORY_LIMIT in the environment is not applied)"
                                                            : "",
                static_cast<double>(budget_child_address_space()) / (1024.0 * MIB));
    std::printf("| input | bytes read | result MiB | peak charged MiB | limit MiB | peak/limit | peak per byte read | "
                "charged/heap | peak RSS MiB | calculates |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");

    // The worst row of each family by need per byte, in the order the families first appear.
    struct Worst {
        std::string family;
        const BudgetRow* row;
        double per_byte;
    };
    std::vector<Worst> families;
    bool all_calculate = true;
    double worst_share = 0, worst_per_byte = 0, worst_accuracy = 0;
    const BudgetRow* worst_share_row = nullptr;
    const BudgetRow* worst_per_byte_row = nullptr;
    for (const BudgetRow& r : rows) {
        const bool calculated = r.failure.empty() && r.outcome == CALCULATED;
        const double limit = default_limit(r.read);
        const double share = static_cast<double>(r.peak) / limit;
        const double per_read = static_cast<double>(r.peak) / static_cast<double>(std::max(r.read, 1ull));
        const double accuracy = r.heap ? static_cast<double>(r.charged) / static_cast<double>(r.heap) : 0.0;
        all_calculate = all_calculate && calculated && share <= 1.0;
        if (share > worst_share) worst_share = share, worst_share_row = &r;
        if (per_read > worst_per_byte) worst_per_byte = per_read, worst_per_byte_row = &r;
        // A call stopped on the way holds no tree to set against the heap.
        if (calculated) worst_accuracy = std::max(worst_accuracy, std::abs(accuracy - 1.0));
        const auto family = std::find_if(families.begin(), families.end(),
                                         [&](const Worst& w) { return w.family == r.family; });
        if (family == families.end()) {
            families.push_back({r.family, &r, per_read});
        } else if (per_read > family->per_byte) {
            family->row = &r;
            family->per_byte = per_read;
        }
        if (!r.failure.empty()) {
            std::printf("| %s | | | | | | | | %s | %s |\n", r.name.c_str(),
                        fmt("%.1f", static_cast<double>(r.max_rss_kib) / 1024.0).c_str(), calculates(r).c_str());
            continue;
        }
        std::printf("| %s | %llu | %s | %s | %s | %s | %s | %s | %s | %s |\n", r.name.c_str(), r.read,
                    fmt("%.1f", static_cast<double>(r.result) / MIB).c_str(),
                    fmt("%.1f", static_cast<double>(r.peak) / MIB).c_str(), fmt("%.0f", limit / MIB).c_str(),
                    fmt("%.3f", share).c_str(), fmt("%.0f", per_read).c_str(),
                    calculated ? fmt("%.3f", accuracy).c_str() : "",
                    fmt("%.1f", static_cast<double>(r.max_rss_kib) / 1024.0).c_str(), calculates(r).c_str());
    }
    const auto name_of = [](const BudgetRow* r) { return r ? r->name : std::string("none"); };
    std::printf("\nBudget targets:\n");
    std::printf("- every input calculates under the default rule (peak <= limit): worst peak/limit %.3f (%s), %s\n",
                worst_share, name_of(worst_share_row).c_str(), all_calculate ? "met" : "MISSED");
    std::printf("- the highest need per byte read is %.0f (%s), %.2f of the rule's %llu\n", worst_per_byte,
                name_of(worst_per_byte_row).c_str(), worst_per_byte / static_cast<double>(per_byte),
                static_cast<unsigned long long>(per_byte));
    std::printf("- charged within 10%% of the heap: worst deviation %.3f, %s\n", worst_accuracy,
                worst_accuracy <= 0.10 ? "met" : "MISSED");
    std::printf("\nHighest need per byte read by family (peak charged / bytes read):\n");
    for (const Worst& w : families) {
        std::printf("- %s: %.0f at %s (peak/limit %.3f)\n", w.family.c_str(), w.per_byte, w.row->size.c_str(),
                    static_cast<double>(w.row->peak) / default_limit(w.row->read));
    }
}

// A time below this is not judged against a target: a preemption, a
// scheduler tick (4 ms at 250 Hz) or a page-cache miss costs a few
// milliseconds, a large share of a time of 10 ms but under a tenth of one of
// 50 ms. (One run read 2.6 x the expat floor at 250 elements, 0.0167 s
// against 0.0063 s, where larger inputs gave 1.3 to 1.4.)
constexpr double NOISE_FLOOR_S = 0.050;

constexpr const char* DASH = "\u2013";

// Appends `parts` to `out`, one by one (g++ 12 warns wrongly about
// overlapping copies in a chained operator+).
template <class... Parts>
void append(std::string& out, const Parts&... parts) {
    (out += ... += parts);
}

std::string span(const char* format, Range r) {
    std::string text = fmt(format, r.lo);
    append(text, DASH, fmt(format, r.hi));
    return text;
}

// One size's ratio of two times, as a target judges it.
struct Ratio {
    size_t elements;
    double median;        // the ratio of the medians
    Range rounds;         // its range over the rounds
    double shorter;       // the shorter of the two median times, s
    const char* shorter_name;
};

// Prints the target `what` (ratio at most `target`) over the sizes: the
// worst judged ratio and whether the target is met, missed or lost in the
// spread, and which sizes are left unjudged and why.
void print_target(const char* what, double target, const std::vector<Ratio>& ratios) {
    const Ratio* worst = nullptr;
    std::vector<const Ratio*> unjudged, missed, undecided;
    for (const Ratio& r : ratios) {
        if (r.shorter < NOISE_FLOOR_S) {
            unjudged.push_back(&r);
            continue;
        }
        if (worst == nullptr || r.median > worst->median) worst = &r;
        if (r.rounds.lo > target) {
            missed.push_back(&r);
        } else if (r.rounds.hi > target) {
            undecided.push_back(&r);
        }
    }
    std::string line = "- " + std::string(what) + ": ";
    if (worst == nullptr) {
        line += "not judged";
    } else {
        append(line, fmt("%.2f", worst->median), " at ", std::to_string(worst->elements), " elements (rounds ",
               span("%.2f", worst->rounds), "), ");
        if (!missed.empty()) {
            line += "MISSED";
        } else if (!undecided.empty()) {
            append(line, "undecided: the rounds straddle ", fmt("%.2f", target), " at");
            for (const Ratio* r : undecided) append(line, " ", std::to_string(r->elements));
            line += " elements";
        } else {
            line += "met";
        }
    }
    for (const Ratio* r : unjudged) {
        append(line, "; not judged at ", std::to_string(r->elements), " elements (", fmt("%.2f", r->median), "): ",
               r->shorter_name, " ", fmt("%.4f", r->shorter), " s is below the noise floor");
    }
    std::printf("%s\n", line.c_str());
}

// The size the per-element times are set against: 1,200 elements when
// measured, else the smallest size.
const Measurement& reference_size(const std::vector<Measurement>& ms) {
    for (const Measurement& m : ms) {
        if (m.elements == 1200) return m;
    }
    return ms.front();
}

double per_element(double seconds, const Measurement& m) {
    return seconds / static_cast<double>(std::max<size_t>(m.elements, 1));
}

// The range of the exported call's time per element at `m` against `ref`.
Range per_element_ratio(const Measurement& m, const Measurement& ref) {
    return crossed_ratio(m.rounds.exported, ref.rounds.exported,
                         static_cast<double>(ref.elements) / static_cast<double>(std::max<size_t>(m.elements, 1)));
}

void print_report(const std::vector<Measurement>& ms, double baseline_mib, int rounds) {
    const Measurement& ref = reference_size(ms);
    const auto net_share = [&](const Measurement& m, double peak_mib) {
        const double in_mib = static_cast<double>(m.input_bytes) / MIB;
        const double out_mib = static_cast<double>(m.output_bytes) / MIB;
        return (peak_mib - baseline_mib) / (out_mib + in_mib);
    };

    std::printf("Both roads of the whole call, and the peer (RapidJSON parsing the result text into a Document and "
                "writing it back into a StringBuffer):\n\n");
    std::printf("| elements | input MiB | output MiB | exported s | process s | peer s | exported/peer | "
                "process/peer | exported per-element vs %zu | process per-element vs %zu | exported peak RSS MiB | "
                "exported net peak/(out+in) | process net peak/(out+in) |\n",
                ref.elements, ref.elements);
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Measurement& m : ms) {
        std::printf("| %zu | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", m.elements,
                    fmt("%.2f", static_cast<double>(m.input_bytes) / MIB).c_str(),
                    fmt("%.2f", static_cast<double>(m.output_bytes) / MIB).c_str(), fmt("%.4f", m.exported).c_str(),
                    fmt("%.4f", m.whole).c_str(), fmt("%.4f", m.peer).c_str(),
                    fmt("%.2f", m.exported / m.peer).c_str(), fmt("%.2f", m.whole / m.peer).c_str(),
                    fmt("%.2f", per_element(m.exported, m) / per_element(ref.exported, ref)).c_str(),
                    fmt("%.2f", per_element(m.whole, m) / per_element(ref.whole, ref)).c_str(),
                    fmt("%.1f", m.exported_peak_mib).c_str(), fmt("%.2f", net_share(m, m.exported_peak_mib)).c_str(),
                    fmt("%.2f", net_share(m, m.peak_mib)).c_str());
    }

    std::printf("\nPhases of `process`:\n\n");
    std::printf(
        "| elements | whole s | read s | check s | construct s | calculate s | sum s | encode s | release s | "
        "expat floor s | copy floor s | whole/floor | read/expat | rapidjson s | encode/rapidjson |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Measurement& m : ms) {
        std::printf("| %zu | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", m.elements,
                    fmt("%.4f", m.whole).c_str(), fmt("%.4f", m.read).c_str(), fmt("%.6f", m.check).c_str(),
                    fmt("%.4f", m.construct).c_str(), fmt("%.4f", m.calculate).c_str(), fmt("%.4f", m.sum).c_str(),
                    fmt("%.4f", m.encode).c_str(), fmt("%.4f", m.release).c_str(), fmt("%.4f", m.expat).c_str(),
                    fmt("%.4f", m.copy).c_str(), fmt("%.1f", m.whole / (m.expat + m.copy)).c_str(),
                    fmt("%.2f", m.read / m.expat).c_str(), fmt("%.4f", m.rapidjson).c_str(),
                    fmt("%.2f", m.encode / m.rapidjson).c_str());
    }

    std::printf("\nMedians of %d rounds. floor = expat floor + copy floor. net peak = peak RSS of one call in a fresh "
                "process minus that of an idle one (%.1f MiB).\n",
                rounds, baseline_mib);
    for (const Measurement& m : ms) {
        std::printf("RSS high-water at %zu elements after read+check / construct / calculate+sum / encode: "
                    "%.1f / %.1f / %.1f / %.1f MiB; RapidJSON text %.2f MiB\n",
                    m.elements, m.phase_rss_kib[0] / 1024.0, m.phase_rss_kib[1] / 1024.0, m.phase_rss_kib[2] / 1024.0,
                    m.phase_rss_kib[3] / 1024.0, static_cast<double>(m.rapidjson_bytes) / MIB);
        for (const std::string& w : m.warnings) std::printf("WARNING at %zu elements: %s\n", m.elements, w.c_str());
    }

    std::printf("\nSpread over the %d rounds, min%smax (ratios round by round, as both times of a ratio are taken "
                "in the same round; per-element: the extremes at each size against those at %zu elements):\n\n",
                rounds, DASH, ref.elements);
    std::printf("| elements | exported s | process s | peer s | exported/peer | process/peer | exported per-element vs "
                "%zu | read s | expat floor s | read/expat | encode s | rapidjson s | encode/rapidjson |\n",
                ref.elements);
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Measurement& m : ms) {
        const Measurement::Rounds& r = m.rounds;
        std::printf("| %zu | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", m.elements,
                    span("%.4f", spread(r.exported)).c_str(), span("%.4f", spread(r.whole)).c_str(),
                    span("%.4f", spread(r.peer)).c_str(), span("%.2f", paired_ratio(r.exported, r.peer)).c_str(),
                    span("%.2f", paired_ratio(r.whole, r.peer)).c_str(),
                    span("%.2f", per_element_ratio(m, ref)).c_str(), span("%.4f", spread(r.read)).c_str(),
                    span("%.4f", spread(r.expat)).c_str(), span("%.2f", paired_ratio(r.read, r.expat)).c_str(),
                    span("%.4f", spread(r.encode)).c_str(), span("%.4f", spread(r.rapidjson)).c_str(),
                    span("%.2f", paired_ratio(r.encode, r.rapidjson)).c_str());
    }

    // Targets, on the road hosts take: checked and reported, never enforced.
    const Measurement& last = ms.back();
    const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    std::vector<Ratio> peer_ratios, read_ratios, encode_ratios;
    double worst_memory = 0;
    for (const Measurement& m : ms) {
        const Measurement::Rounds& r = m.rounds;
        peer_ratios.push_back({m.elements, m.exported / m.peer, paired_ratio(r.exported, r.peer),
                               std::min(m.exported, m.peer), m.exported < m.peer ? "exported call" : "peer"});
        read_ratios.push_back({m.elements, m.read / m.expat, paired_ratio(r.read, r.expat),
                               std::min(m.read, m.expat), m.read < m.expat ? "read" : "expat floor"});
        encode_ratios.push_back({m.elements, m.encode / m.rapidjson, paired_ratio(r.encode, r.rapidjson),
                                 std::min(m.encode, m.rapidjson), m.encode < m.rapidjson ? "encode" : "rapidjson"});
        worst_memory = std::max(worst_memory, net_share(m, m.exported_peak_mib));
    }
    const Ratio growth{last.elements, per_element(last.exported, last) / per_element(ref.exported, ref),
                       per_element_ratio(last, ref), std::min(last.exported, ref.exported),
                       last.exported < ref.exported ? "exported call" : "exported call at the reference size"};
    std::printf("\nTargets (exported call). A time ratio is judged only at sizes where both medians are at least "
                "%.3f s (below, a preemption or a page-cache miss is a large part of the time), and decided only "
                "where every round lies on one side of the target; the figure is the ratio of the medians at the "
                "worst judged size, with the range over its rounds:\n",
                NOISE_FLOOR_S);
    print_target("whole call <= 0.55 x the peer", 0.55, peer_ratios);
    std::string growth_target = "per-element time, ";
    append(growth_target, std::to_string(last.elements), " / ", std::to_string(ref.elements), " elements <= 1.15");
    print_target(growth_target.c_str(), 1.15, {growth});
    std::printf("- net peak <= 1.5 x (output + input) (worst size, one call each): %.2f, %s\n", worst_memory,
                verdict(worst_memory <= 1.5));
    print_target("read <= 2 x bare expat parse", 2.0, read_ratios);
    print_target("our encoder at least as fast as RapidJSON's writer (encode/rapidjson <= 1)", 1.0, encode_ratios);
}

constexpr char USAGE[] = "usage: mirelo_bench [--repeat N] [--budget-only | --no-budget] DIR...";

int run(int argc, char** argv) {
    int rounds = 5;
    bool budget_only = false;
    bool with_budget = true;
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeat" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--whole-call" && i + 1 < argc) {
            return child_whole_call(argv[i + 1]);
        } else if (arg == "--exported-call" && i + 1 < argc) {
            return child_exported_call(argv[i + 1]);
        } else if (arg == "--phase-memory" && i + 1 < argc) {
            return child_phase_memory(argv[i + 1]);
        } else if (arg == "--idle") {
            return 0;
        } else if (arg == "--budget-shape" && i + 6 < argc) {
            return child_budget_shape({std::atoi(argv[i + 1]), static_cast<uint32_t>(std::atoi(argv[i + 2])),
                                       std::atoi(argv[i + 3]), std::atoi(argv[i + 4]), std::atoi(argv[i + 5]) != 0,
                                       lifespans_named(argv[i + 6])});
        } else if (arg == "--budget-files" && i + 2 < argc) {
            return child_budget(argv[i + 1], argv[i + 2]);
        } else if (arg == "--budget-only") {
            budget_only = true;
        } else if (arg == "--no-budget") {
            with_budget = false;
        } else if (!arg.empty() && arg[0] == '-') {
            die(USAGE);
        } else {
            dirs.push_back(arg);
        }
    }
    if (dirs.empty() && !budget_only) die(USAGE);

    if (budget_only) {
        print_budget(measure_budget(dirs));
        return 0;
    }
    // All memory children first, while this process is still small.
    const double baseline_mib = static_cast<double>(run_child({"--idle"}).max_rss_kib) / 1024.0;
    std::vector<ChildRuns> children;
    for (const std::string& dir : dirs) {
        children.push_back(
            {run_child({"--whole-call", dir}), run_child({"--phase-memory", dir}), run_child({"--exported-call", dir})});
    }

    const std::vector<BudgetRow> budget_rows = with_budget ? measure_budget(dirs) : std::vector<BudgetRow>();

    std::vector<Measurement> ms;
    for (size_t i = 0; i < dirs.size(); ++i) {
        std::fprintf(stderr, "mirelo_bench: measuring %s\n", dirs[i].c_str());
        ms.push_back(measure(inputs_in(dirs[i]), rounds, children[i]));
    }
    print_report(ms, baseline_mib, rounds);
    if (with_budget) print_budget(budget_rows);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mirelo_bench: %s\n", e.what());
        return 1;
    }
}
