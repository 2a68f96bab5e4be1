/* A host written in C that loads the library with dlopen and calls it from
 * many threads at once while address space runs short.
 *
 * Each run is a child process in which THREADS threads call the library at
 * once on the bundled example, under RLIMIT_AS = the child's size plus a
 * margin. Below about 100 MiB memory runs out in the calls themselves (the
 * worker threads' stacks, the reader, the tree); from 100 to 400 MiB some of
 * the threads' malloc arenas (64 MiB each, reserved through a transient
 * 128 MiB) fit and take the room the others then miss. Every call must
 * return the complete result or the empty text; the child must end by
 * itself, never with a signal; its standard error must hold one "Error: "
 * line per empty text and nothing else.
 *
 *   threads_host RUNTIME LIBRARY.so PROJECT.xml DATABASE.xml [THREADS RUNS FIRST_MIB LAST_MIB]
 *
 * RUNTIME says where the C++ runtime comes from:
 *   preloaded  before the library (LD_PRELOAD=libstdc++.so.6, or linked
 *              into the host), as a host that has to close every way for
 *              the process to end has it: every end of a child fails.
 *   dlopen     with the library, as in a host written in C: the runtime's
 *              thread-local storage is allocated on each thread's first use
 *              of it. A thread for which glibc could not set up a malloc
 *              arena gets blocks that another thread can take before that
 *              allocation, and the C library then ends the process with
 *              status 127 and its line "cannot allocate memory for
 *              thread-local data: ABORT". Such ends, with that line alone,
 *              are counted and reported; any other end fails.
 * RUNS margins go evenly from FIRST_MIB to LAST_MIB, by default 200 runs of
 * 16 threads from 2 MiB to 400 MiB. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_support.h"

/* The stacks of the host's threads. Small, so that the room a margin
 * leaves goes to the calls, not to the host. */
#define HOST_STACK (256 * KIB)

enum { MAX_THREADS = 1024 };

static size_t threads = 16, runs = 200, first_margin = 2 * MIB, last_margin = 400 * MIB;

/* The margins go evenly from the first to the last. */
static size_t margin_at(size_t i) {
    return runs == 1 ? first_margin : first_margin + (last_margin - first_margin) * i / (runs - 1);
}

static void describe(size_t i, char* text, size_t size) { snprintf(text, size, "+%zu KiB", margin_at(i) / KIB); }

/* The threads of a child wait at this gate, so that their calls overlap. */
static pthread_mutex_t gate_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gate_open = PTHREAD_COND_INITIALIZER;
static int open_gate;

static void* call_thread(void* arg) {
    enum outcome* outcome = arg;
    pthread_mutex_lock(&gate_lock);
    while (!open_gate) pthread_cond_wait(&gate_open, &gate_lock);
    pthread_mutex_unlock(&gate_lock);
    *outcome = call_library();
    return NULL;
}

/* The calls of run `i`, in its child. */
static int calls_in_child(size_t i, struct tally* tally) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, HOST_STACK) != 0) return -1;
    if (limit_address_space(margin_at(i)) != 0) return -1;
    pthread_t thread[MAX_THREADS];
    enum outcome outcomes[MAX_THREADS];
    int started[MAX_THREADS];
    for (size_t t = 0; t < threads; ++t) {
        outcomes[t] = NOT_STARTED;
        started[t] = pthread_create(&thread[t], &attr, call_thread, &outcomes[t]) == 0;
    }
    pthread_mutex_lock(&gate_lock);
    open_gate = 1;
    pthread_cond_broadcast(&gate_open);
    pthread_mutex_unlock(&gate_lock);
    for (size_t t = 0; t < threads; ++t) {
        if (started[t]) pthread_join(thread[t], NULL);
        ++tally->calls[outcomes[t]];
    }
    return 0;
}

int main(int argc, char** argv) {
    host_name = "threads_host";
    int preloaded = argc > 1 && strcmp(argv[1], "preloaded") == 0;
    if ((argc != 5 && argc != 9) || (!preloaded && strcmp(argv[1], "dlopen") != 0)) {
        fprintf(stderr,
                "usage: %s preloaded|dlopen LIBRARY.so PROJECT.xml DATABASE.xml [THREADS RUNS FIRST_MIB LAST_MIB]\n",
                argv[0]);
        return 2;
    }
    if (argc == 9) {
        threads = strtoul(argv[5], NULL, 10);
        runs = strtoul(argv[6], NULL, 10);
        first_margin = strtoul(argv[7], NULL, 10) * MIB;
        last_margin = strtoul(argv[8], NULL, 10) * MIB;
        if (threads == 0 || threads > MAX_THREADS || runs == 0 || last_margin < first_margin) {
            fprintf(stderr, "threads_host: THREADS must be 1 to %d, RUNS above 0 and LAST_MIB at least FIRST_MIB\n",
                    MAX_THREADS);
            return 2;
        }
    }
    prepare_calls(argv[2], preloaded ? RUNTIME_BEFORE : RUNTIME_WITH_LIBRARY, argv[3], argv[4]);
    struct runs series = {runs, calls_in_child, describe, !preloaded};
    struct totals totals = run_children(&series);
    printf("threads_host: %zu runs of %zu threads, C++ runtime %s: %d complete, %d empty text, %d not started; "
           "%d runs ended by the C library for thread-local storage, %d failed\n",
           runs, threads, preloaded ? "preloaded" : "with the library", totals.calls[COMPLETE],
           totals.calls[STOPPED], totals.calls[NOT_STARTED], totals.tls_aborts, totals.failed);
    return series_status(&totals);
}
