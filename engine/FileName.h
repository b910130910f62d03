#pragma once
// The name by which a package file is advertised to the terminal and shown
// to the user: the part of its path after the last directory separator
// ('/' or the platform's own), in upper case.
#include <QDir>
#include <algorithm>
#include <QString>
#include <string>

inline QString fileDisplayName(const QString& path)
{
    const int slash = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QDir::separator()));
    return path.mid(slash + 1).toUpper();
}

// Whether the name can go on the wire: Latin-1 has no character for the
// others, and a '?' in their place would be a name the terminal never got.
inline bool advertisable(const QString& path)
{
    const QString name = fileDisplayName(path);
    return std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() <= 0xFF; });
}

// The same name as it goes on the wire: in Latin-1, whatever the PC's locale.
inline std::string advertisedName(const QString& path)
{
    return fileDisplayName(path).toLatin1().toStdString();
}
