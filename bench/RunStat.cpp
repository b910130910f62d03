// mirdal-runstat: runs a command and reports, on one line, its wall time and
// what the kernel accounted to it: user and system CPU time and peak resident
// memory. The figures come from wait4(), so they cover the command itself and
// nothing of the script around it.
//
//   mirdal-runstat [-o FILE] -- COMMAND [ARGUMENT...]
//
// The line reads "wall_s=W user_s=U sys_s=S maxrss_kib=M status=X" and goes
// to FILE (appended) or to standard error. The exit status is the command's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

double seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

int usage()
{
    std::fputs("usage: mirdal-runstat [-o FILE] -- COMMAND [ARGUMENT...]\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const char* output = nullptr;
    int first = 1;
    if (first + 1 < argc && std::strcmp(argv[first], "-o") == 0) {
        output = argv[first + 1];
        first += 2;
    }
    if (first >= argc || std::strcmp(argv[first], "--") != 0 || first + 1 >= argc)
        return usage();
    char** command = argv + first + 1;

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("mirdal-runstat: fork");
        return 1;
    }
    if (child == 0) {
        execvp(command[0], command);
        std::fprintf(stderr, "mirdal-runstat: %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }

    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("mirdal-runstat: wait4");
            return 1;
        }
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    FILE* out = output ? std::fopen(output, "a") : stderr;
    if (!out) {
        std::perror(output);
        return 1;
    }
    std::fprintf(out, "wall_s=%.6f user_s=%.6f sys_s=%.6f maxrss_kib=%ld status=%d\n", wall.count(),
                 seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss, exitStatus);
    if (out != stderr)
        std::fclose(out);
    return exitStatus;
}
