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
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host_support.h"

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

static struct library library;
static const char* paths[2]; /* the project and the database */
static char* expected;
static size_t expected_length;

/* True when `fd` holds exactly one line, and it starts with "Error: ". */
static int one_error_line(int fd) {
    static char report[4096];
    ssize_t n = read(fd, report, sizeof report);
    if (n <= 0) return 0;
    const char* newline = memchr(report, '\n', (size_t)n);
    return strncmp(report, "Error: ", 7) == 0 && newline == report + n - 1;
}

/* Takes small blocks until malloc has none left. Each block holds the
 * address of the one taken before it, and the last one's is returned: the
 * blocks are used, so no compiler may drop the allocations (a loop on an
 * unused malloc may become an endless one), and they can all be given back
 * with release_heap. */
static void* fill_heap(void) {
    static const size_t sizes[] = {4096, 256, 16};
    void* last = NULL;
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        void* block;
        while ((block = malloc(sizes[i])) != NULL) {
            *(void**)block = last;
            last = block;
        }
    }
    return last;
}

/* Gives back every block fill_heap took. */
static void release_heap(void* last) {
    while (last != NULL) {
        void* previous = *(void**)last;
        free(last);
        last = previous;
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
    void* heap = NULL;
    if (run.full_heap) {
        void* held = mmap(NULL, run.margin, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (held == MAP_FAILED) return NO_SETUP;
        heap = fill_heap();
        munmap(held, run.margin);
    }
    const char* result = library.process(paths[0], paths + 1, 1);
    enum outcome outcome;
    if (result == NULL) {
        outcome = NULL_RESULT;
    } else if (result[0] == '\0') {
        outcome = one_error_line(err[0]) ? STOPPED : NO_REPORT;
    } else {
        size_t length = strlen(result);
        outcome = length == expected_length && memcmp(result, expected, length) == 0 ? COMPLETE : OTHER_TEXT;
    }
    library.release((char*)result);
    release_heap(heap);
    return outcome;
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
    host_name = "oom_host";
    paths[0] = argv[2];
    paths[1] = argv[3];
    library = load_library(argv[1], 1);
    expected = calculate_expected(library, paths, &expected_length);

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
