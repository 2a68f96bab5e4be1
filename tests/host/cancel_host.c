/* A host written in C whose thread is cancelled while its call of the
 * library is blocked writing a line to standard error.
 *
 * Standard error is a pipe filled to the last byte, so the call's "Error: "
 * line cannot be written until the pipe is drained. While it waits, the
 * host cancels the calling thread (deferred cancellation), waits a little,
 * then drains the pipe. The call must return all the same, its result must
 * reach free_string, and the cancellation takes effect at the thread's next
 * cancellation point after the call: the thread ends as cancelled. A thread
 * that had disabled cancellation before the call still has it disabled
 * after it and ends as cancelled only once it enables it again. The blocked
 * line is written on the worker thread (a call that stops), on the calling
 * thread (a refused project path) or on the calling thread within a report
 * that catches what its writing throws (a refused library path). A thread
 * with asynchronous cancellation, which the library does not support, is
 * unwound as cancelled when the call gives it back its state, without
 * returning to the host: the process must live on.
 *
 * Each case runs in a child process of its own, so that a case that ends
 * the process or hangs (CASE_SECONDS) is reported by name.
 *
 *   cancel_host LIBRARY.so PROJECT.xml */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host_support.h"

enum { CASE_SECONDS = 20 };

/* How long the calling thread is left blocked before it is cancelled, and
 * how long it is left after that before the pipe is drained. */
enum { BLOCKED_MS = 200, CANCELLED_MS = 100 };

enum argument { STOPPING_CALL, NULL_PROJECT, NULL_LIBRARY };

struct cancel_case {
    const char* name;
    enum argument argument;
    int host_disables; /* the thread disables cancellation before the call */
    int asynchronous;  /* the thread enables asynchronous cancellation */
    const char* line;  /* what the blocked line holds */
};

static const struct cancel_case CASES[] = {
    {"stopped call, cancellation enabled", STOPPING_CALL, 0, 0, "Missing GEN_DK"},
    {"stopped call, cancellation disabled by the host", STOPPING_CALL, 1, 0, "Missing GEN_DK"},
    {"stopped call, asynchronous cancellation", STOPPING_CALL, 0, 1, "Missing GEN_DK"},
    {"null project path, cancellation enabled", NULL_PROJECT, 0, 0, "input_xml_path is null"},
    {"null project path, cancellation disabled by the host", NULL_PROJECT, 1, 0, "input_xml_path is null"},
    {"null project path, asynchronous cancellation", NULL_PROJECT, 0, 1, "input_xml_path is null"},
    {"null library path, cancellation enabled", NULL_LIBRARY, 0, 0, "library_xml_paths[0] is null"},
    {"null library path, cancellation disabled by the host", NULL_LIBRARY, 1, 0, "library_xml_paths[0] is null"},
};
enum { CASES_COUNT = sizeof CASES / sizeof CASES[0] };

static struct library library;
static const char* project;
static int report_fd; /* the child's own messages: the test's standard error */

/* What the calling thread has got to, read by the main thread. */
struct progress {
    pthread_mutex_t lock;
    int entered;      /* the call has begun */
    int returned;     /* the call has returned */
    int null_result;  /* ... with NULL */
    int empty_result; /* ... with the empty text */
    int released;     /* free_string has been called on the result */
    int state_after;  /* the thread's cancellation state after the call */
    int passed_point; /* a cancellation point with cancellation disabled */
    int survived;     /* the thread went on past its last cancellation point */
    int ended;        /* the thread has ended, either way */
};

static struct progress progress = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, 0, 0, -1, 0, 0, 0};

static void set(int* flag, int value) {
    pthread_mutex_lock(&progress.lock);
    *flag = value;
    pthread_mutex_unlock(&progress.lock);
}

static int get(const int* flag) {
    pthread_mutex_lock(&progress.lock);
    int value = *flag;
    pthread_mutex_unlock(&progress.lock);
    return value;
}

static void mark_ended(void* unused) {
    (void)unused;
    set(&progress.ended, 1);
}

static void sleep_ms(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

static void* calling_thread(void* arg) {
    const struct cancel_case* c = arg;
    pthread_cleanup_push(mark_ended, NULL);
    if (c->host_disables) pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL);
    if (c->asynchronous) pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, NULL);
    const char* null_library[1] = {NULL};
    set(&progress.entered, 1);
    const char* result = c->argument == STOPPING_CALL  ? library.process(project, NULL, 0)
                         : c->argument == NULL_PROJECT ? library.process(NULL, NULL, 0)
                                                       : library.process(project, null_library, 1);
    pthread_mutex_lock(&progress.lock);
    progress.returned = 1;
    progress.null_result = result == NULL;
    progress.empty_result = result != NULL && result[0] == '\0';
    pthread_mutex_unlock(&progress.lock);
    library.release((char*)result);
    set(&progress.released, 1);
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, NULL);
    set(&progress.state_after, state);
    pthread_testcancel();
    if (c->host_disables) {
        set(&progress.passed_point, 1);
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, NULL);
        pthread_testcancel();
    }
    set(&progress.survived, 1);
    pthread_cleanup_pop(1);
    return NULL;
}

/* Fills the pipe on standard error to its last byte; writes to it block
 * from then on. */
static int fill_stderr(void) {
    static char filler[4096];
    memset(filler, '\n', sizeof filler);
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (flags < 0 || fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) return 0;
    while (write(STDERR_FILENO, filler, sizeof filler) > 0) {
    }
    while (write(STDERR_FILENO, filler, 1) > 0) {
    }
    int full = errno == EAGAIN;
    return fcntl(STDERR_FILENO, F_SETFL, flags) == 0 && full;
}

/* Reads what is in the pipe now; keeps the text other than the filler's
 * line feeds in `text` (at most `capacity` - 1 bytes, terminated). */
static void drain(int fd, char* text, size_t capacity, size_t* used) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t k = 0; k < n; ++k) {
            if ((buffer[k] != '\n' || *used > 0) && *used + 1 < capacity) text[(*used)++] = buffer[k];
        }
    }
    text[*used] = '\0';
}

static int check(int ok, const struct cancel_case* c, const char* what) {
    if (!ok) dprintf(report_fd, "cancel_host: %s: %s\n", c->name, what);
    return ok;
}

/* Runs one case in this child; its exit status is 0 when it passed. */
static int run_case(const struct cancel_case* c) {
    alarm(CASE_SECONDS);
    report_fd = dup(STDERR_FILENO);
    int err[2];
    int null = open("/dev/null", O_WRONLY);
    if (report_fd < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0 || pipe(err) != 0 ||
        dup2(err[1], STDERR_FILENO) < 0 || !fill_stderr()) {
        dprintf(report_fd, "cancel_host: %s: could not set up: %s\n", c->name, strerror(errno));
        return 2;
    }
    pthread_t thread;
    if (pthread_create(&thread, NULL, calling_thread, (void*)c) != 0) return 2;
    while (!get(&progress.entered)) sleep_ms(1);
    sleep_ms(BLOCKED_MS);
    int ok = check(!get(&progress.returned), c, "the call returned while its line could not be written");
    pthread_cancel(thread);
    sleep_ms(CANCELLED_MS);
    if (fcntl(err[0], F_SETFL, O_NONBLOCK) != 0) return 2;
    char text[4096];
    size_t used = 0;
    while (!get(&progress.ended)) {
        drain(err[0], text, sizeof text, &used);
        sleep_ms(1);
    }
    void* value;
    pthread_join(thread, &value);
    drain(err[0], text, sizeof text, &used);

    if (c->asynchronous) {
        /* The request acts as the call gives the thread back its state: the
         * thread unwinds from there, running its cleanup handler, and the
         * process lives on. (glibc 2.36 leaves the exit value of a thread
         * cancelled there NULL instead of PTHREAD_CANCELED.) */
        ok &= check(!get(&progress.returned), c, "the call returned to the cancelled thread");
        ok &= check(strncmp(text, "Error: ", 7) == 0 && strstr(text, c->line) != NULL, c,
                    "standard error lacks the call's line");
        ok &= check((value == PTHREAD_CANCELED || value == NULL) && !get(&progress.survived), c,
                    "the thread did not end as cancelled");
        return ok ? 0 : 1;
    }
    if (!get(&progress.returned)) {
        check(0, c, "the call did not return: the thread ended inside it");
        return 1;
    }
    int expect_null = c->argument != STOPPING_CALL;
    ok &= check(expect_null ? get(&progress.null_result) : get(&progress.empty_result), c,
                expect_null ? "the call did not give NULL" : "the call did not give the empty text");
    ok &= check(get(&progress.released), c, "free_string was not called on the result");
    ok &= check(strncmp(text, "Error: ", 7) == 0 && strstr(text, c->line) != NULL, c,
                "standard error lacks the call's line");
    int state = c->host_disables ? PTHREAD_CANCEL_DISABLE : PTHREAD_CANCEL_ENABLE;
    ok &= check(get(&progress.state_after) == state, c, "the call changed the thread's cancellation state");
    if (c->host_disables) {
        ok &= check(get(&progress.passed_point), c, "the thread was cancelled while it had cancellation disabled");
    }
    ok &= check(value == PTHREAD_CANCELED && !get(&progress.survived), c, "the thread did not end as cancelled");
    return ok ? 0 : 1;
}

int main(int argc, char** argv) {
    host_name = "cancel_host";
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY.so PROJECT.xml\n", argv[0]);
        return 2;
    }
    project = argv[2];
    /* Under the sanitizers the C++ runtime comes with the host: the
     * library's place in memory does not matter here. */
    library = load_library(argv[1], 0);
    int failures = 0;
    for (int i = 0; i < CASES_COUNT; ++i) {
        fflush(NULL);
        pid_t child = fork();
        if (child < 0) fail("fork");
        if (child == 0) _exit(run_case(&CASES[i]));
        int status;
        if (waitpid(child, &status, 0) != child) fail("waitpid");
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
        ++failures;
        if (WIFSIGNALED(status)) {
            fprintf(stderr, "cancel_host: %s: killed by signal %d%s\n", CASES[i].name, WTERMSIG(status),
                    WTERMSIG(status) == SIGALRM ? " (it hung)" : "");
        } else if (WEXITSTATUS(status) != 1) {
            fprintf(stderr, "cancel_host: %s: exit status %d\n", CASES[i].name, WEXITSTATUS(status));
        }
    }
    printf("cancel_host: %d cases, %d failed\n", CASES_COUNT, failures);
    return failures == 0 ? 0 : 1;
}
