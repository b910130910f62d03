// The console of a POSIX system: signals, isatty, the terminal's size ioctl, stat.
#include "cli/Console.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace console {

void keepRunningWithoutOutput()
{
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor: this one.
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// A POSIX terminal takes UTF-8 and escape sequences as they are.
bool prepareTerminal(FILE* stream)
{
    return isTerminal(stream);
}

bool isTerminal(FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

long descriptorRoom()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    long open = 0;
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(listing))
            open += entry->d_name[0] != '.' ? 1 : 0;
        closedir(listing);
        --open; // the listing's own
    } else {
        for (int fd = 0; fd < static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 16)); ++fd)
            open += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    }
    return static_cast<long>(limit.rlim_cur) - open;
}

int columns(FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
}

bool mayOpen(const std::string& path)
{
    return ::access(path.c_str(), R_OK | W_OK) == 0;
}

std::string deviceIdentity(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return {};
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        return "device " + std::to_string(static_cast<unsigned long long>(status.st_rdev));
    return "file " + std::to_string(static_cast<unsigned long long>(status.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(status.st_ino));
}

// ---------------------------------------------------------------- interruptions

namespace {

// Ctrl-\ (SIGQUIT) too: its default, a core dump, would leave the terminal
// mid-dialogue without its release frames, for a key pressed by mistake.
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

// What the handler may touch: lock-free atomics and a pipe to the watch's thread.
std::atomic<int> interruptions{0};
std::atomic<int> exitCode{130};
int wakeUp[2] = {-1, -1};
struct sigaction previous[kSignalCount];
std::thread watcher;

constexpr char kInterrupted = 'i';
constexpr char kDone = 'q';

void onSignal(int)
{
    const int saved = errno;
    if (interruptions.fetch_add(1) > 0)
        _exit(exitCode.load());
    const char byte = kInterrupted;
    const ssize_t written = write(wakeUp[1], &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

InterruptWatch::InterruptWatch(std::function<void()> onFirst, int exitStatus)
{
    static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");
    interruptions = 0;
    exitCode = exitStatus;
    if (pipe(wakeUp) != 0)
        return; // no watch: interruptions keep their usual effect
    fcntl(wakeUp[0], F_SETFD, FD_CLOEXEC);
    fcntl(wakeUp[1], F_SETFD, FD_CLOEXEC);
    watcher = std::thread([onFirst = std::move(onFirst)] {
        bool reported = false;
        for (;;) {
            char byte = 0;
            const ssize_t got = read(wakeUp[0], &byte, 1);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || byte == kDone)
                return;
            if (!reported && onFirst)
                onFirst();
            reported = true;
        }
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &action, &previous[i]);
}

InterruptWatch::~InterruptWatch()
{
    if (wakeUp[0] < 0)
        return;
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &previous[i], nullptr);
    const char byte = kDone;
    if (write(wakeUp[1], &byte, 1) == 1 && watcher.joinable())
        watcher.join();
    else if (watcher.joinable())
        watcher.detach();
    close(wakeUp[0]);
    close(wakeUp[1]);
    wakeUp[0] = wakeUp[1] = -1;
}

bool InterruptWatch::interrupted() const
{
    return interruptions.load() > 0;
}

} // namespace console
