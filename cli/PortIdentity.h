#pragma once
// The device behind each port given to mirdal-cli, so that one device is
// never driven twice under two names (a path and a link, a path and its
// label in the port list).
#include <QString>
#include <QStringList>

// What a device path names: the device itself, whatever links or repeated
// slashes lead to it; the cleaned path for a device that is not there.
QString deviceIdentity(const QString& port);

// The usage error when two of `ports` name one device; empty when none do.
QString sameDeviceTwice(const QStringList& ports);
