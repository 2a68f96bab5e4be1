/* What the C hosts share: the library loaded as a host loads it, and runs
 * of calls in child processes, judged alike. C99 and POSIX only. */
#ifndef MIRELO_HOST_SUPPORT_H
#define MIRELO_HOST_SUPPORT_H

#include <stddef.h>
#include <sys/types.h>

#define KIB ((size_t)1024)
#define MIB (KIB * KIB)

typedef const char* (*process_fn)(const char*, const char* const*, size_t);
typedef void (*free_fn)(char*);

/* The two exported functions of the loaded library. */
struct library {
    process_fn process;
    free_fn release;
};

/* The host's name at the start of its messages; set it first. */
extern const char* host_name;

/* Says which step failed, with the system's error, and exits with status 2. */
void fail(const char* what);

/* When the C++ runtime must have been loaded, checked by load_library. */
enum runtime {
    RUNTIME_ANY = 0,
    /* Not yet: it arrives with the library, after start-up, as in a host
     * written in C, so its thread-local storage is allocated on each
     * thread's first use of it. */
    RUNTIME_WITH_LIBRARY = 1,
    /* Already, at start-up (preloaded or linked into the host), so its
     * thread-local storage comes with every thread. */
    RUNTIME_BEFORE = 2,
};

/* Loads the library with dlopen and finds its functions, or says why not
 * and exits with status 2, as when the C++ runtime is not as `runtime`
 * wants it. */
struct library load_library(const char* path, enum runtime runtime);

/* Reads all of `fd` into a new block; its length in *length. */
char* read_all(int fd, size_t* length);

/* The address space of this process, from /proc/self/statm; 0 if unknown. */
size_t address_space(void);

/* Limits the address space of this process (RLIMIT_AS) to its size now
 * plus `margin` bytes. Returns 0, or -1 when it cannot. */
int limit_address_space(size_t margin);

/* Forks a child with a pipe to this process: in the child it returns 0 and
 * *fd is the pipe's write end; here it returns the child's pid and *fd is
 * the read end. Exits with status 2 when either cannot be had. */
pid_t fork_with_pipe(int* fd);

/* The library loaded with `runtime`, `paths` (the project, then one
 * library file) and their result of one call without limits, calculated in
 * a child so that this process stays as fresh as a host before its first
 * call. Exits with status 2 when any of them cannot be had. */
void prepare_calls(const char* library_path, enum runtime runtime, const char* project, const char* database);

/* What one call came to. A host thread that could not be created makes no
 * call; NULL and a different text are failures. */
enum outcome { COMPLETE, STOPPED, NOT_STARTED, NULL_RESULT, OTHER_TEXT, OUTCOMES };

/* One call on the prepared paths, judged against their result. */
enum outcome call_library(void);

/* The outcomes of the calls of one run, kept in memory shared between its
 * child and this process. */
struct tally {
    int calls[OUTCOMES];
};

/* A series of runs, each in a child process of its own. */
struct runs {
    size_t count;
    /* The calls of run `run`, in its child, with standard output on
     * /dev/null and standard error on a pipe drained by this process;
     * their outcomes in *tally. Returns 0, or -1 when the run could not be
     * set up. */
    int (*child)(size_t run, struct tally* tally);
    /* Writes what tells run `run` apart (its limit) into text. */
    void (*describe)(size_t run, char* text, size_t size);
    /* When set, a child that the C library ended because it could not
     * allocate a thread's thread-local storage is counted, not failed. */
    int count_tls_aborts;
};

/* What a series of runs came to. */
struct totals {
    int calls[OUTCOMES];
    int tls_aborts; /* runs the C library ended for thread-local storage */
    int failed;     /* runs judged failed, each reported on standard error */
};

/* Runs the series, a few children at a time, and judges every run: its
 * child must end by itself within a minute, without NULL or a different
 * text, with one "Error: " line per empty text on standard error and
 * nothing else there. */
struct totals run_children(const struct runs* runs);

/* The exit status of a host after its series: 0 when no run failed and the
 * calls gave both a complete result and the empty text (without both, the
 * limits missed the calls' needs), 1 otherwise, said on standard error. */
int series_status(const struct totals* totals);

#endif
