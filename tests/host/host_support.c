#define _GNU_SOURCE
#include "host_support.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum {
    /* Children running at once. */
    PARALLEL = 4,
    /* Each child ends by itself within this many seconds, or fails. */
    CHILD_SECONDS = 60,
    /* A child that ended by itself exits with CHILD_DONE, one that could
     * not be set up with CHILD_NO_SETUP: statuses no exit of the library
     * (the C library's 127, say) gives. */
    CHILD_DONE = 40,
    CHILD_NO_SETUP = 41,
    /* The status with which the C library ends the process when it cannot
     * allocate a thread's block of thread-local storage of a library loaded
     * with dlopen, after writing TLS_ABORT_LINE. */
    TLS_ABORT_STATUS = 127,
};

static const char TLS_ABORT_LINE[] = "cannot allocate memory for thread-local data: ABORT";

static const char* const OUTCOME_NAMES[OUTCOMES] = {"complete result", "empty text", "host thread not started",
                                                    "NULL", "a different text"};

const char* host_name = "host";

void fail(const char* what) {
    fprintf(stderr, "%s: %s: %s\n", host_name, what, strerror(errno));
    exit(2);
}

struct library load_library(const char* path, enum runtime runtime) {
    if (runtime != RUNTIME_ANY) {
        int loaded = dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD) != NULL;
        if (loaded != (runtime == RUNTIME_BEFORE)) {
            fprintf(stderr, "%s: the C++ runtime is %s before the library%s\n", host_name,
                    loaded ? "loaded" : "not loaded", loaded ? "" : " (LD_PRELOAD=libstdc++.so.6)");
            exit(2);
        }
    }
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == NULL) {
        fprintf(stderr, "%s: %s\n", host_name, dlerror());
        exit(2);
    }
    struct library library;
    library.process = (process_fn)dlsym(handle, "process_xml_file_to_json");
    library.release = (free_fn)dlsym(handle, "free_string");
    if (library.process == NULL || library.release == NULL) {
        fprintf(stderr, "%s: the library lacks its functions\n", host_name);
        exit(2);
    }
    return library;
}

char* read_all(int fd, size_t* length) {
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

size_t address_space(void) {
    char line[128];
    int fd = open("/proc/self/statm", O_RDONLY);
    if (fd < 0) return 0;
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0) return 0;
    line[n] = '\0';
    return strtoull(line, NULL, 10) * (size_t)sysconf(_SC_PAGESIZE);
}

int limit_address_space(size_t margin) {
    size_t size = address_space();
    struct rlimit limit = {size + margin, size + margin};
    return size == 0 || setrlimit(RLIMIT_AS, &limit) != 0 ? -1 : 0;
}

pid_t fork_with_pipe(int* fd) {
    int ends[2];
    if (pipe(ends) != 0) fail("pipe");
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    close(ends[pid == 0 ? 0 : 1]);
    *fd = ends[pid == 0 ? 1 : 0];
    return pid;
}

static struct library library;
static const char* paths[2]; /* the project and the database */
static char* expected;
static size_t expected_length;

void prepare_calls(const char* library_path, enum runtime runtime, const char* project, const char* database) {
    library = load_library(library_path, runtime);
    paths[0] = project;
    paths[1] = database;
    int out;
    pid_t child = fork_with_pipe(&out);
    if (child == 0) {
        const char* result = library.process(paths[0], paths + 1, 1);
        size_t size = result ? strlen(result) : 0;
        _exit(size > 0 && write(out, result, size) == (ssize_t)size ? 0 : 1);
    }
    expected = read_all(out, &expected_length);
    close(out);
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s: the project does not calculate without a limit\n", host_name);
        exit(2);
    }
}

enum outcome call_library(void) {
    const char* result = library.process(paths[0], paths + 1, 1);
    enum outcome outcome;
    if (result == NULL) {
        outcome = NULL_RESULT;
    } else if (result[0] == '\0') {
        outcome = STOPPED;
    } else {
        size_t length = strlen(result);
        outcome = length == expected_length && memcmp(result, expected, length) == 0 ? COMPLETE : OTHER_TEXT;
    }
    library.release((char*)result);
    return outcome;
}

/* The lines a child wrote to standard error, as they are drained. */
struct lines {
    int errors;      /* lines that begin with "Error: " */
    int tls_aborts;  /* lines that are TLS_ABORT_LINE */
    int others;      /* any other line */
    char other[120]; /* the beginning of the first other line */
    char head[120];  /* the beginning of the line being read */
    size_t column;
};

static void end_line(struct lines* lines) {
    size_t kept = lines->column < sizeof lines->head ? lines->column : sizeof lines->head - 1;
    lines->head[kept] = '\0';
    if (strncmp(lines->head, "Error: ", 7) == 0) {
        ++lines->errors;
    } else if (lines->column == sizeof TLS_ABORT_LINE - 1 && strcmp(lines->head, TLS_ABORT_LINE) == 0) {
        ++lines->tls_aborts;
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

static void start_child(const struct runs* runs, size_t run, struct tally* tallies, struct child* child) {
    int err;
    pid_t pid = fork_with_pipe(&err);
    if (pid == 0) {
        alarm(CHILD_SECONDS);
        struct rlimit no_core = {0, 0};
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
            setrlimit(RLIMIT_CORE, &no_core) != 0) {
            _exit(CHILD_NO_SETUP);
        }
        close(null);
        close(err);
        _exit(runs->child(run, &tallies[run]) == 0 ? CHILD_DONE : CHILD_NO_SETUP);
    }
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

/* Judges a run after its child's end; false when it failed, reported. */
static int judge(const struct runs* runs, const struct child* child, int status, const struct tally* tally,
                 struct totals* totals) {
    char run[80];
    runs->describe(child->run, run, sizeof run);
    const struct lines* lines = &child->lines;
    int exited = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (exited == CHILD_NO_SETUP) {
        fprintf(stderr, "%s: %s: the child could not be set up\n", host_name, run);
        return 0;
    }
    /* Only the C library's own end, with its line alone beside the calls'
     * lines, is the end that may be counted. */
    int tls_abort = runs->count_tls_aborts && exited == TLS_ABORT_STATUS && lines->tls_aborts > 0 &&
                    lines->others == 0;
    int ok = 1;
    if (tls_abort) {
        ++totals->tls_aborts;
        fprintf(stderr, "%s: %s: ended by the C library: %s (counted)\n", host_name, run, TLS_ABORT_LINE);
    } else if (exited != CHILD_DONE) {
        ok = 0;
        if (WIFSIGNALED(status)) {
            fprintf(stderr, "%s: %s: killed by signal %d\n", host_name, run, WTERMSIG(status));
        } else {
            fprintf(stderr, "%s: %s: exit status %d\n", host_name, run, exited);
        }
    }
    for (int o = NULL_RESULT; o < OUTCOMES; ++o) {
        if (tally->calls[o] == 0) continue;
        fprintf(stderr, "%s: %s: %d calls gave %s\n", host_name, run, tally->calls[o], OUTCOME_NAMES[o]);
        ok = 0;
    }
    /* A child the C library ended may have been stopped between a call's
     * line and its outcome. */
    if (exited == CHILD_DONE && lines->errors != tally->calls[STOPPED]) {
        fprintf(stderr, "%s: %s: %d empty texts, %d Error lines\n", host_name, run, tally->calls[STOPPED],
                lines->errors);
        ok = 0;
    }
    if (lines->tls_aborts > 0 && !tls_abort) {
        fprintf(stderr, "%s: %s: %d lines \"%s\"\n", host_name, run, lines->tls_aborts, TLS_ABORT_LINE);
        ok = 0;
    }
    if (lines->others > 0) {
        fprintf(stderr, "%s: %s: %d other lines on standard error, the first: %s\n", host_name, run, lines->others,
                lines->other);
        ok = 0;
    }
    return ok;
}

struct totals run_children(const struct runs* runs) {
    struct tally* tallies =
        mmap(NULL, runs->count * sizeof *tallies, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (tallies == MAP_FAILED) fail("mmap");
    struct totals totals;
    memset(&totals, 0, sizeof totals);
    struct child children[PARALLEL];
    struct pollfd polled[PARALLEL];
    size_t started = 0;
    int running = 0;
    while (started < runs->count || running > 0) {
        if (started < runs->count && running < PARALLEL) {
            start_child(runs, started++, tallies, &children[running++]);
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
            const struct tally* tally = &tallies[children[c].run];
            if (!judge(runs, &children[c], status, tally, &totals)) ++totals.failed;
            for (int o = 0; o < OUTCOMES; ++o) totals.calls[o] += tally->calls[o];
            children[c] = children[--running];
        }
    }
    munmap(tallies, runs->count * sizeof *tallies);
    return totals;
}

int series_status(const struct totals* totals) {
    if (totals->calls[COMPLETE] == 0 || totals->calls[STOPPED] == 0) {
        fprintf(stderr, "%s: the limits did not cover both a stop and a complete result\n", host_name);
        return 1;
    }
    return totals->failed == 0 ? 0 : 1;
}
