#pragma once
// What mirdal-cli shows of the diagnostics on standard error: its warnings
// always; the information and debug lines (the engine's, the configuration's,
// the card readers' switch) only with install's --verbose or when the user
// set the logging rules. Every line goes to the log file whatever is shown.
#include <QString>
#include <QtGlobal>

namespace logconsole {

// Installs the diagnostics of mirdal-cli, its console on standard error.
void start();
// The information and debug lines shown (install --verbose) or not.
void showAll(bool all);
// Whether a line of this type reaches the console.
bool shown(QtMsgType type);

} // namespace logconsole
