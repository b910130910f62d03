// Companion program of the reader-switch test against a real pcscd.
//
//   pcsc_switch_run wait COUNT SECONDS
//       waits until the daemon answers and lists at least COUNT readers,
//       prints their names; exits 1 when the deadline passes first.
//   pcsc_switch_run switch
//       runs Pcsc_switchToCom() and prints every log line as
//       "log: <text>", with a line feed inside the text shown as "\n".
#include "transport/Pcsc.h"

#include <QCoreApplication>
#include <QString>

#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> listReaders()
{
    std::vector<std::string> names;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return names;
    char* list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (SCardListReaders(context, nullptr, reinterpret_cast<char*>(&list), &length) == SCARD_S_SUCCESS) {
        for (const char* name = list; *name; name += std::strlen(name) + 1)
            names.emplace_back(name);
        SCardFreeMemory(context, list);
    }
    SCardReleaseContext(context);
    return names;
}

int waitForReaders(std::size_t count, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const std::vector<std::string> names = listReaders();
        if (names.size() >= count) {
            for (const std::string& name : names)
                std::printf("reader: %s\n", name.c_str());
            return 0;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "pcscd did not list %zu readers within %d s (it lists %zu)\n", count, seconds,
                         names.size());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void printLogLine(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    QString shown = text;
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    std::printf("%s: %s\n", type == QtInfoMsg ? "log" : "unexpected message", qPrintable(shown));
    std::fflush(stdout);
}

int runSwitch(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(printLogLine);
    Pcsc_switchToCom();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "wait") == 0)
        return waitForReaders(std::strtoul(argv[2], nullptr, 10), std::atoi(argv[3]));
    if (argc == 2 && std::strcmp(argv[1], "switch") == 0)
        return runSwitch(argc, argv);
    std::fprintf(stderr, "usage: %s wait COUNT SECONDS | switch\n", argv[0]);
    return 2;
}
