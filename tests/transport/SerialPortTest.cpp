// Opening, line settings and the blocking byte primitives, against a
// pseudo-terminal whose other end plays the terminal.
#include "tests/transport/PtyPortFixture.h"

#include "protocol/CommandSet.h"
#include "protocol/Framing.h"

#include <QElapsedTimer>
#include <QFile>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

// --- Opening and closing ---------------------------------------------------

TEST_F(PtyPortTest, OpensByLabelWithTheFixedLineSettings)
{
    termios odd = pty.lineSettings();
    cfsetispeed(&odd, B19200);
    cfsetospeed(&odd, B19200);
    odd.c_cflag = (odd.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    odd.c_iflag |= IXON | IXOFF;
    pty.setLineSettings(odd);

    ASSERT_TRUE(port.open(pty.label()));
    EXPECT_TRUE(port.isOpen());
    const termios line = pty.lineSettings();
    EXPECT_EQ(cfgetispeed(&line), speed_t(B9600));
    EXPECT_EQ(cfgetospeed(&line), speed_t(B9600));
    EXPECT_EQ(line.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

TEST_F(PtyPortTest, OpeningAnOpenPortLeavesItsSettingsAlone)
{
    ASSERT_TRUE(port.open(pty.label()));
    termios changed = pty.lineSettings();
    cfsetispeed(&changed, B19200);
    cfsetospeed(&changed, B19200);
    pty.setLineSettings(changed);

    EXPECT_TRUE(port.open(pty.label()));
    const termios line = pty.lineSettings();
    EXPECT_EQ(cfgetospeed(&line), speed_t(B19200));
}

TEST_F(PtyPortTest, ClosingAClosedPortSucceeds)
{
    EXPECT_TRUE(port.close());
    ASSERT_TRUE(port.open(pty.label()));
    EXPECT_TRUE(port.close());
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(port.close());
}

TEST_F(PtyPortTest, ReopensAfterClose)
{
    ASSERT_TRUE(port.open(pty.label()));
    ASSERT_TRUE(port.close());
    ASSERT_TRUE(port.open(pty.label()));
    ASSERT_TRUE(write("again"));
    EXPECT_EQ(pty.receive(5), QByteArray("again"));
}

TEST_F(PtyPortTest, UnknownLabelOpensNothing)
{
    EXPECT_FALSE(port.open(QStringLiteral("Velmaris Terminal - (nowhere)")));
    EXPECT_FALSE(port.isOpen());
    // Labels compare case-sensitively.
    EXPECT_FALSE(port.open(pty.label().toUpper()));
    EXPECT_FALSE(port.isOpen());
}

TEST_F(PtyPortTest, UnopenableDeviceOpensNothing)
{
    const PortInfo gone{QStringLiteral("ttyGONE"), QStringLiteral("Vanished"), QStringLiteral("Velmaris"),
                        QStringLiteral("/nonexistent/ttyGONE")};
    SerialPort serial(nullptr, std::make_shared<StaticPortProvider>(QList<PortInfo>{gone}));
    EXPECT_FALSE(serial.open(portLabel(gone)));
    EXPECT_FALSE(serial.isOpen());
    EXPECT_TRUE(serial.close());
}

TEST_F(PtyPortTest, WaitsForAPortThatAnotherHolderIsReleasing)
{
    // The holder opens and closes on its own thread, as every holder must.
    std::promise<bool> held;
    std::thread holder([&] {
        SerialPort other(nullptr, std::make_shared<StaticPortProvider>(QList<PortInfo>{pty.asPort()}));
        held.set_value(other.open(pty.label()));
        std::this_thread::sleep_for(300ms);
        other.close();
    });
    ASSERT_TRUE(held.get_future().get());
    const bool opened = port.open(pty.label());
    holder.join();
    EXPECT_TRUE(opened);
}

TEST_F(PtyPortTest, PortHeldByAnotherHolderIsRefusedInBoundedTime)
{
    SerialPort holder(nullptr, std::make_shared<StaticPortProvider>(QList<PortInfo>{pty.asPort()}));
    ASSERT_TRUE(holder.open(pty.label()));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(port.open(pty.label()));
    EXPECT_FALSE(port.isOpen());
    EXPECT_LT(clock.elapsed(), 10000);
}

// Why an open failed, and that only a port held by another program is waited
// for: a device this user may not open, or one that does not exist, is
// refused at once. Each open runs in a child process, the permission case as
// nobody (root opens any device whatever its mode).
TEST_F(PtyPortTest, OpenFailureSaysWhyAndOnlyAHeldPortIsWaitedFor)
{
    struct Case {
        const char* what;
        QString device;
        bool asNobody;
        OpenFailure::Kind kind;
        bool waited; // the 2 s given to a holder that is letting the port go
    };
    SerialPort holder(nullptr, ptyProvider());
    Pty locked;
    ASSERT_TRUE(locked.isValid());
    ASSERT_EQ(::chmod(QFile::encodeName(locked.path()).constData(), 0), 0);
    const Case cases[] = {
        {"no such device", QStringLiteral("/nonexistent/ttyGONE"), false, OpenFailure::NoDevice, false},
        {"mode 000", locked.path(), true, OpenFailure::PermissionDenied, false},
        {"held", pty.path(), false, OpenFailure::Busy, true},
    };
    ASSERT_TRUE(holder.open(pty.label()));
    for (const Case& c : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            constexpr uid_t kNobody = 65534;
            if (c.asNobody && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                 ::setresuid(kNobody, kNobody, kNobody) != 0))
                ::_exit(99);
            SerialPort serial;
            QElapsedTimer clock;
            clock.start();
            const bool opened = serial.open(PortChoice::device(c.device));
            const bool waited = clock.elapsed() >= 1500;
            ::_exit(opened ? 98 : serial.lastOpenFailure().kind + (waited ? 16 : 0));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << c.what;
        EXPECT_EQ(WEXITSTATUS(status), c.kind + (c.waited ? 16 : 0)) << c.what << " (kind + 16 when it waited)";
    }
}

TEST_F(PtyPortTest, OpensExactlyTheLabelledDeviceOrNothing)
{
    Pty other;
    ASSERT_TRUE(other.isValid());
    SerialPort serial(nullptr, std::make_shared<StaticPortProvider>(QList<PortInfo>{pty.asPort(), other.asPort()}));
    const auto send = [&serial](const QByteArray& bytes) {
        return serial.write(reinterpret_cast<const uint8_t*>(bytes.constData()), uint16_t(bytes.size()));
    };
    // Another device open: it is closed, and the labelled one opened.
    ASSERT_TRUE(serial.open(pty.label()));
    ASSERT_TRUE(serial.open(other.label()));
    ASSERT_TRUE(send("to other"));
    EXPECT_EQ(other.receive(8), QByteArray("to other"));
    EXPECT_TRUE(pty.receive(1, 100).isEmpty());

    // A label that names no listed port (the placeholder, a device unplugged)
    // opens nothing, not even the device opened before.
    ASSERT_TRUE(serial.close());
    for (const QString& label :
         {QStringLiteral("Sélectionnez le terminal"), QStringLiteral("Velmaris Terminal - (gone)")}) {
        EXPECT_FALSE(serial.open(label));
        EXPECT_FALSE(serial.isOpen());
        EXPECT_FALSE(send("lost"));
    }
    EXPECT_TRUE(pty.receive(1, 100).isEmpty());
    EXPECT_TRUE(other.receive(1, 100).isEmpty());
}

TEST_F(PtyPortTest, UnknownLabelOnAnOpenPortDropsPendingInput)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.deliver("stale");
    port.selectPort(QStringLiteral("No such port - (ttyX)"));
    EXPECT_FALSE(read(32, 100).ok);
    EXPECT_TRUE(port.isOpen());
}

TEST_F(PtyPortTest, ClosedPortRefusesEveryTransfer)
{
    uint8_t buffer[4] = {};
    uint16_t length = 4;
    EXPECT_FALSE(port.write(buffer, 4));
    EXPECT_FALSE(port.read(buffer, length, 10));
    EXPECT_EQ(length, 4);
    EXPECT_FALSE(port.readFull(buffer, length));
    EXPECT_EQ(length, 0);
    port.clearInput();
    EXPECT_FALSE(port.configure());
}

// --- write and read --------------------------------------------------------

TEST_F(PtyPortTest, WrittenBytesReachTheTerminal)
{
    ASSERT_TRUE(port.open(pty.label()));
    QByteArray frame(128, '\0');
    for (int i = 0; i < frame.size(); ++i)
        frame[i] = char(i * 7);
    ASSERT_TRUE(write(frame));
    EXPECT_EQ(pty.receive(frame.size()), frame);
}

TEST_F(PtyPortTest, ReadDeliversWhatArrivedUpToTheLength)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.deliver(QByteArray("0123456789abcdefghij"));
    EXPECT_TRUE(delivered(read(32, 1000), "0123456789abcdefghij"));
}

TEST_F(PtyPortTest, ReadStopsAtTheLengthAndKeepsTheRest)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.deliver("0123456789");
    EXPECT_TRUE(delivered(read(4, 1000), "0123"));
    // The rest is already in hand: no new byte needs to arrive for it.
    EXPECT_TRUE(delivered(read(32, 0), "456789"));
}

TEST_F(PtyPortTest, ReadWithNothingArrivingFailsAndKeepsTheLength)
{
    ASSERT_TRUE(port.open(pty.label()));
    const ReadResult got = read(32, 100);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.length, 32);

    // Bytes that come after the time-out wait for the next read.
    pty.deliver("late");
    EXPECT_TRUE(delivered(read(32, 1000), "late"));
}

TEST_F(PtyPortTest, ReadWaitsForBytesOnTheirWay)
{
    ASSERT_TRUE(port.open(pty.label()));
    std::thread terminal([this] {
        std::this_thread::sleep_for(100ms);
        pty.send("answer");
    });
    const ReadResult got = read(32, 5000);
    terminal.join();
    EXPECT_TRUE(delivered(got, "answer"));
}

TEST_F(PtyPortTest, RoundTrips)
{
    ASSERT_TRUE(port.open(pty.label()));
    for (int i = 0; i < 5; ++i) {
        const QByteArray request = "request " + QByteArray::number(i);
        const QByteArray answer = "answer " + QByteArray::number(i);
        ASSERT_TRUE(write(request));
        ASSERT_EQ(pty.receive(request.size()), request);
        pty.deliver(answer);
        ASSERT_TRUE(delivered(read(64, 1000), answer));
    }
}

// --- readFull --------------------------------------------------------------

TEST_F(PtyPortTest, ReadFullAssemblesPieces)
{
    ASSERT_TRUE(port.open(pty.label()));
    std::thread terminal([this] {
        for (const char* piece : {"0123456789", "abcdefghij", "ABCDEFGHIJ"}) {
            std::this_thread::sleep_for(50ms);
            pty.send(piece);
        }
    });
    const ReadResult got = readFull(30);
    terminal.join();
    EXPECT_TRUE(delivered(got, "0123456789abcdefghijABCDEFGHIJ"));
}

TEST_F(PtyPortTest, ReadFullTakesExactlyTheLength)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.deliver("0123456789abcde");
    EXPECT_TRUE(delivered(readFull(10), "0123456789"));
    EXPECT_TRUE(delivered(read(32, 1000), "abcde"));
}

TEST_F(PtyPortTest, ReadFullEndsByItsDeadlineEvenWhileBytesDribble)
{
    // One byte every 300 ms: 128 bytes would take 38 s.
    ASSERT_TRUE(port.open(pty.label()));
    std::atomic<bool> stop{false};
    std::thread terminal([&] {
        while (!stop) {
            pty.send("x");
            std::this_thread::sleep_for(300ms);
        }
    });
    QElapsedTimer waited;
    waited.start();
    const ReadResult got = readFull(kBlockFrameSize);
    const qint64 elapsed = waited.elapsed();
    stop = true;
    terminal.join();
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.length, 0);
    EXPECT_GE(elapsed, SerialPort::kReadFullTimeoutMs);
    EXPECT_LT(elapsed, 2 * SerialPort::readFullDeadlineMs(kBlockFrameSize));
}

// --- clearInput ------------------------------------------------------------

TEST_F(PtyPortTest, ClearInputDropsBytesWaitingInTheDriver)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.deliver("stale");
    port.clearInput();
    pty.deliver("fresh");
    EXPECT_TRUE(delivered(read(32, 1000), "fresh"));
}

TEST_F(PtyPortTest, ClearInputDropsBytesAlreadyTakenIn)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.deliver("stale bytes");
    ASSERT_TRUE(delivered(read(1, 1000), "s"));
    port.clearInput();
    EXPECT_FALSE(read(32, 50).ok);
    pty.deliver("fresh");
    EXPECT_TRUE(delivered(read(32, 1000), "fresh"));
}

// --- a terminal that goes away ---------------------------------------------

TEST_F(PtyPortTest, ReadFullFailsAtOnceWhenTheTerminalGoes)
{
    ASSERT_TRUE(port.open(pty.label()));
    std::thread terminal([this] {
        std::this_thread::sleep_for(200ms);
        pty.closeMaster();
    });
    QElapsedTimer waited;
    waited.start();
    const ReadResult got = readFull(10);
    const qint64 elapsed = waited.elapsed();
    terminal.join();
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.length, 0);
    // A hang-up is not silence: no waiting out the silence limit.
    EXPECT_LT(elapsed, SerialPort::kReadFullTimeoutMs);
}

TEST_F(PtyPortTest, EveryCallFailsOnAVanishedTerminal)
{
    ASSERT_TRUE(port.open(pty.label()));
    pty.closeMaster();
    QElapsedTimer waited;
    waited.start();
    EXPECT_FALSE(write("lost"));
    EXPECT_FALSE(read(32, 1000).ok);
    EXPECT_FALSE(readFull(8).ok);
    port.clearInput();
    EXPECT_TRUE(port.close());
    EXPECT_LT(waited.elapsed(), SerialPort::kReadFullTimeoutMs);
}

// --- answers in pieces -------------------------------------------------------

// The terminal sends its one application name in two pieces `gapMs` apart,
// the end of the list right behind the second one.
TEST_F(PtyPortTest, ListAnswerInTwoPiecesCountsOnlyWithinItsTimeOut)
{
    CommandFrame name{};
    name[0] = kCodeApplicationList;
    name[kNameLengthOffset] = 3;
    std::copy_n("EMV", 3, name.begin() + kNameOffset);
    sealCommandFrame(name);
    const QByteArray whole(reinterpret_cast<const char*>(name.data()), int(name.size()));
    const CommandFrame end = commandFrame(kCodeApplicationList); // byte 1 = 0 ends the list
    const QByteArray last(reinterpret_cast<const char*>(end.data()), int(end.size()));

    for (const int gapMs : {5, 3 * kListTimeoutMs}) {
        SCOPED_TRACE(gapMs);
        ASSERT_TRUE(port.open(pty.label()));
        std::thread terminal([&] {
            if (pty.receive(kCommandFrameSize).size() != kCommandFrameSize)
                return;
            pty.send(whole.left(16));
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            pty.send(whole.mid(16) + last);
        });
        ScaledClock clock(0.01);
        CommandSet commands(port, clock);
        std::vector<std::string> names;
        const bool read = commands.readApplicationList(names);
        terminal.join();
        EXPECT_EQ(read, gapMs < kListTimeoutMs);
        EXPECT_EQ(names, gapMs < kListTimeoutMs ? std::vector<std::string>{"EMV"} : std::vector<std::string>{});
        ASSERT_TRUE(port.close());
    }
}
