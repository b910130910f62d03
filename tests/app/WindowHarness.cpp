#include "tests/app/WindowHarness.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>

QList<PortInfo> TestPorts::availablePorts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++passes_;
    return ports_;
}

void TestPorts::set(QList<PortInfo> ports)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ports_ = std::move(ports);
}

PortInfo makerPort(const QString& device, const QString& description)
{
    const QString location = device.startsWith(QStringLiteral("/dev/pts/"))
                                 ? device
                                 : QStringLiteral("/nonexistent/mirdal-test/") + QFileInfo(device).fileName();
    return PortInfo{QFileInfo(device).fileName(), description, QStringLiteral("VELMARIS"), location};
}

// The window releases every listed port when it closes: a port that is only
// named must not reach a real device of the machine running the tests.
PortInfo otherPort(const QString& name, const QString& description)
{
    return PortInfo{name, description, QStringLiteral("Other Maker Inc."),
                    QStringLiteral("/nonexistent/mirdal-test/") + name};
}

BoxCloser::BoxCloser(std::function<void(const BoxSeen&)> onBox) : onBox_(std::move(onBox))
{
    connect(&timer_, &QTimer::timeout, this, &BoxCloser::poll);
    timer_.start(20);
}

void BoxCloser::poll()
{
    // Only a box that the window system has shown and activated is closed:
    // closing it earlier would race its own activation.
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || !box->isActiveWindow())
        return;
    BoxSeen found{box->icon(),         box->windowTitle(), box->text(),
                  box->parentWidget(), box->isModal(),     box->standardButtons()};
    seen.append(found);
    if (onBox_)
        onBox_(found);
    if (QAbstractButton* ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}

ModelOptions testOptions(std::shared_ptr<PortProvider> ports, const QString& directory)
{
    ModelOptions options;
    options.ports = std::move(ports);
    options.clock = std::make_shared<ScaledClock>(0.01);
    options.configurationDirectory = directory;
    options.pcscSwitch = [] {};
    return options;
}

int runUntilQuit()
{
    return QApplication::exec();
}
