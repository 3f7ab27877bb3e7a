/* The floor of one conversion: read SOURCE once and write SIZE bytes to
 * OUTPUT once, in 1 MiB read and write calls, and nothing else. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

static char buffer[1 << 20];

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int in = open(argv[1], O_RDONLY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0) return 1;
    ssize_t n;
    while ((n = read(in, buffer, sizeof buffer)) > 0) {}
    if (n < 0) return 1;
    for (long long left = atoll(argv[3]); left > 0; left -= (long long)sizeof buffer) {
        const size_t chunk = left < (long long)sizeof buffer ? (size_t)left : sizeof buffer;
        if (write(out, buffer, chunk) != (ssize_t)chunk) return 1;
    }
    return close(out) != 0 || close(in) != 0;
}
