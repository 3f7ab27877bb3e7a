/* The crash-safe floor of one conversion: read SOURCE once in 1 MiB read
 * calls, write SIZE bytes once into an unnamed temporary file in OUTPUT's
 * directory (O_TMPFILE) and link it under OUTPUT's name when complete, so
 * that no reader ever sees a part of it and a crash leaves nothing behind
 * (an existing OUTPUT is replaced: linked under a second name, renamed over
 * it). What any converter that keeps those promises cannot do without. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char buffer[1 << 20];

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    char directory[4096];
    snprintf(directory, sizeof directory, "%s", argv[2]);
    const int in = open(argv[1], O_RDONLY);
    const int out = open(dirname(directory), O_WRONLY | O_TMPFILE, 0666);
    if (in < 0 || out < 0) return 1;
    ssize_t n;
    while ((n = read(in, buffer, sizeof buffer)) > 0) {}
    if (n < 0) return 1;
    for (long long left = atoll(argv[3]); left > 0; left -= (long long)sizeof buffer) {
        const size_t chunk = left < (long long)sizeof buffer ? (size_t)left : sizeof buffer;
        if (write(out, buffer, chunk) != (ssize_t)chunk) return 1;
    }
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", out);
    if (linkat(AT_FDCWD, self, AT_FDCWD, argv[2], AT_SYMLINK_FOLLOW) != 0) {
        char temporary[4096 + 16];
        snprintf(temporary, sizeof temporary, "%s.floor-new", argv[2]);
        if (linkat(AT_FDCWD, self, AT_FDCWD, temporary, AT_SYMLINK_FOLLOW) != 0 || rename(temporary, argv[2]) != 0)
            return 1;
    }
    return close(out) != 0 || close(in) != 0;
}
