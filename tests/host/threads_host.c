/* A host written in C that loads the library with dlopen and calls it from
 * many threads at once while address space runs short.
 *
 * Each run is a child process in which THREADS threads call the library at
 * once on the bundled example, under RLIMIT_AS = the child's size plus a
 * margin. Below about 100 MiB memory runs out in the calls themselves (the
 * worker threads' stacks, the reader, the tree); from 100 to 400 MiB some of
 * the threads' malloc arenas (64 MiB each, reserved through a transient
 * 128 MiB) fit and take the room the others then miss. As in oom_host, the
 * C++ runtime and the library arrive with dlopen, so their thread-local
 * storage is allocated on each thread's first use of it. Every call must
 * return the complete result or the empty text; the child must end by
 * itself, never with the C library's status 127 or a signal; its standard
 * error, drained here, must hold one "Error: " line per empty text and
 * nothing else.
 *
 *   threads_host LIBRARY.so PROJECT.xml DATABASE.xml [RUNS FIRST_MIB LAST_MIB]
 *
 * RUNS margins go evenly from FIRST_MIB to LAST_MIB, by default 200 from
 * 2 MiB to 400 MiB. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host_support.h"

#define KIB ((size_t)1024)
#define MIB (KIB * KIB)

enum {
    THREADS = 16,
    PARALLEL = 4,
    /* Each child ends by itself within this many seconds, or fails. */
    CHILD_SECONDS = 60,
    /* A child that ended by itself exits with CHILD_DONE, one that could
     * not be set up with CHILD_NO_SETUP: statuses no exit of the library
     * (the C library's 127, say) gives. */
    CHILD_DONE = 40,
    CHILD_NO_SETUP = 41,
    /* By default, margins in steps of 2 MiB from 2 MiB to 400 MiB. */
    DEFAULT_RUNS = 200,
};

/* The stacks of the host's threads. Small, so that the room a margin
 * leaves goes to the calls, not to the host. */
#define HOST_STACK (256 * KIB)

enum outcome { COMPLETE, STOPPED, NULL_RESULT, OTHER_TEXT, NOT_STARTED, OUTCOMES };

static const char* const OUTCOME_NAMES[OUTCOMES] = {"complete result", "empty text", "NULL", "a different text",
                                                    "host thread not started"};

/* What the calls of one run came to, written by its child into memory
 * shared with this process. */
struct tally {
    int calls[OUTCOMES];
};

static struct library library;
static const char* paths[2]; /* the project and the database */
static char* expected;
static size_t expected_length;
static size_t runs = DEFAULT_RUNS, first_margin = 2 * MIB, last_margin = 400 * MIB;
static struct tally* tallies; /* one per run */

/* The margins go evenly from the first to the last. */
static size_t margin_at(size_t i) {
    return runs == 1 ? first_margin : first_margin + (last_margin - first_margin) * i / (runs - 1);
}

/* The threads of a child wait at this gate, so that their calls overlap. */
static pthread_mutex_t gate_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gate_open = PTHREAD_COND_INITIALIZER;
static int open_gate;

static void* call_thread(void* arg) {
    enum outcome* outcome = arg;
    pthread_mutex_lock(&gate_lock);
    while (!open_gate) pthread_cond_wait(&gate_open, &gate_lock);
    pthread_mutex_unlock(&gate_lock);
    const char* result = library.process(paths[0], paths + 1, 1);
    if (result == NULL) {
        *outcome = NULL_RESULT;
    } else if (result[0] == '\0') {
        *outcome = STOPPED;
    } else {
        size_t length = strlen(result);
        *outcome = length == expected_length && memcmp(result, expected, length) == 0 ? COMPLETE : OTHER_TEXT;
    }
    library.release((char*)result);
    return NULL;
}

/* The child of run `i`: its calls, with standard error on `err`. */
static void run_child(size_t i, int err) {
    alarm(CHILD_SECONDS);
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(CHILD_NO_SETUP);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, HOST_STACK) != 0) _exit(CHILD_NO_SETUP);
    size_t size = address_space();
    struct rlimit limit = {size + margin_at(i), size + margin_at(i)};
    if (size == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(CHILD_NO_SETUP);

    pthread_t threads[THREADS];
    enum outcome outcomes[THREADS];
    int started[THREADS];
    for (int t = 0; t < THREADS; ++t) {
        outcomes[t] = NOT_STARTED;
        started[t] = pthread_create(&threads[t], &attr, call_thread, &outcomes[t]) == 0;
    }
    pthread_mutex_lock(&gate_lock);
    open_gate = 1;
    pthread_cond_broadcast(&gate_open);
    pthread_mutex_unlock(&gate_lock);
    for (int t = 0; t < THREADS; ++t) {
        if (started[t]) pthread_join(threads[t], NULL);
        ++tallies[i].calls[outcomes[t]];
    }
    _exit(CHILD_DONE);
}

/* The lines a child wrote to standard error, as they are drained. */
struct lines {
    int errors;       /* lines that begin with "Error: " */
    int others;       /* any other line */
    char other[120];  /* the beginning of the first other line */
    char head[120];   /* the beginning of the line being read */
    size_t column;
};

static void end_line(struct lines* lines) {
    size_t kept = lines->column < sizeof lines->head ? lines->column : sizeof lines->head - 1;
    lines->head[kept] = '\0';
    if (strncmp(lines->head, "Error: ", 7) == 0) {
        ++lines->errors;
    } else if (lines->others++ == 0) {
        memcpy(lines->other, lines->head, kept + 1);
    }
    lines->column = 0;
}

static void take_text(struct lines* lines, const char* text, size_t length) {
    for (size_t k = 0; k < length; ++k) {
        if (text[k] == '\n') {
            end_line(lines);
            continue;
        }
        if (lines->column < sizeof lines->head - 1) lines->head[lines->column] = text[k];
        ++lines->column;
    }
}

struct child {
    pid_t pid;
    size_t run;
    int err; /* the read end of its standard error */
    struct lines lines;
};

/* Judges run `child->run` after its end; false when it failed, reported. */
static int judge(const struct child* child, int status, int* ended) {
    const struct tally* tally = &tallies[child->run];
    size_t margin = margin_at(child->run) / MIB;
    int ok = 1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == CHILD_NO_SETUP) {
        fprintf(stderr, "threads_host: +%zu MiB: the child could not be set up\n", margin);
        ok = 0;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != CHILD_DONE) {
        ++*ended;
        ok = 0;
        if (WIFSIGNALED(status)) {
            fprintf(stderr, "threads_host: +%zu MiB: killed by signal %d\n", margin, WTERMSIG(status));
        } else {
            fprintf(stderr, "threads_host: +%zu MiB: exit status %d\n", margin, WEXITSTATUS(status));
        }
    } else {
        for (int o = NULL_RESULT; o <= OTHER_TEXT; ++o) {
            if (tally->calls[o] == 0) continue;
            fprintf(stderr, "threads_host: +%zu MiB: %d calls gave %s\n", margin, tally->calls[o], OUTCOME_NAMES[o]);
            ok = 0;
        }
        if (child->lines.errors != tally->calls[STOPPED]) {
            fprintf(stderr, "threads_host: +%zu MiB: %d empty texts, %d Error lines\n", margin,
                    tally->calls[STOPPED], child->lines.errors);
            ok = 0;
        }
    }
    if (child->lines.others > 0) {
        fprintf(stderr, "threads_host: +%zu MiB: %d other lines on standard error, the first: %s\n", margin,
                child->lines.others, child->lines.other);
        ok = 0;
    }
    return ok;
}

static void start_child(size_t run, struct child* child) {
    int err;
    pid_t pid = fork_with_pipe(&err);
    if (pid == 0) run_child(run, err);
    memset(child, 0, sizeof *child);
    child->pid = pid;
    child->run = run;
    child->err = err;
}

/* Reads what the child wrote; true at the end of its standard error. */
static int drain(struct child* child) {
    char buffer[4096];
    ssize_t n = read(child->err, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return 0;
    if (n < 0) fail("read");
    if (n == 0) {
        if (child->lines.column > 0) end_line(&child->lines);
        return 1;
    }
    take_text(&child->lines, buffer, (size_t)n);
    return 0;
}

int main(int argc, char** argv) {
    host_name = "threads_host";
    if (argc != 4 && argc != 7) {
        fprintf(stderr, "usage: %s LIBRARY.so PROJECT.xml DATABASE.xml [RUNS FIRST_MIB LAST_MIB]\n", argv[0]);
        return 2;
    }
    paths[0] = argv[2];
    paths[1] = argv[3];
    if (argc == 7) {
        runs = strtoul(argv[4], NULL, 10);
        first_margin = strtoul(argv[5], NULL, 10) * MIB;
        last_margin = strtoul(argv[6], NULL, 10) * MIB;
        if (runs == 0 || last_margin < first_margin) {
            fprintf(stderr, "threads_host: RUNS must be above 0 and LAST_MIB at least FIRST_MIB\n");
            return 2;
        }
    }
    library = load_library(argv[1], 1);
    expected = calculate_expected(library, paths, &expected_length);
    tallies = mmap(NULL, runs * sizeof *tallies, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (tallies == MAP_FAILED) fail("mmap");

    struct child children[PARALLEL];
    struct pollfd polled[PARALLEL];
    size_t started = 0;
    int running = 0, failures = 0, ended = 0;
    while (started < runs || running > 0) {
        if (started < runs && running < PARALLEL) {
            start_child(started++, &children[running++]);
            continue;
        }
        for (int c = 0; c < running; ++c) {
            polled[c].fd = children[c].err;
            polled[c].events = POLLIN;
        }
        if (poll(polled, (nfds_t)running, -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll");
        }
        for (int c = running - 1; c >= 0; --c) {
            if (polled[c].revents == 0 || !drain(&children[c])) continue;
            close(children[c].err);
            int status;
            if (waitpid(children[c].pid, &status, 0) != children[c].pid) fail("waitpid");
            if (!judge(&children[c], status, &ended)) ++failures;
            children[c] = children[--running];
        }
    }

    int total[OUTCOMES] = {0};
    for (size_t i = 0; i < runs; ++i) {
        for (int o = 0; o < OUTCOMES; ++o) total[o] += tallies[i].calls[o];
    }
    printf("threads_host: %zu runs of %d threads: %d complete, %d empty text, %d not started; "
           "%d runs ended the process, %d failed\n",
           runs, THREADS, total[COMPLETE], total[STOPPED], total[NOT_STARTED], ended, failures);
    /* Both kinds must occur, or the limits missed the calls' needs. */
    if (total[COMPLETE] == 0 || total[STOPPED] == 0) {
        fprintf(stderr, "threads_host: the limits did not cover both a stop and a complete result\n");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
