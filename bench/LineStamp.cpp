// mirdal-linestamp: copies its input to its output with, before every line,
// the CLOCK_MONOTONIC time in seconds at which the line arrived. Fed by a
// pipe or a FIFO that a program writes line by line, it dates that
// program's events without touching the program.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main()
{
    char chunk[65536];
    bool lineStart = true;
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        // Every line that begins in this chunk arrived now.
        const double arrival = now();
        for (ssize_t i = 0; i < count; ++i) {
            if (lineStart)
                std::printf("%.6f ", arrival);
            std::putchar(chunk[i]);
            lineStart = chunk[i] == '\n';
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
