#include "transport/TerminalPort.h"

#include <QRegularExpression>

QString OpenFailure::reason() const
{
    switch (kind) {
    case None: return QStringLiteral("opened");
    case Unlisted: return QStringLiteral("not a listed port");
    case NoDevice: return QStringLiteral("no such device");
    case PermissionDenied: return QStringLiteral("permission denied");
    case Busy: return QStringLiteral("in use by another program");
    case LineSettings: return QStringLiteral("line settings refused");
    case Other: break;
    }
    return detail;
}

QString OpenFailure::describe() const
{
    switch (kind) {
    case None: return {};
    case Unlisted: return QStringLiteral("no listed port is labelled '%1'").arg(port);
    case NoDevice: return QStringLiteral("%1 does not exist").arg(port);
    case PermissionDenied:
        return QStringLiteral("permission denied on %1; join the dialout group or install the udev rule"
                              " (see /usr/share/doc/mirdal/README.md, Install)")
            .arg(port);
    case Busy: return QStringLiteral("%1 is in use by another program").arg(port);
    case LineSettings:
        return QStringLiteral("%1 refused the line settings (9600 baud, 8 data bits, no parity, one stop bit)")
            .arg(port);
    case Other: break;
    }
    return QStringLiteral("cannot open %1: %2").arg(port, detail);
}

bool PortChoice::isDevicePath(const QString& text)
{
    static const QRegularExpression windowsPort(QStringLiteral("^COM[0-9]+$"),
                                                QRegularExpression::CaseInsensitiveOption);
    return text.startsWith(QLatin1Char('/')) || windowsPort.match(text).hasMatch();
}
