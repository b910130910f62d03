#pragma once
// The programs' diagnostics. The engine, the configuration and the transport
// write their lines to Qt's message logger; they are for support, not for the
// technician. Every line that the logging rules let through (Qt's own:
// QT_LOGGING_RULES, qtlogging.ini) is appended, time-stamped, to the log file
// in the user's state folder, and handed to the program's console, which shows
// what it decides: the window passes everything on to Qt's own output,
// mirdal-cli shows its warnings and, with --verbose or QT_LOGGING_RULES, the
// rest.
#include <QString>
#include <QtGlobal>

#include <functional>

namespace diagnostics {

// $XDG_STATE_HOME/mirdal/mirdal.log (~/.local/state when it is unset); on
// Windows, mirdal.log in the user's local application data, mirdal folder.
QString logFilePath();

using Console = std::function<void(QtMsgType, const QMessageLogContext&, const QString&)>;

// Installs the message handler of the program `program` ("mirdal-cli"), with
// `console` (empty: the handler Qt had, standard error); the lines go to
// logFilePath().
void start(const QString& program, Console console = {});
// The console from now on (mirdal-cli's progress view while terminals run);
// empty: the one start() was given.
void setConsole(Console console);
// The terminal that this thread's lines are about, named in the file
// (mirdal-cli with several ports); empty for none.
void setThreadTerminal(const QString& name);
// True when the user chose the rules (QT_LOGGING_RULES or QT_LOGGING_CONF):
// a console then shows what they let through, as Qt's own output does.
bool rulesFromEnvironment();

} // namespace diagnostics
