/* Times two to four commands in alternation: after WARMUP runs of each, RUNS
 * runs of each in the order A B B A A B B A ... (A B C C B A A B C ... for
 * three), so that a change in the machine's load falls on all alike. Every
 * run is started directly (no shell) with its output discarded and must end
 * with 0. Prints one line: the median, first and third quartile of the wall
 * times of A, then of B (and of C, D), in milliseconds, and the ratio of the
 * medians A / B (then A / C, A / D).
 *
 * An argument holding "{run}" names a file the run writes: "{run}" becomes
 * the number of the run, and the file is removed after the run, outside the
 * timed span, so that every run writes a new file. So is every other file of
 * its directory whose name starts as the file's does up to the number and
 * goes on with no further digit ("out-3.gsd" also removes "out-3-ew1.gsd",
 * "n3" removes "n3.nii" and "n3a.json"): the files a run names after it.
 *
 * Usage: alternate RUNS WARMUP COMMAND-A... -- COMMAND-B... [-- COMMAND-C...] */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_ARGS 16

/* Runs argv once with "{run}" replaced by `number`; returns its wall time. */
/* Removes `path` and every file beside it named as it is up to `stem`
 * characters (the name through the run's number) with no digit next. */
static void removeRunFiles(const char* path, size_t stem) {
    unlink(path);
    const char* slash = strrchr(path, '/');
    const size_t start = slash ? (size_t)(slash - path) + 1 : 0;
    if (stem <= start) return;
    char directory[4096];
    snprintf(directory, sizeof directory, "%.*s", start ? (int)start : 1, start ? path : ".");
    DIR* dir = opendir(directory);
    if (!dir) return;
    const char* name = path + start;
    const size_t length = stem - start;
    for (struct dirent* e; (e = readdir(dir)) != NULL;)
        if (strncmp(e->d_name, name, length) == 0 && !(e->d_name[length] >= '0' && e->d_name[length] <= '9'))
            unlinkat(dirfd(dir), e->d_name, 0);
    closedir(dir);
}

static double runOnce(char** argv, int number) {
    char buffers[MAX_ARGS][4096];
    char* args[MAX_ARGS + 1];
    size_t fresh[MAX_ARGS] = {0}; /* the length of the name through the number, or 0 */
    int n = 0;
    for (; argv[n] != NULL; ++n) {
        const char* mark = strstr(argv[n], "{run}");
        if (n == MAX_ARGS || (mark && strlen(argv[n]) + 16 > sizeof buffers[n])) {
            fprintf(stderr, "alternate: command too long\n");
            exit(2);
        }
        args[n] = argv[n];
        if (mark) {
            const int stem = snprintf(buffers[n], sizeof buffers[n], "%.*s%d", (int)(mark - argv[n]), argv[n], number);
            snprintf(buffers[n] + stem, sizeof buffers[n] - (size_t)stem, "%s", mark + 5);
            args[n] = buffers[n];
            fresh[n] = strchr(mark + 5, '/') ? 0 : (size_t)stem; /* a number in a directory's name: the file alone */
            if (!fresh[n]) fresh[n] = (size_t)-1;
        }
    }
    args[n] = NULL;

    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("alternate: fork");
        exit(2);
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(args[0], args);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "alternate: %s did not end with 0\n", args[0]);
        exit(2);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    for (int i = 0; i < n; ++i) {
        if (fresh[i] == (size_t)-1) unlink(args[i]);
        else if (fresh[i]) removeRunFiles(args[i], fresh[i]);
    }
    return (double)(end.tv_sec - start.tv_sec) * 1e3 + (double)(end.tv_nsec - start.tv_nsec) / 1e6;
}

static int ascending(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

/* The value at fraction q of the sorted times, between neighbours. */
static double quantile(const double* sorted, int n, double q) {
    const double at = q * (n - 1);
    const int i = (int)at;
    return i + 1 < n ? sorted[i] + (at - i) * (sorted[i + 1] - sorted[i]) : sorted[i];
}

#define MAX_COMMANDS 4

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: alternate RUNS WARMUP COMMAND-A... -- COMMAND-B... [-- COMMAND-C...]\n");
        return 2;
    }
    const int runs = atoi(argv[1]), warmup = atoi(argv[2]);
    char** commands[MAX_COMMANDS] = {argv + 3};
    int count = 1;
    for (int i = 3; i < argc; ++i)
        if (strcmp(argv[i], "--") == 0) {
            if (count == MAX_COMMANDS) {
                fprintf(stderr, "alternate: at most %d commands\n", MAX_COMMANDS);
                return 2;
            }
            argv[i] = NULL;
            commands[count++] = argv + i + 1;
        }
    if (runs < 1 || warmup < 0 || count < 2 || commands[count - 1][0] == NULL || commands[0][0] == NULL) {
        fprintf(stderr, "alternate: need RUNS >= 1, WARMUP >= 0 and two commands\n");
        return 2;
    }
    double* times[MAX_COMMANDS];
    for (int c = 0; c < count; ++c)
        if (!(times[c] = malloc(sizeof(double) * (size_t)runs))) return 2;
    for (int i = 0; i < warmup; ++i)
        for (int c = 0; c < count; ++c) runOnce(commands[c], i);
    for (int i = 0; i < runs; ++i)
        for (int k = 0; k < count; ++k) {
            const int c = i % 2 == 0 ? k : count - 1 - k;
            times[c][i] = runOnce(commands[c], i);
        }
    double medians[MAX_COMMANDS];
    for (int c = 0; c < count; ++c) {
        qsort(times[c], (size_t)runs, sizeof(double), ascending);
        medians[c] = quantile(times[c], runs, 0.5);
        printf("%s%.3f %.3f %.3f", c ? " " : "", medians[c], quantile(times[c], runs, 0.25),
               quantile(times[c], runs, 0.75));
    }
    for (int c = 1; c < count; ++c) printf(" %.3f", medians[0] / medians[c]);
    printf("\n");
    for (int c = 0; c < count; ++c) free(times[c]);
    return 0;
}
