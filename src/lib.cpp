#include "lib.hpp"

#include <cxxabi.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "budget.hpp"
#include "json.hpp"
#include "log.hpp"
#include "mirelo.h"
#include "shared_error.hpp"
#include "text_convert.hpp"

namespace mirelo {

namespace {

constexpr size_t WORKER_STACK_SIZE = 2 * 1024 * 1024;

// Writes all of `data`, or returns the errno of the failed write.
std::optional<int> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return std::nullopt;
}

// The line of a call that ran out of memory.
constexpr std::string_view OUT_OF_MEMORY_LINE = "Error: fatal: out of memory";

// Keeps the compiler from removing the allocation of blocks that are freed
// unused: their addresses may be read by the empty asm.
inline void keep(void* blocks) noexcept { asm volatile("" : : "r"(blocks) : "memory"); }

// Makes the per-thread state that is otherwise allocated on first use exist
// now, while running out of memory can still be reported. In a library
// loaded with dlopen, the thread-local variables of the C++ runtime get
// their memory on a thread's first use of them (this library's own, the
// budget's account, are allocated with the thread: budget.cpp), and when
// that allocation fails the C library ends the whole process. The C++
// runtime's exception state is first used by the first exception, which is
// often the one that reports memory running out. So a thread first makes
// sure that blocks of every small size can be had and gives them back, then
// touches that state: the small block it needs is cut from one of them.
// glibc keeps freed small blocks in a cache of the thread that freed them,
// which other threads cannot take from, so concurrent calls cannot take the
// reserve away before it is used. One case remains: a thread for which
// glibc could not set up a malloc arena (address space too short for its
// 64 MiB reservation) gets every block mapped on its own and unmapped when
// freed, so another thread may take that address space first; only the
// host can close it (see the README). ICU needs nothing here: it keeps no
// per-thread state, and lower-casing with the root locale and the
// White_Space test read only tables built into it, without allocating.
// Returns false when the blocks cannot be had; the thread must then neither
// throw nor catch.
bool prepare_thread_state() noexcept {
    // One block of each size malloc's per-thread cache holds (up to 1 KiB).
    constexpr size_t RESERVE_BLOCKS = 64;
    constexpr size_t RESERVE_STEP = 16;
    void* blocks[RESERVE_BLOCKS];
    bool reserved = true;
    for (size_t i = 0; i < RESERVE_BLOCKS; ++i) {
        blocks[i] = std::malloc((i + 1) * RESERVE_STEP);
        reserved = reserved && blocks[i] != nullptr;
    }
    keep(blocks);
    for (void* block : blocks) std::free(block);
    if (!reserved) return false;
    // The C++ runtime's exception state, which every throw and catch uses.
    // The read is declared free of side effects; the empty asm keeps it.
    const int uncaught = std::uncaught_exceptions();
    asm volatile("" : : "r"(uncaught));
    return true;
}

// Writes the report of a refused argument. Like any failure to write a
// diagnostic, running out of memory for its text is ignored: the argument
// is refused all the same.
template <class Write>
void report_refused(Write&& write) noexcept {
    if (!prepare_thread_state()) return;
    try {
        write();
    } catch (...) {
    }
}

// What the starter hands to the worker thread and gets back from it.
struct WorkerJob {
    std::string project_xml_path;
    std::vector<std::string> lib_paths;
    std::string output_path;
    budget::Limit limit;
    json::Text result;
};

void* worker_main(void* arg) {
    auto* job = static_cast<WorkerJob*>(arg);
    // A write to a closed pipe raises SIGPIPE, whose default action ends the
    // whole host. Blocked in this thread's mask, it leaves the write failing
    // with EPIPE (a fatal stop of this call); the signal stays pending on
    // this thread alone and is discarded when the thread ends.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    // Before the call allocates anything.
    if (!prepare_thread_state()) {
        print_stderr_line(OUT_OF_MEMORY_LINE);
        return nullptr;
    }
    // Nothing may leave the thread: an exception escaping a thread body
    // would terminate the host. Every way out of `process` other than its
    // return value becomes one line and the empty result.
    try {
        job->result = process(job->project_xml_path, job->lib_paths, job->output_path, std::move(job->limit));
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must finish unwinding
    } catch (...) {
        report_current_exception();
    }
    return nullptr;
}

}  // namespace

void report_current_exception() noexcept {
    try {
        throw;
    } catch (const FatalStop& stop) {
        print_stderr_line("Error: fatal: ", stop.what());
    } catch (const std::bad_alloc&) {
        print_stderr_line(OUT_OF_MEMORY_LINE);
    } catch (const std::exception& e) {
        print_stderr_line("Error: fatal: unexpected failure: ", e.what());
    } catch (...) {
        print_stderr_line("Error: fatal: unexpected failure of an unknown kind");
    }
}

Parser read_inputs(const std::string& project_xml_path, const std::vector<std::string>& library_xml_paths) {
    Parser parser;
    parser.parse_file(project_xml_path, true);
    for (const std::string& path : library_xml_paths) parser.parse_file(path, false);
    try {
        parser.assert_tables();
    } catch (FatalStop& stop) {
        // The check concerns the files as a whole: name them all.
        std::string files = "project " + project_xml_path;
        if (library_xml_paths.empty()) files += ", no library files";
        for (const std::string& path : library_xml_paths) files += ", library " + path;
        stop.add_context(files);
        throw;
    }
    return parser;
}

RootNode build_tree(Parser parser) {
    RootNode root;
    root.from_parser(std::move(parser));
    return root;
}

void calculate_first_building(RootNode& root) {
    if (root.children.empty()) fatal("index out of bounds: the root has no building");
    BuildingNode& building = root.children.front();
    if (Status status = building.calculate()) {
        // The partly calculated tree is still the result; its inner nodes
        // stay without sums rather than holding sums of half the products.
        print_stderr_line("Error: " + status->display());
        return;
    }
    building.calculate_hierarchy_sums();
}

RootNode calculated_tree(Parser parser) {
    RootNode root = build_tree(std::move(parser));
    calculate_first_building(root);
    return root;
}

Calculation::Calculation(budget::Limit limit, const std::string& project_xml_path,
                         const std::vector<std::string>& library_xml_paths)
    : Calculation(std::move(limit), read_inputs(project_xml_path, library_xml_paths)) {}

// Reading holds memory in proportion to what it reads; the tree may hold
// what the limit allows, by default for those bytes.
Calculation::Calculation(budget::Limit limit, Parser parser)
    : scope_(parser.bytes_read(), std::move(limit)), root_(calculated_tree(std::move(parser))) {}

json::Text encode_tree(const RootNode& root) {
    auto encoded = json::encode(root);
    if (!encoded) fatal("JSON encoding failed: " + std::string(json::error_name(encoded.error())));
    return std::move(encoded.value());
}

json::Text process(const std::string& project_xml_path, const std::vector<std::string>& library_xml_paths,
                   const std::string& output_path, budget::Limit limit) {
    const Calculation calculation(std::move(limit), project_xml_path, library_xml_paths);
    json::Text json = encode_tree(calculation.root());
    if (!output_path.empty()) write_payload_to_file(json.view(), output_path);
    return json;
}

json::Text safe_process(const std::string& project_xml_path, const std::vector<std::string>& library_xml_paths,
                        const std::string& output_path) {
    // The limit is read here, on the calling thread, once per call; a value
    // that is not a byte count stops the call before any file is read.
    budget::Limit limit;
    try {
        limit = budget::limit_from_environment();
    } catch (...) {
        report_current_exception();
        return json::Text();
    }
    // The worker gets its own copies: it must not reach into the caller's
    // objects, whatever happens to it.
    WorkerJob job{project_xml_path, library_xml_paths, output_path, std::move(limit), json::Text()};

    // std::thread cannot choose the stack size, and the platform default
    // varies; the pipeline is sized for 2 MiB.
    pthread_attr_t attr;
    if (int rc = pthread_attr_init(&attr); rc != 0) {
        print_stderr_line("Error: fatal: could not prepare the worker thread: ", os_error_text(rc));
        return json::Text();
    }
    int rc = pthread_attr_setstacksize(&attr, WORKER_STACK_SIZE);
    pthread_t worker;
    if (rc == 0) rc = pthread_create(&worker, &attr, &worker_main, &job);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        print_stderr_line("Error: fatal: could not start the worker thread: ", os_error_text(rc));
        return json::Text();
    }
    // The worker uses `job` on this stack. The join is a cancellation point:
    // the caller runs this with cancellation disabled (the C entry does), so
    // that a cancellation cannot unwind the stack before the worker ends.
    pthread_join(worker, nullptr);
    return std::move(job.result);
}

void write_payload_to_file(std::string_view payload, const std::string& file_path) {
    int fd = ::open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        int err = errno;
        fatal("could not create output file " + file_path + ": " + os_error_text(err));
    }
    // Every byte is handed to the system before the call reports success:
    // a file that silently lacks its end would be a failure reported as
    // success, whatever the payload's size.
    std::optional<int> failed = write_all(fd, payload);
    if (::close(fd) != 0 && !failed) failed = errno;
    if (failed) fatal("could not write output file " + file_path + ": " + os_error_text(*failed));
}

bool accept_utf8_path(std::string_view path, const char* what) noexcept {
    const size_t valid = valid_utf8_prefix(path);
    if (valid == path.size()) return true;
    report_refused([&] {
        print_stderr_line("Error: invalid utf-8: invalid byte near index " + std::to_string(valid));
        print_stderr_line("Error: " + SharedError::cffi_type_error(std::string("Error parsing ") + what).display());
    });
    return false;
}

}  // namespace mirelo

namespace {

// Stands in for the empty result when not even its one byte can be
// allocated; free_string recognises it and leaves it alone.
const char EMPTY_FALLBACK[1] = {'\0'};

// The empty text, the result of a call that stopped.
const char* empty_result() {
    auto* text = static_cast<char*>(std::malloc(1));
    if (text == nullptr) return EMPTY_FALLBACK;
    *text = '\0';
    return text;
}

// The call, with cancellation of the calling thread disabled.
const char* run_call(const char* input_xml_path, const char* const* library_xml_paths,
                     size_t library_xml_paths_length) noexcept {
    using mirelo::print_stderr_line;
    // Refused arguments are told apart without allocating: only they give NULL.
    if (input_xml_path == nullptr) {
        print_stderr_line("Error: input_xml_path is null");
        return nullptr;
    }
    if (!mirelo::accept_utf8_path(input_xml_path, "input_xml_path")) return nullptr;
    if (library_xml_paths == nullptr && library_xml_paths_length > 0) {
        mirelo::report_refused([&] {
            print_stderr_line("Error: library_xml_paths is null but library_xml_paths_length is " +
                              std::to_string(library_xml_paths_length));
        });
        return nullptr;
    }
    // All paths are checked before any file is read: a bad argument
    // never costs a half-run pipeline.
    for (size_t i = 0; i < library_xml_paths_length; ++i) {
        const char* path = library_xml_paths[i];
        if (path == nullptr) {
            mirelo::report_refused(
                [&] { print_stderr_line("Error: library_xml_paths[" + std::to_string(i) + "] is null"); });
            return nullptr;
        }
        if (!mirelo::accept_utf8_path(path, "library_xml_paths")) return nullptr;
    }
    // The calling thread's first exception could be the one of memory
    // running out: the host's thread gets its state made ready as well.
    if (!mirelo::prepare_thread_state()) {
        print_stderr_line(mirelo::OUT_OF_MEMORY_LINE);
        return empty_result();
    }
    try {
        std::vector<std::string> libraries(library_xml_paths, library_xml_paths + library_xml_paths_length);
        // The encoder's own block is the result: the text is never copied.
        if (char* text = mirelo::safe_process(input_xml_path, libraries, std::string()).release()) return text;
        return empty_result();
    } catch (...) {
        mirelo::report_current_exception();
    }
    return empty_result();
}

// Releases a result that never reaches the host: the calling thread was
// cancelled on its way out of the call.
class ReleasedUnlessKept {
public:
    explicit ReleasedUnlessKept(const char* result) noexcept : result_(result) {}
    ~ReleasedUnlessKept() { free_string(const_cast<char*>(result_)); }
    ReleasedUnlessKept(const ReleasedUnlessKept&) = delete;
    ReleasedUnlessKept& operator=(const ReleasedUnlessKept&) = delete;
    const char* keep() noexcept { return std::exchange(result_, nullptr); }

private:
    const char* result_;
};

}  // namespace

extern "C" MIRELO_EXPORT const char* process_xml_file_to_json(const char* input_xml_path,
                                                              const char* const* library_xml_paths,
                                                              size_t library_xml_paths_length) {
    // A cancellation of the host's thread inside the call would unwind
    // through code that cannot let it pass (a diagnostic line is written
    // with writev, a cancellation point) and through the wait for the
    // worker, which uses this stack. So the call runs with cancellation
    // disabled, in this one place; a request made meanwhile takes effect at
    // the host's next cancellation point after the call returns.
    int host_state = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &host_state);
    ReleasedUnlessKept result(run_call(input_xml_path, library_xml_paths, library_xml_paths_length));
    // Giving the thread back its state is not a cancellation point, unless
    // the host enabled asynchronous cancellation, which the call does not
    // support (it is not async-cancel-safe): then a pending request acts
    // here and unwinds the thread, as it would on any cancellation, and the
    // result the host will never see is released on the way.
    pthread_setcancelstate(host_state, nullptr);
    return result.keep();
}

extern "C" MIRELO_EXPORT void free_string(char* p) {
    // free() ignores NULL; every other result came from malloc or realloc.
    if (p != EMPTY_FALLBACK) std::free(p);
}
