/* A host written in C that loads the library with dlopen, as an interpreter
 * does, and calls it while memory runs out.
 *
 * The host links neither the C++ runtime nor the library: both arrive with
 * dlopen, after start-up, so their thread-local storage is allocated on a
 * thread's first use of it, when memory may already have run out. Each call
 * runs in a child process of its own under RLIMIT_AS = the child's size at
 * the call plus a margin, from a few pages to enough for the whole result,
 * once with room left in the heap and once with a full heap. On the bundled
 * example, memory then runs out on the calling thread, when the worker
 * thread starts, in its first steps, in the reader, the tree's construction,
 * the calculation, the sums and the JSON text. Every call must return the
 * complete result, or the empty text with one "Error: " line on standard
 * error. Anything else fails: an abort, a signal, NULL, a different text,
 * or an empty text without its line.
 *
 *   oom_host LIBRARY.so PROJECT.xml DATABASE.xml */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

typedef const char* (*process_fn)(const char*, const char* const*, size_t);
typedef void (*free_fn)(char*);

/* What one call came to. A child exits with OUTCOME_STATUS plus its
 * outcome: a status no library exit would give, so that a library that ends
 * the process (exit(1), say) is never taken for a call that returned. */
enum outcome { COMPLETE, STOPPED, NULL_RESULT, OTHER_TEXT, NO_REPORT, NO_SETUP, OUTCOMES };
enum { OUTCOME_STATUS = 40 };

static const char* const OUTCOME_NAMES[OUTCOMES] = {
    "complete result", "empty text", "NULL", "a different text", "empty text without one Error line",
    "child could not be set up"};

#define KIB ((size_t)1024)
#define MIB (KIB * KIB)
#define PARALLEL 4

/* The runs. With room in the heap: margins in fine steps up to a little more
 * than the whole call needs, then a few where the worker thread's own malloc
 * arena (a 64 MiB reservation, aligned through a transient one of 128 MiB)
 * fits as well. With a full heap: margins in steps of two pages up to beyond
 * the worker thread's stack (2 MiB and a guard page). */
enum { FINE_RUNS = 112, LARGE_RUNS = 3, FULL_HEAP_RUNS = 320, RUNS = FINE_RUNS + LARGE_RUNS + FULL_HEAP_RUNS };

struct run {
    size_t margin;
    int full_heap;
};

static struct run run_at(int i) {
    static const size_t large[LARGE_RUNS] = {160 * MIB, 192 * MIB, 256 * MIB};
    struct run run = {0, 0};
    if (i < FINE_RUNS) {
        run.margin = (size_t)(i + 1) * 256 * KIB;
    } else if (i < FINE_RUNS + LARGE_RUNS) {
        run.margin = large[i - FINE_RUNS];
    } else {
        run.margin = (size_t)(i - FINE_RUNS - LARGE_RUNS + 1) * 8 * KIB;
        run.full_heap = 1;
    }
    return run;
}

static process_fn process;
static free_fn release;
static const char* paths[2]; /* the project and the database */
static char* expected;
static size_t expected_length;

static void fail(const char* what) {
    fprintf(stderr, "oom_host: %s: %s\n", what, strerror(errno));
    exit(2);
}

/* Reads all of `fd` into a new block; its length in *length. */
static char* read_all(int fd, size_t* length) {
    size_t capacity = 1 << 16, used = 0;
    char* data = malloc(capacity);
    if (data == NULL) fail("malloc");
    for (;;) {
        if (used == capacity) {
            capacity *= 2;
            data = realloc(data, capacity);
            if (data == NULL) fail("realloc");
        }
        ssize_t n = read(fd, data + used, capacity - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("read");
        if (n == 0) break;
        used += (size_t)n;
    }
    *length = used;
    return data;
}

/* The address space of this process, from /proc/self/statm. */
static size_t address_space(void) {
    char line[128];
    int fd = open("/proc/self/statm", O_RDONLY);
    if (fd < 0) return 0;
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0) return 0;
    line[n] = '\0';
    return strtoull(line, NULL, 10) * (size_t)sysconf(_SC_PAGESIZE);
}

/* True when `fd` holds exactly one line, and it starts with "Error: ". */
static int one_error_line(int fd) {
    static char report[4096];
    ssize_t n = read(fd, report, sizeof report);
    if (n <= 0) return 0;
    const char* newline = memchr(report, '\n', (size_t)n);
    return strncmp(report, "Error: ", 7) == 0 && newline == report + n - 1;
}

/* Takes small blocks until malloc has none left. */
static void fill_heap(void) {
    static const size_t sizes[] = {4096, 256, 16};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        while (malloc(sizes[i]) != NULL) {
        }
    }
}

/* One call in this child. With a full heap, the margin is held apart while
 * the heap fills up, then given back as address space only. Standard error
 * goes to a pipe read back here; a write that does not fit in it fails
 * quietly. */
static enum outcome call_in_child(struct run run) {
    int err[2];
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) return NO_SETUP;
    if (pipe2(err, O_NONBLOCK) != 0 || dup2(err[1], STDERR_FILENO) < 0) return NO_SETUP;
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    size_t size = address_space();
    struct rlimit limit = {size + run.margin, size + run.margin};
    if (size == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return NO_SETUP;
    if (run.full_heap) {
        void* held = mmap(NULL, run.margin, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (held == MAP_FAILED) return NO_SETUP;
        fill_heap();
        munmap(held, run.margin);
    }
    const char* result = process(paths[0], paths + 1, 1);
    if (result == NULL) return NULL_RESULT;
    enum outcome outcome;
    if (result[0] == '\0') {
        outcome = one_error_line(err[0]) ? STOPPED : NO_REPORT;
    } else {
        size_t length = strlen(result);
        outcome = length == expected_length && memcmp(result, expected, length) == 0 ? COMPLETE : OTHER_TEXT;
    }
    release((char*)result);
    return outcome;
}

/* The result without a limit, calculated in a child so that this process
 * stays as fresh as a host before its first call. */
static void calculate_expected(void) {
    int out[2];
    if (pipe(out) != 0) fail("pipe");
    pid_t child = fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        close(out[0]);
        const char* result = process(paths[0], paths + 1, 1);
        size_t length = result ? strlen(result) : 0;
        _exit(length > 0 && write(out[1], result, length) == (ssize_t)length ? 0 : 1);
    }
    close(out[1]);
    expected = read_all(out[0], &expected_length);
    close(out[0]);
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "oom_host: the project does not calculate without a limit\n");
        exit(2);
    }
}

/* Counts the outcome of run `i`; false when it is a failure, reported. */
static int judge(int i, int status, int tally[OUTCOMES]) {
    struct run run = run_at(i);
    const char* heap = run.full_heap ? "full heap" : "room in the heap";
    if (WIFEXITED(status) && WEXITSTATUS(status) >= OUTCOME_STATUS &&
        WEXITSTATUS(status) < OUTCOME_STATUS + OUTCOMES) {
        int outcome = WEXITSTATUS(status) - OUTCOME_STATUS;
        ++tally[outcome];
        if (outcome == COMPLETE || outcome == STOPPED) return 1;
        fprintf(stderr, "oom_host: +%zu KiB, %s: %s\n", run.margin / KIB, heap, OUTCOME_NAMES[outcome]);
    } else if (WIFSIGNALED(status)) {
        fprintf(stderr, "oom_host: +%zu KiB, %s: killed by signal %d\n", run.margin / KIB, heap, WTERMSIG(status));
    } else {
        fprintf(stderr, "oom_host: +%zu KiB, %s: exit status %d\n", run.margin / KIB, heap, WEXITSTATUS(status));
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBRARY.so PROJECT.xml DATABASE.xml\n", argv[0]);
        return 2;
    }
    paths[0] = argv[2];
    paths[1] = argv[3];
    /* The C++ runtime must come with the library, not before it. */
    if (dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD) != NULL) {
        fprintf(stderr, "oom_host: the C++ runtime is loaded before the library\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "oom_host: %s\n", dlerror());
        return 2;
    }
    process = (process_fn)dlsym(library, "process_xml_file_to_json");
    release = (free_fn)dlsym(library, "free_string");
    if (process == NULL || release == NULL) {
        fprintf(stderr, "oom_host: the library lacks its functions\n");
        return 2;
    }
    calculate_expected();

    int started = 0, running = 0, failures = 0;
    int tally[OUTCOMES] = {0};
    pid_t pids[PARALLEL];
    int runs[PARALLEL];
    while (started < RUNS || running > 0) {
        if (started < RUNS && running < PARALLEL) {
            pid_t child = fork();
            if (child < 0) fail("fork");
            if (child == 0) _exit(OUTCOME_STATUS + (int)call_in_child(run_at(started)));
            pids[running] = child;
            runs[running++] = started++;
            continue;
        }
        int status;
        pid_t done = waitpid(-1, &status, 0);
        if (done < 0) fail("waitpid");
        int slot = 0;
        while (slot < running && pids[slot] != done) ++slot;
        if (slot == running) continue;
        if (!judge(runs[slot], status, tally)) ++failures;
        --running;
        pids[slot] = pids[running];
        runs[slot] = runs[running];
    }
    printf("oom_host: %d calls, result of %zu bytes: %d complete, %d empty text, %d failed\n", RUNS, expected_length,
           tally[COMPLETE], tally[STOPPED], failures);
    /* Both kinds must occur, or the limits missed the call's needs. */
    if (tally[COMPLETE] == 0 || tally[STOPPED] == 0) {
        fprintf(stderr, "oom_host: the limits did not cover both a stop and a complete result\n");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
