#pragma once
// The maker's marks shared by both windows: its web site, opened by the logo
// buttons, and its teal, the colour of the headings and of the start button.
#include <QString>
#include <QUrl>

inline QUrl makerSite()
{
    return QUrl(QStringLiteral("https://www.velmaris.example/"));
}

// Written as rgb(): the toolkit's style-sheet parser refuses an rgba() colour
// without its alpha value (it warns and leaves the text black).
inline QString accentStyleSheet()
{
    return QStringLiteral("color: rgb(0, 130, 123)");
}
