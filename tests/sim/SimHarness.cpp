#include "tests/sim/SimHarness.h"

#include "crypto/Aes.h"
#include "protocol/Crc16.h"
#include "protocol/Framing.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

constexpr int kReadWaitFloorMs = 500;
constexpr int kBurstSettleMs = 10; // lets a burst written at once land before the one read
constexpr int kQuietGapMs = 300;   // an answer's pieces come closer together than this

bool waitReadable(int fd, int timeoutMs)
{
    pollfd waiter{fd, POLLIN, 0};
    return poll(&waiter, 1, timeoutMs) > 0 && (waiter.revents & POLLIN);
}

} // namespace

// --- FdLink -------------------------------------------------------------------

bool FdLink::write(const uint8_t* data, uint16_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t count = ::write(fd_, data + done, length - done);
        if (count <= 0)
            return false;
        done += static_cast<size_t>(count);
    }
    return tcdrain(fd_) == 0;
}

bool FdLink::read(uint8_t* buffer, uint16_t& length, int timeoutMs)
{
    if (!waitReadable(fd_, std::max(timeoutMs, kReadWaitFloorMs)))
        return false;
    poll(nullptr, 0, kBurstSettleMs);
    const ssize_t count = ::read(fd_, buffer, length);
    if (count <= 0)
        return false;
    length = static_cast<uint16_t>(count);
    received_.emplace_back(buffer, buffer + count);
    return true;
}

bool FdLink::readFull(uint8_t* buffer, uint16_t& length)
{
    uint16_t done = 0;
    while (done < length) {
        const ssize_t count = waitReadable(fd_, fullWaitMs_) ? ::read(fd_, buffer + done, length - done) : 0;
        if (count <= 0) {
            length = 0;
            return false;
        }
        done = static_cast<uint16_t>(done + count);
    }
    received_.emplace_back(buffer, buffer + length);
    return true;
}

void FdLink::clearInput()
{
    tcflush(fd_, TCIFLUSH);
}

// --- SimulatorHarness -----------------------------------------------------------

SimulatorHarness::SimulatorHarness(TerminalOptions options, ServeOptions serve)
    : terminal_(
          std::move(options), [this](const std::string& line) { log(line); },
          [this](const std::string& line) { log("problem: " + line); }),
      server_(terminal_, serve, [this](const std::string& line) { log(line); })
{
    std::string error;
    if (!openPseudoTerminal(line_, error))
        throw std::runtime_error(error);
    thread_ = std::thread([this] {
        end_ = server_.serve(line_);
        // A vanished terminal hangs up on the PC at once.
        if (end_ == ServeEnd::Vanished)
            closeLine(line_);
    });
}

SimulatorHarness::~SimulatorHarness()
{
    finish();
    for (int fd : clients_)
        close(fd);
    closeLine(line_);
}

int SimulatorHarness::openClient()
{
    const int fd = openRawClient(line_.path);
    clients_.push_back(fd);
    return fd;
}

void SimulatorHarness::closeClient(int fd)
{
    close(fd);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), fd), clients_.end());
}

ServeEnd SimulatorHarness::finish()
{
    if (thread_.joinable()) {
        server_.requestStop();
        thread_.join();
    }
    return end_;
}

void SimulatorHarness::log(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.push_back(line);
}

std::vector<std::string> SimulatorHarness::traceLines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
}

bool SimulatorHarness::traced(const std::string& part) const
{
    const auto lines = traceLines();
    return std::any_of(lines.begin(), lines.end(),
                       [&part](const std::string& line) { return line.find(part) != std::string::npos; });
}

// --- Raw bytes ------------------------------------------------------------------

int openRawClient(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

void sendBytes(int fd, const Bytes& bytes)
{
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("short write to the simulator");
}

Bytes receiveBytes(int fd, size_t count, int waitMs)
{
    Bytes bytes;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const int wait = bytes.empty() ? static_cast<int>(left.count()) : std::min<int>(kQuietGapMs, left.count());
        if (wait <= 0 || !waitReadable(fd, wait))
            break;
        uint8_t chunk[512];
        const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

Bytes requestFrame(uint8_t code, std::initializer_list<uint8_t> parameters)
{
    CommandFrame frame{};
    frame[0] = code;
    std::copy(parameters.begin(), parameters.end(), frame.begin() + 1);
    sealCommandFrame(frame);
    return bytesOf(frame);
}

void writeContainer(const std::string& path, const Bytes& plain)
{
    // An empty file still has one block of body.
    const size_t bodySize = std::max<size_t>(16, (plain.size() + 15) / 16 * 16);
    Bytes padded(plain);
    padded.resize(bodySize, 0);
    Bytes file(4 + bodySize);
    const auto length = static_cast<uint32_t>(plain.size());
    file[0] = static_cast<uint8_t>(length >> 24);
    file[1] = static_cast<uint8_t>(length >> 16);
    file[2] = static_cast<uint8_t>(length >> 8);
    file[3] = static_cast<uint8_t>(length);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int written = 0;
    EVP_EncryptInit_ex(context, EVP_aes_128_ecb(), nullptr, FILE_KEY, nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EVP_EncryptUpdate(context, file.data() + 4, &written, padded.data(), static_cast<int>(padded.size()));
    EVP_CIPHER_CTX_free(context);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

// --- TemporaryFolder ------------------------------------------------------------

TemporaryFolder::TemporaryFolder()
{
    char pattern[] = "/tmp/mirdal-sim-test.XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    if (DIR* directory = opendir(path_.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((path_ + "/" + name).c_str());
        }
        closedir(directory);
    }
    rmdir(path_.c_str());
}

Bytes TemporaryFolder::read(const std::string& name) const
{
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TemporaryFolder::exists(const std::string& name) const
{
    return access((path_ + "/" + name).c_str(), F_OK) == 0;
}
