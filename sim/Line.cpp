#include "Line.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned kDefaultBaud = 9600;

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

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

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
    if (!makeRaw(slave, speedOf(kDefaultBaud)) || !makeNonBlocking(master)) {
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
