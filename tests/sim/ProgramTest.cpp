// The mirdal-sim program itself: its first line, a session through it, its
// exit statuses and its stop on SIGTERM.
#include "tests/sim/SimHarness.h"

#include "protocol/CommandSet.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child process with its standard output and error in pipes.
class Program {
public:
    explicit Program(const std::vector<std::string>& arguments)
    {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv{const_cast<char*>(MIRDAL_SIM_PATH)};
            for (const auto& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(MIRDAL_SIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~Program()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // The first line on standard output (the device), waiting up to 10 s.
    std::string firstLine()
    {
        std::string line;
        char c = 0;
        while (line.size() < 256) {
            pollfd waiter{out_, POLLIN, 0};
            if (poll(&waiter, 1, 10000) <= 0 || ::read(out_, &c, 1) != 1 || c == '\n')
                break;
            line += c;
        }
        return line;
    }

    void signal(int number) { kill(pid_, number); }

    // Exit status, or -1 when the program has not ended within 20 s.
    int wait()
    {
        for (int i = 0; i < 200 && status_ < 0; ++i) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_)
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            else
                poll(nullptr, 0, 100);
        }
        return status_;
    }

    std::string output() { return drain(out_); }
    std::string errors() { return drain(err_); }

private:
    static std::string drain(int fd)
    {
        std::string text;
        char chunk[4096];
        for (;;) {
            pollfd waiter{fd, POLLIN, 0};
            if (poll(&waiter, 1, 1000) <= 0)
                break;
            const ssize_t count = ::read(fd, chunk, sizeof chunk);
            if (count <= 0)
                break;
            text.append(chunk, static_cast<size_t>(count));
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = -1;
};

int openDevice(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    return fd;
}

// A session of one file through the command set; true when every step passed.
bool runSession(int fd, const Bytes& data)
{
    FdLink link(fd);
    ScaledClock clock(0.001);
    CommandSet commands(link, clock);
    std::array<uint8_t, 126> record{};
    std::vector<std::string> names;
    bool skip = true;
    return commands.initTerminal() && commands.startVarlenne() && commands.readHardwareConfiguration(record) &&
           commands.readApplicationList(names) &&
           commands.advertise("APP.BIN", static_cast<uint32_t>(data.size()), skip) && !skip &&
           commands.requestAuthorization() &&
           commands.download(data.data(), static_cast<uint32_t>(data.size()), nullptr) && commands.activateFiles() &&
           commands.releaseTerminal();
}

TEST(Program, HelpAndUsageErrors)
{
    Program help({"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.output().find("--fault STAGE:KIND[:ARG]"), std::string::npos);

    Program wrong({"--hardware", "xyz"});
    EXPECT_EQ(wrong.wait(), 2);
    EXPECT_NE(wrong.errors().find("bad value \"xyz\" for --hardware"), std::string::npos);
}

TEST(Program, SessionThenEndAfterTheSessionsAskedFor)
{
    TemporaryFolder packages;
    TemporaryFolder store;
    Bytes data(500);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    writeContainer(packages.path() + "/app.bin", data);

    Program simulator({"--sessions", "1", "--store", store.path(), "--verify", packages.path()});
    const std::string device = simulator.firstLine();
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
    const int fd = openDevice(device);
    EXPECT_TRUE(runSession(fd, data));
    EXPECT_EQ(simulator.wait(), 0);
    close(fd);
    EXPECT_EQ(store.read("APP.BIN"), data);
    const std::string errors = simulator.errors();
    EXPECT_NE(errors.find("mirdal-sim: block 4 (12 bytes)"), std::string::npos) << errors;
    EXPECT_NE(errors.find("1 session(s), 1 file(s) received, 0 problem(s)"), std::string::npos) << errors;
}

TEST(Program, MismatchMakesTheExitStatusOne)
{
    TemporaryFolder packages;
    writeContainer(packages.path() + "/APP.BIN", Bytes(100, 0x01));
    Program simulator({"--sessions", "1", "--quiet", "--verify", packages.path()});
    const int fd = openDevice(simulator.firstLine());
    EXPECT_TRUE(runSession(fd, Bytes(100, 0x02)));
    EXPECT_EQ(simulator.wait(), 1);
    close(fd);
    const std::string errors = simulator.errors();
    EXPECT_NE(errors.find("mirdal-sim: APP.BIN: received 100 bytes"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("block 0"), std::string::npos) << "--quiet still traced: " << errors;
}

TEST(Program, StopsCleanlyOnSigterm)
{
    Program simulator({"--baud", "9600"});
    const int fd = openDevice(simulator.firstLine());
    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.wait(), 0);
    close(fd);
}

TEST(Program, ServesAGivenDevice)
{
    // The test holds the other end of a pseudo-terminal, as a PC would hold
    // the other end of a serial cable.
    int pc = -1;
    int device = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&pc, &device, name, nullptr, nullptr), 0);
    close(device);
    Program simulator({"--device", name, "--apps", "ONE"});
    EXPECT_EQ(simulator.firstLine(), name);
    FdLink link(pc);
    ScaledClock clock(0.001);
    CommandSet commands(link, clock);
    EXPECT_TRUE(commands.initTerminal());
    EXPECT_TRUE(commands.startVarlenne());
    std::vector<std::string> names;
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_EQ(names, std::vector<std::string>{"ONE"});
    simulator.signal(SIGINT);
    EXPECT_EQ(simulator.wait(), 0);
    close(pc);
}

TEST(Program, VanishClosesTheLine)
{
    Program simulator({"--fault", "open:vanish"});
    const int fd = openDevice(simulator.firstLine());
    FdLink link(fd);
    ScaledClock clock(0.001);
    CommandSet commands(link, clock);
    EXPECT_FALSE(commands.initTerminal());
    EXPECT_EQ(simulator.wait(), 0);
    close(fd);
}

} // namespace
