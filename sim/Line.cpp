#include "sim/Line.h"

#include "protocol/Line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

constexpr int kWriteTimeoutMs = 2000;                // a PC that reads nothing loses the answer
constexpr std::chrono::milliseconds kPauseSlice{50}; // how soon a pause notices a stop request

bool makeRaw(int fd, speed_t speed)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool makeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

speed_t speedOf(unsigned baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
    }
}

std::string failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

bool openPseudoTerminal(Line& line, std::string& error)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = failure("openpty");
        return false;
    }
    if (!makeRaw(slave, speedOf(kBaudRate)) || !makeNonBlocking(master)) {
        error = failure("pseudo-terminal settings");
        close(master);
        close(slave);
        return false;
    }
    line = {master, slave, name};
    return true;
}

bool openDevice(const std::string& path, unsigned baud, Line& line, std::string& error)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = failure(path);
        return false;
    }
    if (!makeRaw(fd, speedOf(baud))) {
        error = failure(path + " settings");
        close(fd);
        return false;
    }
    line = {fd, -1, path};
    return true;
}

int unreadByPeer(const Line& line)
{
    int count = 0;
    if (line.keptSlave < 0 || ioctl(line.keptSlave, FIONREAD, &count) != 0)
        return 0;
    return count;
}

void closeLine(Line& line)
{
    if (line.fd >= 0)
        close(line.fd);
    if (line.keptSlave >= 0)
        close(line.keptSlave);
    line.fd = -1;
    line.keptSlave = -1;
}

bool writeToLine(int fd, const std::vector<uint8_t>& bytes, const std::atomic<bool>& stop, std::string& problem)
{
    problem.clear();
    size_t done = 0;
    while (done < bytes.size()) {
        if (stop.load())
            return false;
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        const int error = count < 0 ? errno : 0;
        if (error == EINTR)
            continue;
        pollfd waiter{fd, POLLOUT, 0};
        if (error == EAGAIN && poll(&waiter, 1, kWriteTimeoutMs) > 0 && (waiter.revents & POLLOUT))
            continue;
        problem = "answer dropped after " + std::to_string(done) + " byte(s): " +
                  (error == 0 || error == EAGAIN ? std::string("the PC reads nothing") : std::strerror(error));
        return false;
    }
    return true;
}

void pauseUnlessStopped(std::chrono::microseconds duration, const std::atomic<bool>& stop)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + duration;
    for (auto now = Clock::now(); now < end && !stop.load(); now = Clock::now())
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, kPauseSlice));
}

Arrival receiveFromLine(int fd, int waitMs, uint8_t* buffer, size_t capacity, size_t& count)
{
    count = 0;
    pollfd waiter{fd, POLLIN, 0};
    const int ready = poll(&waiter, 1, waitMs);
    if (ready < 0 && errno != EINTR)
        return Arrival::Failed;
    if (ready <= 0)
        return Arrival::Quiet;
    if (!(waiter.revents & POLLIN))
        return Arrival::HangUp;
    const ssize_t got = read(fd, buffer, capacity);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return Arrival::Quiet;
    if (got <= 0)
        return Arrival::HangUp;
    count = static_cast<size_t>(got);
    return Arrival::Bytes;
}
