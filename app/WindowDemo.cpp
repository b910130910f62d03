// Shows the main window with one serial port of the maker, usually the
// pseudo-terminal of a simulated terminal, so that the window can be watched
// (or photographed) through a whole update.
//
//   mirdal-window-demo --port /dev/pts/N [--config-dir DIR] [--time-scale F]
//                      [--start] [--about] [--report]
//
// --start presses the start button once the port is listed; --about opens the
// About dialog beside the window; --report prints "total T module M" on the
// standard output whenever a bar moves, for scripts that wait for a stage.
#include "app/MainWindow.h"

#include <QApplication>
#include <QAction>
#include <QCommandLineParser>
#include <QComboBox>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

struct DemoOptions {
    ModelOptions model;
    bool start = false;
    bool about = false;
    bool report = false;
};

bool parse(const QApplication& application, DemoOptions& out)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption port("port", "Device of the maker's port.", "device");
    const QCommandLineOption dir("config-dir", "Configuration directory.", "dir");
    const QCommandLineOption scale("time-scale", "Factor for the fixed pauses.", "factor", "1");
    const QCommandLineOption start("start", "Press the start button once the port is listed.");
    const QCommandLineOption about("about", "Open the About dialog.");
    const QCommandLineOption report("report", "Print the bar values as they change.");
    parser.addOptions({port, dir, scale, start, about, report});
    parser.process(application);
    if (!parser.isSet(port)) {
        fprintf(stderr, "mirdal-window-demo: --port is required\n");
        return false;
    }
    const QString device = parser.value(port);
    // Named as the platform names it: the device without its /dev/ folder.
    const QString name = device.startsWith(QStringLiteral("/dev/")) ? device.mid(5) : QFileInfo(device).fileName();
    out.model.ports = std::make_shared<StaticPortProvider>(
        QList<PortInfo>{{name, QStringLiteral("Velmaris Terminal"), QStringLiteral("Velmaris"), device}});
    bool ok = false;
    const double factor = parser.value(scale).toDouble(&ok);
    if (!ok || factor <= 0 || factor > 1) {
        fprintf(stderr, "mirdal-window-demo: --time-scale takes a factor in (0, 1]\n");
        return false;
    }
    out.model.clock = std::make_shared<ScaledClock>(factor);
    if (parser.isSet(dir))
        out.model.configurationDirectory = parser.value(dir);
    out.model.pcscSwitch = [] {};
    out.start = parser.isSet(start);
    out.about = parser.isSet(about);
    out.report = parser.isSet(report);
    return true;
}

// Presses the start button as soon as the port search has listed the port.
void startWhenListed(MainWindow& window)
{
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [&window, poll] {
        auto* button = window.findChild<QPushButton*>("generateButton");
        if (window.isVisible() && button->isEnabled()) {
            poll->stop();
            button->click();
        }
    });
    poll->start(100);
}

void reportBars(MainWindow& window)
{
    auto* total = window.findChild<QProgressBar*>("totalProgressBar");
    auto* module = window.findChild<QProgressBar*>("moduleProgressBar");
    const auto print = [total, module] {
        printf("total %d module %d\n", total->value(), module->value());
        fflush(stdout);
    };
    QObject::connect(total, &QProgressBar::valueChanged, &window, print);
    QObject::connect(module, &QProgressBar::valueChanged, &window, print);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    DemoOptions options;
    if (!parse(application, options))
        return 2;
    MainWindow window(options.model);
    if (options.start)
        startWhenListed(window);
    if (options.report)
        reportBars(window);
    if (options.about)
        QTimer::singleShot(0, &window, [&window] { window.findChild<QAction*>("actionAbout")->trigger(); });
    return application.exec();
}
