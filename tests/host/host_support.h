/* What the C hosts share: the library loaded as a host loads it, and the
 * small steps of their child processes. C99 and POSIX only. */
#ifndef MIRELO_HOST_SUPPORT_H
#define MIRELO_HOST_SUPPORT_H

#include <stddef.h>
#include <sys/types.h>

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

/* Loads the library with dlopen and finds its functions, or says why not
 * and exits with status 2. With `fresh`, the C++ runtime must not be loaded
 * yet: it has to arrive with the library, after start-up, as in a host
 * written in C. */
struct library load_library(const char* path, int fresh);

/* Reads all of `fd` into a new block; its length in *length. */
char* read_all(int fd, size_t* length);

/* The address space of this process, from /proc/self/statm; 0 if unknown. */
size_t address_space(void);

/* Forks a child with a pipe to this process: in the child it returns 0 and
 * *fd is the pipe's write end; here it returns the child's pid and *fd is
 * the read end. Exits with status 2 when either cannot be had. */
pid_t fork_with_pipe(int* fd);

/* The result of one call without limits on `paths` (the project, then one
 * library file), calculated in a child so that this process stays as fresh
 * as a host before its first call. Exits with status 2 when there is none. */
char* calculate_expected(struct library library, const char* const paths[2], size_t* length);

#endif
