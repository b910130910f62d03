#pragma once
// What the window tests share: a port list that a test can change while the
// search passes run, a closer for the message boxes, and the engine options
// that put a window on the sample configuration with shortened pauses.
#include "engine/Model.h"
#include "transport/PortProvider.h"

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <mutex>

// Ports as the test sets them; counts the search passes that listed them.
class TestPorts : public PortProvider {
public:
    QList<PortInfo> availablePorts() const override;
    void set(QList<PortInfo> ports);
    int passes() const { return passes_.load(); }

private:
    mutable std::mutex mutex_;
    QList<PortInfo> ports_;
    mutable std::atomic<int> passes_{0};
};

// Ports of the maker and of another maker. Only a pseudo-terminal is opened
// as it is; any other device name stands for a port that does not exist.
PortInfo makerPort(const QString& device, const QString& description = QStringLiteral("Velmaris Terminal"));
PortInfo otherPort(const QString& name, const QString& description);

// What a message box showed when the closer found it.
struct BoxSeen {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QWidget* parent = nullptr;
    bool modal = false;
    QMessageBox::StandardButtons buttons;
};

// Watches for the application's active modal widget and presses OK on every
// message box it finds, after recording it and running `onBox` (which sees
// the application while the box is still open).
class BoxCloser : public QObject {
    Q_OBJECT
public:
    explicit BoxCloser(std::function<void(const BoxSeen&)> onBox = {});
    QList<BoxSeen> seen;

private:
    void poll();
    std::function<void(const BoxSeen&)> onBox_;
    QTimer timer_;
};

// Engine options for a window under test: the given ports, pauses scaled
// down, no PC/SC switch, and `directory` (the sample configuration unless
// told otherwise) as the configuration directory.
ModelOptions testOptions(std::shared_ptr<PortProvider> ports,
                         const QString& directory = QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION));

// Runs the application's event loop until something quits it; the loop also
// clears the quit request, so the following tests may run nested loops again.
int runUntilQuit();
