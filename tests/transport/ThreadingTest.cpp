// The port used from a worker thread while another thread keeps listing the
// ports, as the installation job and the port search do; and waiting that
// leaves the processor alone.
#include "tests/transport/PtyPortFixture.h"

#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <sys/resource.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The terminal's side answering every byte with the same byte.
class EchoTerminal {
public:
    explicit EchoTerminal(Pty& pty)
        : thread_([this, &pty] {
              while (!stop_) {
                  const QByteArray bytes = pty.receive(64, 20);
                  if (!bytes.isEmpty())
                      pty.send(bytes);
              }
          })
    {}
    ~EchoTerminal()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

using RunOnWorker = std::function<void(const std::function<void()>&)>;

void onQThread(const std::function<void()>& work)
{
    QThread* worker = QThread::create(work);
    worker->start();
    worker->wait();
    delete worker;
}

void onNativeThread(const std::function<void()>& work)
{
    std::thread worker(work);
    worker.join();
}

} // namespace

class WorkerThreadTest : public PtyPortTest {
protected:
    void exchangeWhileAnotherThreadListsPorts(const RunOnWorker& runOnWorker);
};

void WorkerThreadTest::exchangeWhileAnotherThreadListsPorts(const RunOnWorker& runOnWorker)
{
    EchoTerminal terminal(pty);
    const QStringList expectedLabels{pty.label()};
    ASSERT_TRUE(port.listPorts());

    // The port search keeps rebuilding the list...
    std::atomic<bool> workerDone{false};
    std::atomic<int> listings{0};
    std::atomic<int> failedListings{0};
    std::thread search([&] {
        while (!workerDone) {
            if (!port.listPorts())
                ++failedListings;
            ++listings;
            std::this_thread::yield();
        }
    });

    // ...while the worker picks the preferred port from it, as the window
    // does, and talks to the terminal.
    int oddLists = 0;
    int exchanges = 0;
    runOnWorker([&] {
        for (int i = 0; i < 20; ++i) {
            const QStringList labels = port.portLabels();
            const int preferred = port.preferredPort();
            if (labels != expectedLabels || preferred != 1) {
                ++oddLists;
                continue;
            }
            if (!port.open(labels[preferred - 1]))
                continue;
            const QByteArray frame = "frame" + QByteArray::number(i).rightJustified(3, '0');
            QByteArray echo(frame.size(), '\0');
            uint16_t length = uint16_t(echo.size());
            if (write(frame) && port.readFull(reinterpret_cast<uint8_t*>(echo.data()), length) && echo == frame)
                ++exchanges;
            port.close();
        }
        workerDone = true;
    });
    search.join();

    EXPECT_EQ(oddLists, 0);
    EXPECT_EQ(exchanges, 20);
    EXPECT_GT(listings, 0);
    EXPECT_EQ(failedListings, 0);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(WorkerThreadTest, ExchangesOnAQThreadWhileAnotherThreadListsPorts)
{
    exchangeWhileAnotherThreadListsPorts(onQThread);
}

TEST_F(WorkerThreadTest, ExchangesOnANativeThreadWhileAnotherThreadListsPorts)
{
    exchangeWhileAnotherThreadListsPorts(onNativeThread);
}

TEST_F(WorkerThreadTest, PortDestroyedOnItsWorkerFreesTheDevice)
{
    onQThread([this] {
        SerialPort serial(nullptr, ptyProvider());
        ASSERT_TRUE(serial.open(pty.label()));
    });
    // The device is free again: nothing holds it open or locked.
    ASSERT_TRUE(port.open(pty.label()));
    EXPECT_TRUE(write("free"));
}

// A device that opens but refuses a line setting.
class RefusingPort : public SerialPort {
public:
    using SerialPort::SerialPort;
    bool configure() override
    {
        SerialPort::configure();
        return false;
    }
};

TEST_F(WorkerThreadTest, PortWhoseSettingIsRefusedIsClosedOnTheThreadThatOpenedIt)
{
    RefusingPort serial(nullptr, ptyProvider());
    std::promise<bool> opened;
    std::promise<void> released;
    // The opening thread lives on, as a pool thread does after its job.
    QThread* worker = QThread::create([&] {
        opened.set_value(serial.open(pty.label()) || serial.isOpen());
        released.get_future().wait();
    });
    worker->start();
    EXPECT_FALSE(opened.get_future().get());
    // What the release step does next, on another thread: a port still open
    // here would warn that its notifiers belong to the opening thread.
    EXPECT_TRUE(serial.close());
    released.set_value();
    worker->wait();
    delete worker;
}

TEST_F(PtyPortTest, WaitingForBytesLeavesTheProcessorAlone)
{
    ASSERT_TRUE(port.open(pty.label()));
    std::thread terminal([this] {
        std::this_thread::sleep_for(2s);
        pty.send("0123456789");
    });
    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = cpuSeconds();
    const ReadResult got = readFull(10);
    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    terminal.join();

    ASSERT_TRUE(delivered(got, "0123456789"));
    ASSERT_GE(elapsed, 1.5);
    // A busy wait would keep one core at 100 % for the whole time.
    EXPECT_LT(cpu, 0.2 * elapsed) << cpu << " s of processor time over " << elapsed << " s";
}
