// Companion program of the reader-switch test against a real pcscd.
//   pcsc_switch_run wait COUNT SECONDS: waits until the daemon lists at least COUNT readers and prints
//       their names ("reader: NAME"); exits 1 when the deadline passes first.
//   pcsc_switch_run switch: runs the first search pass of the desktop program's engine, built as the program
//       builds it (its PC/SC switch is Pcsc_switchToCom()), and prints every log line as "log: TEXT" (any other
//       message as "unexpected message: TEXT"), a line feed inside the text shown as "\n".
#include "engine/Model.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstring>
#include <string>
#include <vector>
#include <winscard.h>

std::vector<std::string> listReaders()
{
    std::vector<std::string> names;
    SCARDCONTEXT context = 0;
    char* list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) == SCARD_S_SUCCESS &&
        SCardListReaders(context, nullptr, reinterpret_cast<char*>(&list), &length) == SCARD_S_SUCCESS) {
        for (const char* name = list; *name; name += std::strlen(name) + 1)
            names.emplace_back(name);
        SCardFreeMemory(context, list);
    }
    SCardReleaseContext(context);
    return names;
}

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "wait") == 0) {
        QElapsedTimer waited;
        waited.start();
        for (std::vector<std::string> names; waited.elapsed() < 1000 * std::atoi(argv[3]); QThread::msleep(100)) {
            if ((names = listReaders()).size() >= std::strtoul(argv[2], nullptr, 10)) {
                for (const std::string& name : names)
                    std::printf("reader: %s\n", name.c_str());
                return 0;
            }
        }
        std::fprintf(stderr, "pcscd did not list %s readers within %s s\n", argv[2], argv[3]);
        return 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "switch") == 0) {
        QCoreApplication app(argc, argv);
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            const QString shown = QString(text).replace('\n', "\\n");
            std::printf("%s: %s\n", type == QtInfoMsg ? "log" : "unexpected message", qPrintable(shown));
            std::fflush(stdout);
        });
        Model().findTerminals();
        return 0;
    }
    std::fprintf(stderr, "usage: %s wait COUNT SECONDS | switch\n", argv[0]);
    return 2;
}
