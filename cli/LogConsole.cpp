#include "cli/LogConsole.h"

#include "diagnostics/Diagnostics.h"

#include <atomic>
#include <cstdio>

namespace logconsole {

namespace {

std::atomic<bool> showingAll{false};

void toStandardError(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (shown(type))
        std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, message)));
}

} // namespace

void start()
{
    diagnostics::start(QStringLiteral("mirdal-cli"), toStandardError);
}

void showAll(bool all)
{
    showingAll = all;
}

bool shown(QtMsgType type)
{
    return (type != QtDebugMsg && type != QtInfoMsg) || showingAll || diagnostics::rulesFromEnvironment();
}

} // namespace logconsole
