#pragma once
// The maker's web site, opened by the logo buttons of both windows.
#include <QUrl>

inline QUrl makerSite()
{
    return QUrl(QStringLiteral("https://www.velmaris.example/"));
}
