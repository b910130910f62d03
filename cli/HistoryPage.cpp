#include "cli/HistoryPage.h"

#include <QMap>

#include <algorithm>

namespace {

QString esc(const QString& text)
{
    return text.toHtmlEscaped();
}

// "2026-12-07T09:12:03.120Z" as "2026-12-07 09:12:03".
QString shortTime(const QString& iso)
{
    return iso.left(19).replace(QLatin1Char('T'), QLatin1Char(' '));
}

QString resultText(const SessionRecord& s)
{
    return s.success ? QStringLiteral("réussie") : QStringLiteral("échec : ") + esc(s.stage);
}

// Horizontal bars, one per key, labelled with the key and its count; drawn
// as SVG so that the page needs neither a script nor an image file.
QString barChart(const QString& id, const QList<QPair<QString, int>>& bars)
{
    constexpr int kRow = 22, kLabel = 260, kWidth = 420;
    int most = 1;
    for (const auto& bar : bars)
        most = std::max(most, bar.second);
    const int height = std::max(1, static_cast<int>(bars.size())) * kRow + 4;
    QString svg = QStringLiteral("<svg id=\"%1\" xmlns=\"http://www.w3.org/2000/svg\" width=\"%2\" height=\"%3\" "
                                 "role=\"img\">")
                      .arg(id)
                      .arg(kLabel + kWidth + 60)
                      .arg(height);
    if (bars.isEmpty())
        svg += QStringLiteral("<text x=\"0\" y=\"16\">aucun échec</text>");
    for (int i = 0; i < bars.size(); ++i) {
        const int y = i * kRow + 2;
        const int width = std::max(1, bars[i].second * kWidth / most);
        // Numbers first, the label last: a label is data and must not be read for placeholders.
        svg += QStringLiteral("<g class=\"bar\"><text x=\"%1\" y=\"%2\" text-anchor=\"end\">")
                   .arg(kLabel - 6)
                   .arg(y + 13) +
               esc(bars[i].first) +
               QStringLiteral("</text><rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"16\" fill=\"#c0392b\"/>"
                              "<text class=\"count\" x=\"%4\" y=\"%5\">%6</text></g>")
                   .arg(kLabel)
                   .arg(y)
                   .arg(width)
                   .arg(kLabel + width + 6)
                   .arg(y + 13)
                   .arg(bars[i].second);
    }
    return svg + QStringLiteral("</svg>");
}

QString terminalOf(const SessionRecord& s)
{
    return s.unit();
}

} // namespace

QString historyPage(const QList<SessionRecord>& sessions, const QList<SessionRecord>& latest, int listed,
                    const QString& generated)
{
    int failed = 0;
    QMap<QString, int> byStage, byDay;
    for (const SessionRecord& s : sessions) {
        if (s.success)
            continue;
        ++failed;
        ++byStage[s.stage.isEmpty() ? QStringLiteral("(inconnue)") : s.stage];
        ++byDay[s.started.left(10)];
    }
    QList<QPair<QString, int>> stages, days;
    for (auto i = byStage.cbegin(); i != byStage.cend(); ++i)
        stages.append({i.key(), i.value()});
    std::stable_sort(stages.begin(), stages.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (auto i = byDay.cbegin(); i != byDay.cend(); ++i)
        days.append({i.key(), i.value()});

    QString html;
    html.reserve(512 * std::min(listed, static_cast<int>(sessions.size())) + 65536);
    html += QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"fr\"><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
        "<title>Mirdal : historique des mises à jour</title><style>"
        "body{font-family:sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse;margin-bottom:1.5em}"
        "th,td{border:1px solid #ccc;padding:3px 8px;text-align:left;font-size:90%}th{background:#eee}"
        "tr.failed td{background:#fbeaea}svg text{font-size:12px}code{font-size:90%}"
        "</style></head><body>\n");
    html += QStringLiteral("<h1>Historique des mises à jour</h1>\n<p>Généré le %1 (UTC). Sessions : "
                           "<b id=\"total\">%2</b>, en échec : <b id=\"failed\">%3</b>, terminaux : "
                           "<b id=\"terminals\">%4</b>.</p>\n")
                .arg(esc(generated))
                .arg(sessions.size())
                .arg(failed)
                .arg(latest.size());

    html += QStringLiteral("<h2>État de chaque terminal</h2>\n<table id=\"latest\"><tr><th>Terminal</th><th>Port</th>"
                           "<th>Dernière mise à jour</th><th>Résultat</th><th>Fichiers installés</th></tr>\n");
    for (const SessionRecord& s : latest) {
        QStringList files;
        for (const FileRecord& file : s.files)
            files.append(esc(file.name) + (file.installed ? QString() : QStringLiteral(" (non installé)")));
        html += QStringLiteral("<tr class=\"%1\"><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td></tr>\n")
                    .arg(s.success ? QStringLiteral("ok") : QStringLiteral("failed"), esc(terminalOf(s)),
                         esc(s.portDevice), shortTime(s.started), resultText(s), files.join(QLatin1String(", ")));
    }
    html += QStringLiteral("</table>\n<h2>Échecs par étape</h2>\n") + barChart(QStringLiteral("by-stage"), stages);
    html += QStringLiteral("\n<h2>Échecs par jour</h2>\n") + barChart(QStringLiteral("by-day"), days);

    const int shown = std::min(listed, static_cast<int>(sessions.size()));
    html += QStringLiteral("\n<h2>Sessions</h2>\n");
    if (shown < sessions.size())
        html += QStringLiteral("<p>Les %1 plus récentes sur %2 ('mirdal-cli history' les donne toutes).</p>\n")
                    .arg(shown)
                    .arg(sessions.size());
    html +=
        QStringLiteral("<table id=\"sessions\"><tr><th>Session</th><th>Début (UTC)</th><th>Durée</th><th>Poste"
                       "</th><th>Port</th><th>Terminal</th><th>Fichiers</th><th>Résultat</th><th>Cause</th></tr>\n");
    for (int i = 0; i < shown; ++i) {
        const SessionRecord& s = sessions[i];
        const QStringList cells = {QStringLiteral("<code>") + s.id.left(8) + QStringLiteral("</code>"),
                                   shortTime(s.started),
                                   QString::number(s.durationMs / 1000.0, 'f', 1) + QStringLiteral(" s"),
                                   esc(s.host + QLatin1Char('/') + s.osUser),
                                   esc(s.portDevice),
                                   esc(terminalOf(s)),
                                   QStringLiteral("%1/%2").arg(s.installedCount).arg(s.fileCount),
                                   resultText(s),
                                   esc(s.cause)};
        html += QLatin1String(s.success ? "<tr class=\"ok\"><td>" : "<tr class=\"failed\"><td>") +
                cells.join(QLatin1String("</td><td>")) + QLatin1String("</td></tr>\n");
    }
    html += QStringLiteral("</table>\n</body></html>\n");
    return html;
}
