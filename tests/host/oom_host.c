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
 * complete result with nothing on standard error, or the empty text with
 * one "Error: " line there. Anything else fails: an abort, a signal, NULL,
 * a different text, an empty text without its line, any other line. The
 * calling thread only waits while the library's worker thread runs, so no
 * other thread can take the memory a thread of the call made sure of: an
 * end by the C library for thread-local storage fails here too.
 *
 *   oom_host LIBRARY.so PROJECT.xml DATABASE.xml */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "host_support.h"

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

static struct run run_at(size_t i) {
    static const size_t large[LARGE_RUNS] = {160 * MIB, 192 * MIB, 256 * MIB};
    struct run run = {0, 0};
    if (i < FINE_RUNS) {
        run.margin = (i + 1) * 256 * KIB;
    } else if (i < FINE_RUNS + LARGE_RUNS) {
        run.margin = large[i - FINE_RUNS];
    } else {
        run.margin = (i - FINE_RUNS - LARGE_RUNS + 1) * 8 * KIB;
        run.full_heap = 1;
    }
    return run;
}

static void describe(size_t i, char* text, size_t size) {
    struct run run = run_at(i);
    snprintf(text, size, "+%zu KiB, %s", run.margin / KIB, run.full_heap ? "full heap" : "room in the heap");
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

/* The one call of run `i`, in its child. With a full heap, the margin is
 * held apart while the heap fills up, then given back as address space
 * only. */
static int call_in_child(size_t i, struct tally* tally) {
    struct run run = run_at(i);
    if (limit_address_space(run.margin) != 0) return -1;
    void* heap = NULL;
    if (run.full_heap) {
        void* held = mmap(NULL, run.margin, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (held == MAP_FAILED) return -1;
        heap = fill_heap();
        munmap(held, run.margin);
    }
    ++tally->calls[call_library()];
    release_heap(heap);
    return 0;
}

int main(int argc, char** argv) {
    host_name = "oom_host";
    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBRARY.so PROJECT.xml DATABASE.xml\n", argv[0]);
        return 2;
    }
    prepare_calls(argv[1], RUNTIME_WITH_LIBRARY, argv[2], argv[3]);
    struct runs runs = {RUNS, call_in_child, describe, 0};
    struct totals totals = run_children(&runs);
    printf("oom_host: %d calls: %d complete, %d empty text, %d failed\n", RUNS, totals.calls[COMPLETE],
           totals.calls[STOPPED], totals.failed);
    return series_status(&totals);
}
