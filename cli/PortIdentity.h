#pragma once
// The device behind each port given to mirdal-cli, so that one device is
// never driven twice under two names (a path and a link, a path and its
// label in the port list).
#include "transport/PortProvider.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a device path names: the device itself, whatever links or repeated
// slashes lead to it; the cleaned path for a device that is not there.
QString deviceIdentity(const QString& port);

// The listed port that `port` names by its label or its device; null when
// none does.
const PortInfo* listedPort(const QString& port, const QList<PortInfo>& listed);
// The port as the record describes it: the listed port's facts (label, USB
// ids, serial number), or its device path alone.
PortInfo describePort(const QString& port);

// The usage error when two of `ports` name one device; empty when none do.
QString sameDeviceTwice(const QStringList& ports);
