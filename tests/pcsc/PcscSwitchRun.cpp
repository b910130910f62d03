// Companion program of the reader-switch test against a real pcscd: runs the first search pass of the desktop
// program's engine, built as the program builds it (its PC/SC switch is Pcsc_switchToCom()), and prints every log
// line as "log: TEXT" (any other message as "unexpected message: TEXT"), a line feed inside the text shown as "\n".
#include "engine/Model.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        const QString shown = QString(text).replace('\n', "\\n");
        std::printf("%s: %s\n", type == QtInfoMsg ? "log" : "unexpected message", qPrintable(shown));
        std::fflush(stdout);
    });
    Model().findTerminals();
    return 0;
}
