#define _GNU_SOURCE
#include "host_support.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

const char* host_name = "host";

void fail(const char* what) {
    fprintf(stderr, "%s: %s: %s\n", host_name, what, strerror(errno));
    exit(2);
}

struct library load_library(const char* path, int fresh) {
    if (fresh && dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD) != NULL) {
        fprintf(stderr, "%s: the C++ runtime is loaded before the library\n", host_name);
        exit(2);
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

pid_t fork_with_pipe(int* fd) {
    int ends[2];
    if (pipe(ends) != 0) fail("pipe");
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    close(ends[pid == 0 ? 0 : 1]);
    *fd = ends[pid == 0 ? 1 : 0];
    return pid;
}

char* calculate_expected(struct library library, const char* const paths[2], size_t* length) {
    int out;
    pid_t child = fork_with_pipe(&out);
    if (child == 0) {
        const char* result = library.process(paths[0], paths + 1, 1);
        size_t size = result ? strlen(result) : 0;
        _exit(size > 0 && write(out, result, size) == (ssize_t)size ? 0 : 1);
    }
    char* expected = read_all(out, length);
    close(out);
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s: the project does not calculate without a limit\n", host_name);
        exit(2);
    }
    return expected;
}
