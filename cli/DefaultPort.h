#pragma once
// The port of an installation given no --port: MIRDAL_PORT when it is set,
// otherwise the maker's port when exactly one is listed.
#include "transport/PortProvider.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

struct DefaultPort {
    QString port; // what to open; empty when none could be chosen
    QString note; // one line for stderr: the port chosen, or why none was
};

// `fromEnvironment` is MIRDAL_PORT's value (empty when unset).
DefaultPort choosePort(const QList<PortInfo>& ports, const QString& fromEnvironment);

// The ports whose manufacturer is the maker's, letter case ignored.
QList<PortInfo> makersPorts(const QList<PortInfo>& ports);

// Switches the maker's card readers into serial mode, as the desktop program
// does at its start, each switch said in a line on stderr (and every step of
// it in the log). True when a reader was switched.
bool switchCardReaders(const char* command);

// The ports listed now; when a reader was just switched and no maker's port
// is listed yet, waits a few seconds for it to come back as a serial port.
QList<PortInfo> portsAfterSwitch(bool readersSwitched);
// The lines of `mirdal-cli ports`, one a port: its label, the maker's marked
// '*', its device, its USB ids and serial number where known, and
// "(no access)" where `mayOpen` says this user may not open the device.
QStringList portLines(const QList<PortInfo>& ports, const std::function<bool(const QString&)>& mayOpen);
