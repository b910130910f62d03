// SerialPort: port labels, the maker's port; on a pseudo-terminal playing the terminal: opening, line
// settings, reads and their deadlines, why an open fails, threads.
#include "protocol/CommandSet.h"
#include "tests/support/Pty.h"
#include "transport/SerialPort.h"

#include <QElapsedTimer>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

struct ChangingPorts : PortProvider {
    QList<PortInfo> availablePorts() const override { return ports; }
    QList<PortInfo> ports;
};

PortInfo port(const char* name, const char* description, const char* manufacturer)
{
    return {name, description, manufacturer, QStringLiteral("/dev/") + name};
}

} // namespace

// One SerialPort lists the rows one after another: each listing starts afresh.
TEST(PortList, LabelsAndTheFirstPortOfTheMaker)
{
    const struct {
        QList<PortInfo> ports;
        const char* labels;
        int preferred;
    } rows[] = {
        {{port("COM4", "USB Serial Device", "Velmaris"), port("ttyS0", "", "")},
         "USB Serial Device - (COM4)| - (ttyS0)",
         1},
        {{port("ttyS0", "Modem", "Other"), port("ttyUSB0", "Terminal", "VELMARIS"), port("ttyUSB1", "T", "velMaris")},
         "Modem - (ttyS0)|Terminal - (ttyUSB0)|T - (ttyUSB1)",
         2},
        {{port("ttyUSB0", "Terminal", "Velmaris Ltd"), port("ttyUSB1", "", "Other")},
         "Terminal - (ttyUSB0)| - (ttyUSB1)",
         0},
        {{}, "", 0}};
    auto provider = std::make_shared<ChangingPorts>();
    SerialPort serial(nullptr, provider);
    EXPECT_EQ(serial.preferredPort(), 0);
    for (const auto& row : rows) {
        provider->ports = row.ports;
        EXPECT_EQ(serial.listPorts(), !row.ports.isEmpty());
        EXPECT_EQ(serial.portLabels().join('|'), row.labels);
        EXPECT_EQ(serial.preferredPort(), row.preferred);
    }
}

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.isValid() && other.isValid()) << "no pseudo-terminal available"; }
    std::shared_ptr<PortProvider> listed() const
    {
        return std::make_shared<StaticPortProvider>(QList<PortInfo>{pty.asPort(), other.asPort()});
    }
    static bool write(SerialPort& serial, const QByteArray& bytes)
    {
        return serial.write(reinterpret_cast<const uint8_t*>(bytes.constData()), uint16_t(bytes.size()));
    }
    // The bytes delivered, or "failed, length N" with the length the call left.
    QByteArray read(uint16_t asked, int timeoutMs = -1)
    {
        QByteArray buffer(asked, '\0');
        uint16_t length = asked;
        const bool ok = timeoutMs < 0 ? port.readFull(reinterpret_cast<uint8_t*>(buffer.data()), length, 2000)
                                      : port.read(reinterpret_cast<uint8_t*>(buffer.data()), length, timeoutMs);
        return ok ? buffer.left(length) : "failed, length " + QByteArray::number(length);
    }
    void TearDown() override
    {
        stop = true;
        if (terminal.joinable())
            terminal.join();
    }

    Pty pty, other;
    SerialPort port{nullptr, listed()};
    std::thread terminal;
    std::atomic<bool> stop{false};
};

TEST_F(PtyPortTest, OpensWithTheFixedLineSettings)
{
    termios odd = pty.lineSettings();
    cfsetspeed(&odd, B19200);
    odd.c_cflag = (odd.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    odd.c_iflag |= IXON | IXOFF;
    pty.setLineSettings(odd);
    ASSERT_TRUE(port.open(pty.label()));
    const termios line = pty.lineSettings();
    EXPECT_TRUE(cfgetispeed(&line) == B9600 && cfgetospeed(&line) == B9600);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
    EXPECT_TRUE(port.close() && port.close()); // closing a closed port succeeds too
}

// Another device open is closed and the labelled one opened; a label that names no listed port (the
// placeholder, a device unplugged, another letter case) opens nothing, not even the device open before.
TEST_F(PtyPortTest, OpensExactlyTheLabelledDeviceOrNothing)
{
    ASSERT_TRUE(port.open(pty.label()));
    ASSERT_TRUE(port.open(other.label()));
    ASSERT_TRUE(write(port, "to other"));
    EXPECT_EQ(other.receive(8), "to other");
    ASSERT_TRUE(port.close());
    for (const QString& label :
         {QString("Sélectionnez le terminal"), QString("Velmaris Terminal - (gone)"), pty.label().toUpper()}) {
        EXPECT_FALSE(port.open(label)) << qPrintable(label);
        EXPECT_FALSE(port.isOpen() || write(port, "lost"));
    }
    EXPECT_TRUE(pty.receive(1, 100).isEmpty() && other.receive(1, 100).isEmpty());
}

TEST_F(PtyPortTest, ReadTakesWhatArrivedReadFullTheLengthAndAVanishedTerminalFailsBoth)
{
    pty.deliver("left by a killed run");
    ASSERT_TRUE(port.open(pty.label()));
    EXPECT_EQ(read(32, 50), "failed, length 32"); // not taken for the answer to our opening
    pty.deliver("0123456789abcdefghij");
    EXPECT_EQ(read(32, 1000), "0123456789abcdefghij"); // 20 of 32
    EXPECT_EQ(read(32, 100), "failed, length 32");
    pty.deliver("late0123456789");
    EXPECT_EQ(read(4, 1000), "late");
    EXPECT_EQ(read(4), "0123");
    port.clearInput();
    EXPECT_EQ(read(32, 50), "failed, length 32");
    terminal = std::thread([this] {
        for (const char* piece : {"01234", "56789", "abcde"}) {
            std::this_thread::sleep_for(50ms);
            pty.send(piece);
        }
    });
    EXPECT_EQ(read(15), "0123456789abcde");
    terminal.join();
    pty.closeMaster(); // the terminal goes away: every call fails at once
    QElapsedTimer waited;
    waited.start();
    EXPECT_FALSE(write(port, "lost"));
    EXPECT_EQ(read(32, 1000), "failed, length 32");
    EXPECT_EQ(read(8), "failed, length 0");
    EXPECT_LT(waited.elapsed(), 3000);
}

// One byte every 300 ms: 128 bytes would take 38 s; the read ends by its deadline (2 s here).
TEST_F(PtyPortTest, ReadFullEndsByItsDeadlineEvenWhileBytesDribble)
{
    ASSERT_TRUE(port.open(pty.label()));
    terminal = std::thread([&] {
        for (; !stop; std::this_thread::sleep_for(300ms))
            pty.send("x");
    });
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(read(128), "failed, length 0");
    EXPECT_GE(waited.elapsed(), 2000);
    EXPECT_LT(waited.elapsed(), 4000); // a silence limit restarted by each byte would hold it 38 s
}

// The one application name ("EMV", 3 bytes) comes in two pieces `gapMs` apart, the end of the list (a name
// of 0 bytes) right behind: the rest counts when it comes within its own line time (17 ms for 16 bytes)
// and the 50 ms margin, not after.
TEST_F(PtyPortTest, ListAnswerInTwoPiecesCountsWithinItsLineTimeAndMargin)
{
    const QByteArray whole = QByteArray::fromHex("0103454d56" + QByteArray(50, '0') + "25b6");
    const QByteArray end = QByteArray::fromHex("01" + QByteArray(58, '0') + "f320");
    for (const int gapMs : {5, 40, 300}) {
        ASSERT_TRUE(port.open(pty.label()));
        terminal = std::thread([&] {
            if (pty.receive(32).size() == 32) {
                pty.send(whole.left(16));
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                pty.send(whole.mid(16) + end);
            }
        });
        ScaledClock clock(0.01);
        std::vector<std::string> names;
        CommandSet commands(port, clock);
        EXPECT_EQ(commands.readApplicationList(names), gapMs < 67) << gapMs;
        EXPECT_EQ(names, gapMs < 67 ? std::vector<std::string>{"EMV"} : std::vector<std::string>{});
        EXPECT_EQ(commands.lastFailure().describe(), gapMs < 67 ? "" : "answer of 16 bytes, 32 expected");
        terminal.join();
    }
}

// Why an open failed: a device that does not exist or that this user may not open is refused at once,
// only one held by another program gets the 2 s wait, and opens when its holder lets it go within it (a
// re-plugged adapter keeps its lock until then). Each open runs in a child process (exit status: the
// failure's kind, + 16 when it waited; 98 when it opened), the permission case as nobody.
TEST_F(PtyPortTest, OpenFailureSaysWhyAndOnlyAHeldPortIsWaitedFor)
{
    const struct {
        QString device;
        int status;
        bool released; // by this process 300 ms after the child began
    } cases[] = {{"/nonexistent/ttyGONE", OpenFailure::NoDevice, false},
                 {other.path(), OpenFailure::PermissionDenied, false},
                 {pty.path(), OpenFailure::Busy + 16, false},
                 {pty.path(), 98, true}};
    ASSERT_EQ(::chmod(other.path().toLocal8Bit().constData(), 0), 0);
    for (const auto& c : cases) {
        ASSERT_TRUE(port.open(pty.label()));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const uid_t nobody = 65534; // root opens any device whatever its mode
            if (c.status == OpenFailure::PermissionDenied && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
                 ::setresuid(nobody, nobody, nobody) != 0))
                ::_exit(99);
            SerialPort serial;
            QElapsedTimer clock;
            clock.start();
            const bool opened = serial.open(PortChoice::device(c.device));
            ::_exit(opened ? 98 : serial.lastOpenFailure().kind + (clock.elapsed() >= 1500 ? 16 : 0));
        }
        if (c.released) {
            std::this_thread::sleep_for(300ms);
            ASSERT_TRUE(port.close());
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << qPrintable(c.device);
    }
}

// The port used from a worker thread (the installation job) while another thread lists the ports (the search).
class WorkerThreadTest : public PtyPortTest {};

TEST_F(WorkerThreadTest, ExchangesOnAWorkerWhileAnotherThreadListsPorts)
{
    terminal = std::thread([this] { // the terminal echoes every byte
        while (!stop)
            pty.send(pty.receive(64, 20));
    });
    ASSERT_TRUE(port.listPorts());
    std::atomic<int> listings{0}, failedListings{0};
    std::thread search([&] {
        for (; !stop; ++listings)
            failedListings += port.listPorts() ? 0 : 1;
    });
    int exchanges = 0;
    std::thread([&] {
        for (int i = 0; i < 20; ++i) {
            const QStringList labels = port.portLabels(); // the preferred port, as the window picks it
            if (labels.size() != 2 || port.preferredPort() != 1 || !port.open(labels[0]))
                continue;
            const QByteArray frame = "frame" + QByteArray::number(100 + i);
            exchanges += write(port, frame) && read(uint16_t(frame.size())) == frame;
            port.close();
        }
    }).join();
    stop = true;
    search.join();
    EXPECT_EQ(exchanges, 20);
    EXPECT_TRUE(listings > 0 && failedListings == 0) << failedListings << " of " << listings << " listings failed";
    EXPECT_FALSE(port.isOpen());
}

TEST_F(WorkerThreadTest, PortDestroyedOnItsWorkerFreesTheDevice)
{
    std::thread([this] { SerialPort(nullptr, listed()).open(pty.label()); }).join();
    ASSERT_TRUE(port.open(pty.label())); // nothing holds it open or locked
    EXPECT_TRUE(write(port, "free"));
}

struct RefusingPort : SerialPort {
    using SerialPort::SerialPort;
    bool configure() override { return SerialPort::configure() && false; }
};

// A device that refuses a line setting. The opening thread lives on, as a pool thread does; the release step
// then closes the port on another thread, where a port still open would warn that its notifiers are not its own.
TEST_F(WorkerThreadTest, PortWhoseSettingIsRefusedIsClosedOnTheThreadThatOpenedIt)
{
    RefusingPort serial(nullptr, listed());
    std::promise<bool> opened;
    std::promise<void> released;
    terminal = std::thread([&] {
        opened.set_value(serial.open(pty.label()) || serial.isOpen());
        released.get_future().wait();
    });
    EXPECT_FALSE(opened.get_future().get());
    EXPECT_TRUE(serial.close());
    released.set_value();
    terminal.join();
}
