// mirdal-cli history: the record of the updates, newest first, from the local
// file or the fleet's server; one session in full; the support desk's page;
// the push of the queued sessions to the server.
#include "cli/CommandLine.h"
#include "cli/HistoryPage.h"
#include "cli/Subcommands.h"
#include "record/RecordSettings.h"
#include "record/RecordStore.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cstdio>

namespace {

const CommandHelp kHelp = {
    "history",
    "Lists the recorded updates, newest first, one line each: from the local\n"
    "record, or with --server from the fleet's record server. 'show ID' gives one\n"
    "session whole (ID as listed, or its first characters); 'push' sends the\n"
    "sessions queued in the local record to the server. With --html, a page for\n"
    "a support desk is written instead: the latest state of each terminal, the\n"
    "failures by stage and by day, and the sessions; it loads nothing and needs\n"
    "no script.\n",
    "DATE is a day (2026-12-07, UTC) or an ISO 8601 time; --since takes the\n"
    "updates started from it, --until those started before it (a day: to its end).\n"
    "The record goes where 'mirdal-cli install --help' says.\n",
    "  0    done\n"
    "  1    the record could not be read (or the server could not take the queue)\n"
    "  2    usage error\n",
};

// A day or a time as the record's UTC text; a day given as the upper bound
// stands for its end. Empty when it is neither.
QString bound(const QString& text, bool upper)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        return QDateTime(upper ? day.addDays(1) : day, QTime(0, 0), Qt::UTC).toString(Qt::ISODateWithMs);
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QString hex4(int value)
{
    return value < 0 ? QString() : QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString resultWord(const SessionRecord& s)
{
    return s.success ? QStringLiteral("ok") : QStringLiteral("FAILED");
}

QString when(const SessionRecord& s)
{
    return s.started.left(16).replace(QLatin1Char('T'), QLatin1Char(' '));
}

QString minutes(qint64 ms)
{
    const qint64 seconds = (ms + 500) / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString terminalOf(const SessionRecord& s)
{
    return s.terminal().isEmpty() ? QStringLiteral("-") : s.terminal();
}

void printTable(const QList<SessionRecord>& sessions)
{
    std::printf("%-8s  %-16s  %5s  %-14s  %-12s  %-5s  %s\n", "ID", "STARTED (UTC)", "TIME", "PORT", "TERMINAL",
                "FILES", "RESULT");
    for (const SessionRecord& s : sessions) {
        QString result = resultWord(s);
        if (!s.success)
            result += QLatin1Char(' ') + s.stage + (s.cause.isEmpty() ? QString() : QStringLiteral(": ") + s.cause);
        std::printf("%-8s  %-16s  %5s  %-14s  %-12s  %-5s  %s\n", qPrintable(s.id.left(8)), qPrintable(when(s)),
                    qPrintable(minutes(s.durationMs)), qPrintable(s.portDevice), qPrintable(terminalOf(s)),
                    qPrintable(QStringLiteral("%1/%2").arg(s.installedCount).arg(s.fileCount)), qPrintable(result));
    }
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
QString csvField(QString text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

void printCsv(const QList<SessionRecord>& sessions)
{
    std::printf("id,started,ended,duration_ms,host,os_user,port_device,port_label,usb_serial,hardware_id,"
                "config_title,files,installed,success,stage,cause,title,text\r\n");
    for (const SessionRecord& s : sessions) {
        const QStringList fields = {s.id,
                                    s.started,
                                    s.ended,
                                    QString::number(s.durationMs),
                                    s.host,
                                    s.osUser,
                                    s.portDevice,
                                    s.portLabel,
                                    s.usbSerial,
                                    s.hardwareId,
                                    s.configTitle,
                                    QString::number(s.fileCount),
                                    QString::number(s.installedCount),
                                    s.success ? QStringLiteral("1") : QStringLiteral("0"),
                                    s.stage,
                                    s.cause,
                                    s.title,
                                    s.text};
        QStringList quoted;
        for (const QString& field : fields)
            quoted.append(csvField(field));
        std::printf("%s\r\n", quoted.join(QLatin1Char(',')).toUtf8().constData());
    }
}

QJsonObject toJson(const SessionRecord& s)
{
    QJsonArray files;
    for (const FileRecord& f : s.files)
        files.append(QJsonObject{{"batch", f.batch},
                                 {"name", f.name},
                                 {"plain_size", f.plainSize < 0 ? QJsonValue() : QJsonValue(f.plainSize)},
                                 {"sha256", f.sha256},
                                 {"advertised", f.advertised},
                                 {"skipped", f.skipped},
                                 {"attempts", f.attempts},
                                 {"resends", f.resends},
                                 {"downloaded", f.downloaded},
                                 {"installed", f.installed}});
    auto orNull = [](int value) { return value < 0 ? QJsonValue() : QJsonValue(value); };
    return QJsonObject{{"id", s.id},
                       {"started", s.started},
                       {"ended", s.ended},
                       {"duration_ms", s.durationMs},
                       {"host", s.host},
                       {"os_user", s.osUser},
                       {"program_version", s.programVersion},
                       {"key_fingerprint", s.keyFingerprint},
                       {"config_title", s.configTitle},
                       {"config_sha256", s.configSha256},
                       {"port_device", s.portDevice},
                       {"port_label", s.portLabel},
                       {"usb_vendor", orNull(s.usbVendor)},
                       {"usb_product", orNull(s.usbProduct)},
                       {"usb_serial", s.usbSerial},
                       {"hardware_id", s.hardwareId},
                       {"hardware_record", s.hardwareRecord},
                       {"accepted_entry", orNull(s.acceptedEntry)},
                       {"applications", QJsonArray::fromStringList(s.applications)},
                       {"success", s.success},
                       {"title", s.title},
                       {"text", s.text},
                       {"stage", s.stage},
                       {"cause", s.cause},
                       {"transcript", s.transcript},
                       {"files", files}};
}

void printSession(const SessionRecord& s)
{
    const auto field = [](const char* name, const QString& value) {
        std::printf("%-16s %s\n", name, qPrintable(value.isEmpty() ? QStringLiteral("-") : value));
    };
    field("session", s.id);
    field("started", s.started);
    field("ended", s.ended);
    field("duration", QStringLiteral("%1 (%2 ms)").arg(minutes(s.durationMs)).arg(s.durationMs));
    field("workstation", s.host + QStringLiteral(", user ") + s.osUser);
    field("program", QStringLiteral("mirdal %1, key SHA-256 %2").arg(s.programVersion, s.keyFingerprint));
    field("configuration", s.configTitle + QStringLiteral(" (configuration.xml SHA-256 ") + s.configSha256 + ')');
    field("port", s.portDevice + (s.portLabel.isEmpty() ? QString() : QStringLiteral(" \"%1\"").arg(s.portLabel)));
    field("usb", s.usbVendor < 0
                     ? QString()
                     : QStringLiteral("%1:%2 serial %3")
                           .arg(hex4(s.usbVendor), hex4(s.usbProduct), s.usbSerial.isEmpty() ? "-" : s.usbSerial));
    field("hardware id", s.hardwareId);
    field("accepted entry", s.acceptedEntry < 0 ? QString() : QString::number(s.acceptedEntry));
    field("applications", s.applications.join(QLatin1String(", ")));
    field("result", resultWord(s));
    field("title", s.title);
    field("text", QString(s.text).replace(QLatin1Char('\n'), QStringLiteral(" / ")));
    field("stage", s.stage);
    field("cause", s.cause);
    field("transcript", s.transcript);
    std::printf("\n%-5s  %-16s  %10s  %-8s  %8s  %7s  %-10s  %s\n", "BATCH", "FILE", "PLAIN SIZE", "SENT", "ATTEMPTS",
                "RESENDS", "RESULT", "SHA-256 (plain)");
    for (const FileRecord& f : s.files) {
        const QString sent = f.skipped      ? QStringLiteral("skipped")
                             : f.advertised ? QStringLiteral("yes")
                                            : QStringLiteral("no");
        const QString result = f.installed    ? QStringLiteral("installed")
                               : f.downloaded ? QStringLiteral("downloaded")
                                              : QStringLiteral("-");
        std::printf("%-5d  %-16s  %10s  %-8s  %8d  %7d  %-10s  %s\n", f.batch, qPrintable(f.name),
                    f.plainSize < 0 ? "-" : qPrintable(QString::number(f.plainSize)), qPrintable(sent), f.attempts,
                    f.resends, qPrintable(result), qPrintable(f.sha256.isEmpty() ? QStringLiteral("-") : f.sha256));
    }
}

int readFailed(const QString& problem)
{
    std::fprintf(stderr, "mirdal-cli history: %s\n", qPrintable(problem));
    return kExitFailed;
}

// The newest session of each terminal, with its files.
bool latestOfEach(RecordStore& store, const QList<SessionRecord>& sessions, QList<SessionRecord>& latest)
{
    QSet<QString> seen;
    for (const SessionRecord& s : sessions) {
        const QString key = s.unit();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        SessionRecord whole;
        if (!store.session(s.id, whole))
            return false;
        latest.append(whole);
    }
    return true;
}

int writePage(RecordStore& store, HistoryFilter filter, const QString& path)
{
    filter.limit = 0;
    QList<SessionRecord> sessions, latest;
    if (!store.history(filter, sessions) || !latestOfEach(store, sessions, latest))
        return readFailed(store.problem());
    QSaveFile file(path);
    const QString page = historyPage(sessions, latest, 1000,
                                     QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    if (!file.open(QIODevice::WriteOnly) || file.write(page.toUtf8()) < 0 || !file.commit())
        return readFailed(QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
    return kExitOk;
}

} // namespace

int runHistory(const QStringList& arguments)
{
    QStringList args = arguments;
    const QString action = args.isEmpty() ? QString() : args.first();
    const bool show = action == QLatin1String("show");
    const bool push = action == QLatin1String("push");
    if (show || push)
        args.removeFirst();
    CommandLine line(kHelp);
    line.positionals(show ? 1 : 0);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;
    const RecordSettings settings =
        RecordSettings::resolve(line.value(QStringLiteral("record-db")), line.value(QStringLiteral("record-server")));
    if (push) {
        if (settings.server.isEmpty())
            return line.usageError(QStringLiteral("no record server is set (--record-server, MIRDAL_RECORD_SERVER "
                                                  "or the settings file)"));
        int pushed = 0;
        const QString problem = pushQueued(settings, &pushed);
        std::printf("%d sessions pushed\n", pushed);
        return problem.isEmpty() ? kExitOk : readFailed(problem + QStringLiteral(" (the rest stay queued)"));
    }

    HistoryFilter filter;
    filter.terminal = line.value(QStringLiteral("terminal"));
    filter.port = line.value(QStringLiteral("port"));
    filter.file = line.value(QStringLiteral("file"));
    filter.failedOnly = line.isSet(QStringLiteral("failed"));
    for (const char* name : {"since", "until"}) {
        const QString given = line.value(QLatin1String(name));
        const QString value = given.isEmpty() ? QString() : bound(given, name[0] == 'u');
        if (!given.isEmpty() && value.isEmpty())
            return line.usageError(QStringLiteral("--%1 takes a day (2026-12-07) or an ISO 8601 time, not '%2'")
                                       .arg(QLatin1String(name), given));
        (name[0] == 'u' ? filter.until : filter.since) = value;
    }
    if (line.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        filter.limit = line.value(QStringLiteral("limit")).toInt(&ok);
        if (!ok || filter.limit < 0)
            return line.usageError(QStringLiteral("--limit takes a whole number, 0 for all"));
    }
    const QString format = line.isSet(QStringLiteral("format")) ? line.value(QStringLiteral("format")) : "table";
    if (format != QLatin1String("table") && format != QLatin1String("csv") && format != QLatin1String("json"))
        return line.usageError(QStringLiteral("--format is table, csv or json, not '%1'").arg(format));

    RecordStore store;
    const bool fromServer = line.isSet(QStringLiteral("server"));
    if (fromServer && settings.server.isEmpty())
        return line.usageError(QStringLiteral("--server: no record server is set"));
    if (fromServer ? !store.openServer(settings.server) : !store.openLocal(settings.database, false))
        return readFailed(store.problem());
    if (show) {
        SessionRecord record;
        if (!store.session(line.positionalArguments().first(), record))
            return readFailed(store.problem());
        printSession(record);
        return kExitOk;
    }
    if (line.isSet(QStringLiteral("html")))
        return writePage(store, filter, line.value(QStringLiteral("html")));
    QList<SessionRecord> sessions;
    if (!store.history(filter, sessions, format == QLatin1String("json")))
        return readFailed(store.problem());
    if (format == QLatin1String("csv"))
        printCsv(sessions);
    else if (format == QLatin1String("json"))
        for (const SessionRecord& s : sessions)
            std::printf("%s\n", QJsonDocument(toJson(s)).toJson(QJsonDocument::Compact).constData());
    else
        printTable(sessions);
    return kExitOk;
}
