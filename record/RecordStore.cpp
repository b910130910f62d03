#include "record/RecordStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// How long a writer waits for another (the window, several mirdal-cli).
constexpr int kBusyTimeoutMs = 30000;

// The schema, one step per version. A file at version N runs the steps after
// N, in one transaction, so that a writer never sees half a migration.
const char* const kVersion1[] = {
    "CREATE TABLE sessions ("
    " id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT NOT NULL, duration_ms BIGINT NOT NULL,"
    " host TEXT, os_user TEXT, program_version TEXT, key_fingerprint TEXT,"
    " config_title TEXT, config_sha256 TEXT,"
    " port_device TEXT, port_label TEXT, usb_vendor INTEGER, usb_product INTEGER, usb_serial TEXT,"
    " hardware_id TEXT, hardware_record TEXT, accepted_entry INTEGER, applications TEXT,"
    " success INTEGER NOT NULL, title TEXT, text TEXT, stage TEXT, cause TEXT, transcript TEXT)",
    "CREATE TABLE files ("
    " session_id TEXT NOT NULL REFERENCES sessions(id), position INTEGER NOT NULL, batch INTEGER,"
    " name TEXT NOT NULL, plain_size BIGINT, sha256 TEXT, advertised INTEGER, skipped INTEGER,"
    " attempts INTEGER, resends INTEGER, downloaded INTEGER, installed INTEGER,"
    " PRIMARY KEY (session_id, position))",
    "CREATE INDEX sessions_started ON sessions (started)",
};
// Version 2: the queue of sessions for the server (the sessions already
// there wait in it too), and what the history of one terminal needs.
const char* const kVersion2[] = {
    "CREATE TABLE outbox (session_id TEXT PRIMARY KEY)",
    "INSERT INTO outbox SELECT id FROM sessions",
    "CREATE INDEX sessions_usb_serial ON sessions (usb_serial, started)",
    "CREATE INDEX sessions_hardware_id ON sessions (hardware_id, started)",
    "CREATE INDEX sessions_port ON sessions (port_device, started)",
    "CREATE INDEX files_name ON files (name)",
};

struct Step {
    const char* const* statements;
    size_t count;
};
const Step kSteps[] = {{kVersion1, std::size(kVersion1)}, {kVersion2, std::size(kVersion2)}};
static_assert(std::size(kSteps) == RecordStore::kSchemaVersion, "one step per schema version");

const char* const kSessionColumns =
    "id, started, ended, duration_ms, host, os_user, program_version, key_fingerprint, config_title, "
    "config_sha256, port_device, port_label, usb_vendor, usb_product, usb_serial, hardware_id, hardware_record, "
    "accepted_entry, applications, success, title, text, stage, cause, transcript";
const char* const kFileColumns = "session_id, position, batch, name, plain_size, sha256, advertised, skipped, "
                                 "attempts, resends, downloaded, installed";

QString placeholders(int count)
{
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks.append(QStringLiteral("?"));
    return marks.join(QLatin1String(", "));
}

// The applications are kept one per line: a name never holds a line break.
QString joinLines(const QStringList& lines)
{
    return lines.join(QLatin1Char('\n'));
}

QVariant orNull(int value)
{
    return value < 0 ? QVariant(QVariant::Int) : QVariant(value);
}

QString text(const QSqlQuery& query, int column)
{
    return query.value(column).toString();
}

SessionRecord readSession(const QSqlQuery& q)
{
    SessionRecord r;
    r.id = text(q, 0);
    r.started = text(q, 1);
    r.ended = text(q, 2);
    r.durationMs = q.value(3).toLongLong();
    r.host = text(q, 4);
    r.osUser = text(q, 5);
    r.programVersion = text(q, 6);
    r.keyFingerprint = text(q, 7);
    r.configTitle = text(q, 8);
    r.configSha256 = text(q, 9);
    r.portDevice = text(q, 10);
    r.portLabel = text(q, 11);
    r.usbVendor = q.value(12).isNull() ? -1 : q.value(12).toInt();
    r.usbProduct = q.value(13).isNull() ? -1 : q.value(13).toInt();
    r.usbSerial = text(q, 14);
    r.hardwareId = text(q, 15);
    r.hardwareRecord = text(q, 16);
    r.acceptedEntry = q.value(17).isNull() ? -1 : q.value(17).toInt();
    const QString applications = text(q, 18);
    r.applications = applications.isEmpty() ? QStringList() : applications.split(QLatin1Char('\n'));
    r.success = q.value(19).toInt() != 0;
    r.title = text(q, 20);
    r.text = text(q, 21);
    r.stage = text(q, 22);
    r.cause = text(q, 23);
    r.transcript = text(q, 24);
    return r;
}

// Creates the file for its owner alone, whatever the umask: the record names
// people and workstations.
bool createPrivately(const QString& path, QString& why)
{
    const QFileInfo folder(QFileInfo(path).absolutePath());
#ifdef Q_OS_UNIX
    // Its own folder is the owner's alone too; the folders above it are the data folder's.
    if (!folder.exists() && (!QDir().mkpath(folder.absolutePath()) ||
                             ::mkdir(QFile::encodeName(folder.absoluteFilePath()).constData(), 0700) != 0)) {
        why = QStringLiteral("cannot create the folder '%1': %2")
                  .arg(folder.absoluteFilePath(), QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    ::close(fd);
#else
    if (!QDir().mkpath(folder.absoluteFilePath())) {
        why = QStringLiteral("cannot create the folder '%1'").arg(folder.absoluteFilePath());
        return false;
    }
#endif
    return true;
}

} // namespace

QString serverConnectionString(const QString& setting, QString& problem)
{
    static const QRegularExpression password(QStringLiteral("(^|\\s)password\\s*="));
    if (setting.contains(password)) {
        problem = QStringLiteral("the server setting must not hold a password: give it in a password file "
                                 "(~/.pgpass, PGPASSFILE) or a service file (~/.pg_service.conf, PGSERVICEFILE)");
        return {};
    }
    if (setting.contains(QLatin1String("://"))) {
        problem = QStringLiteral("the server setting is a libpq keyword=value string (\"service=fleet\"), not a URI");
        return {};
    }
    // A server that does not answer must not hold the workstation long; the
    // setting's own connect_timeout, coming later, wins.
    return QStringLiteral("connect_timeout=5 ") + setting;
}

RecordStore::RecordStore() : name_(QStringLiteral("mirdal-record-") + QUuid::createUuid().toString()) {}

RecordStore::~RecordStore()
{
    insertSession_.reset();
    insertFile_.reset();
    if (db_.isValid())
        db_.close();
    db_ = QSqlDatabase();
    if (QSqlDatabase::contains(name_))
        QSqlDatabase::removeDatabase(name_);
}

bool RecordStore::fail(const QString& what, const QString& why)
{
    problem_ = QStringLiteral("%1 %2: %3").arg(what, where_, why);
    return false;
}

bool RecordStore::open(const QString& driver)
{
    // Checked first: adding a connection of a missing driver only warns.
    if (!QSqlDatabase::isDriverAvailable(driver))
        return fail(QStringLiteral("cannot open"), QStringLiteral("Qt's %1 driver is not installed").arg(driver));
    db_ = QSqlDatabase::addDatabase(driver, name_);
    return true;
}

bool RecordStore::openLocal(const QString& path, bool create)
{
    where_ = QStringLiteral("the record '%1'").arg(path);
    if (!create && !QFileInfo::exists(path))
        return fail(QStringLiteral("cannot read"), QStringLiteral("no update has been recorded there yet"));
    QString why;
    if (create && !QFileInfo::exists(path) && !createPrivately(path, why))
        return fail(QStringLiteral("cannot create"), why);
    if (!open(QStringLiteral("QSQLITE")))
        return false;
    // A file that this user cannot write (a copy handed to a support desk) is read as it stands.
    const bool readOnly = !create && !QFileInfo(path).isWritable();
    db_.setDatabaseName(readOnly ? QUrl::fromLocalFile(path).toString() + QStringLiteral("?immutable=1") : path);
    // Writers wait for one another (the window, several mirdal-cli) rather than fail.
    db_.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI")
                                   : QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db_.open())
        return fail(QStringLiteral("cannot open"), db_.lastError().text());
    if (readOnly)
        return true;
    QSqlQuery pragma(db_);
    // Readers never wait for a writer, and a commit is whole or absent after a crash.
    if (!writeAheadLog(pragma) || !pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return fail(QStringLiteral("cannot open"), pragma.lastError().text());
    return migrate();
}

// A file not yet in WAL mode (a new record) is taken whole to turn it, and
// SQLite does not wait for that while another program writes it, as the
// first programs on a new record do: a busy file is tried again, as long as a
// writer would wait for another.
bool RecordStore::writeAheadLog(QSqlQuery& pragma)
{
    const QDeadlineTimer deadline(kBusyTimeoutMs);
    while (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        constexpr int kSqliteBusy = 5, kSqliteLocked = 6;
        const int code = pragma.lastError().nativeErrorCode().toInt() & 0xff;
        if ((code != kSqliteBusy && code != kSqliteLocked) || deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

bool RecordStore::openServer(const QString& conninfo)
{
    where_ = QStringLiteral("the record server");
    QString why;
    const QString options = serverConnectionString(conninfo, why);
    if (options.isEmpty())
        return fail(QStringLiteral("cannot reach"), why);
    if (!open(QStringLiteral("QPSQL")))
        return false;
    server_ = true;
    // Qt hands the options to libpq as they are (';' stands for a space).
    db_.setConnectOptions(options);
    if (!db_.open())
        return fail(QStringLiteral("cannot reach"), db_.lastError().text().trimmed());
    return true;
}

bool RecordStore::migrate()
{
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail(QStringLiteral("cannot read"), q.lastError().text());
    if (q.value(0).toInt() == kSchemaVersion)
        return true;
    // Taken for writing before the version is read again: two programs
    // opening an old file together migrate it once.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(QStringLiteral("cannot migrate"), q.lastError().text());
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        db_.rollback();
        return fail(QStringLiteral("cannot read"), q.lastError().text());
    }
    const int version = q.value(0).toInt();
    q.finish();
    if (version > kSchemaVersion) {
        q.exec(QStringLiteral("ROLLBACK"));
        return fail(QStringLiteral("cannot use"),
                    QStringLiteral("its schema (version %1) is newer than this program's (%2)")
                        .arg(version)
                        .arg(kSchemaVersion));
    }
    for (int step = version; step < kSchemaVersion; ++step)
        for (size_t i = 0; i < kSteps[step].count; ++i)
            if (!q.exec(QString::fromLatin1(kSteps[step].statements[i]))) {
                const QString why = q.lastError().text();
                q.exec(QStringLiteral("ROLLBACK"));
                return fail(QStringLiteral("cannot migrate"), why);
            }
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion)) || !q.exec(QStringLiteral("COMMIT"))) {
        const QString why = q.lastError().text();
        q.exec(QStringLiteral("ROLLBACK"));
        return fail(QStringLiteral("cannot migrate"), why);
    }
    return true;
}

bool RecordStore::insert(const SessionRecord& r, bool ifNew, bool& inserted)
{
    // Prepared once per connection: on a server each preparation is a round trip of its own.
    if (!insertSession_) {
        const QString conflict = ifNew ? QStringLiteral(" ON CONFLICT (id) DO NOTHING") : QString();
        insertSession_ = std::make_unique<QSqlQuery>(db_);
        insertFile_ = std::make_unique<QSqlQuery>(db_);
        if (!insertSession_->prepare(QStringLiteral("INSERT INTO sessions (%1) VALUES (%2)%3")
                                         .arg(QLatin1String(kSessionColumns), placeholders(25), conflict)) ||
            !insertFile_->prepare(QStringLiteral("INSERT INTO files (%1) VALUES (%2)")
                                      .arg(QLatin1String(kFileColumns), placeholders(12)))) {
            const QString why = insertSession_->lastError().text() + insertFile_->lastError().text();
            insertSession_.reset();
            insertFile_.reset();
            return fail(QStringLiteral("cannot write to"), why);
        }
    }
    QSqlQuery& q = *insertSession_;
    const QVariantList values = {r.id,
                                 r.started,
                                 r.ended,
                                 r.durationMs,
                                 r.host,
                                 r.osUser,
                                 r.programVersion,
                                 r.keyFingerprint,
                                 r.configTitle,
                                 r.configSha256,
                                 r.portDevice,
                                 r.portLabel,
                                 orNull(r.usbVendor),
                                 orNull(r.usbProduct),
                                 r.usbSerial,
                                 r.hardwareId,
                                 r.hardwareRecord,
                                 orNull(r.acceptedEntry),
                                 joinLines(r.applications),
                                 r.success ? 1 : 0,
                                 r.title,
                                 r.text,
                                 r.stage,
                                 r.cause,
                                 r.transcript};
    for (const QVariant& value : values)
        q.addBindValue(value);
    if (!q.exec())
        return fail(QStringLiteral("cannot write to"), q.lastError().text());
    inserted = q.numRowsAffected() == 1;
    if (!inserted)
        return true;
    QSqlQuery& f = *insertFile_;
    for (int i = 0; i < r.files.size(); ++i) {
        const FileRecord& file = r.files[i];
        const QVariantList row = {r.id,
                                  i,
                                  file.batch,
                                  file.name,
                                  file.plainSize < 0 ? QVariant(QVariant::LongLong) : QVariant(file.plainSize),
                                  file.sha256,
                                  file.advertised ? 1 : 0,
                                  file.skipped ? 1 : 0,
                                  file.attempts,
                                  file.resends,
                                  file.downloaded ? 1 : 0,
                                  file.installed ? 1 : 0};
        for (const QVariant& value : row)
            f.addBindValue(value);
        if (!f.exec())
            return fail(QStringLiteral("cannot write to"), f.lastError().text());
    }
    return true;
}

bool RecordStore::write(const SessionRecord& record)
{
    QSqlQuery q(db_);
    // Taken for writing at once: a deferred transaction could fail to upgrade its lock under another writer.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(QStringLiteral("cannot write to"), q.lastError().text());
    bool inserted = false;
    if (!insert(record, false, inserted)) {
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    QSqlQuery queue(db_);
    queue.prepare(QStringLiteral("INSERT INTO outbox (session_id) VALUES (?)"));
    queue.addBindValue(record.id);
    if (!queue.exec() || !q.exec(QStringLiteral("COMMIT"))) {
        const QString why = queue.lastError().isValid() ? queue.lastError().text() : q.lastError().text();
        q.exec(QStringLiteral("ROLLBACK"));
        return fail(QStringLiteral("cannot write to"), why);
    }
    return true;
}

bool RecordStore::loadFiles(SessionRecord& record)
{
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("SELECT %1 FROM files WHERE session_id = ? ORDER BY position").arg(QLatin1String(kFileColumns)));
    q.addBindValue(record.id);
    if (!q.exec())
        return fail(QStringLiteral("cannot read"), q.lastError().text());
    record.files.clear();
    while (q.next()) {
        FileRecord file;
        file.batch = q.value(2).toInt();
        file.name = q.value(3).toString();
        file.plainSize = q.value(4).isNull() ? -1 : q.value(4).toLongLong();
        file.sha256 = q.value(5).toString();
        file.advertised = q.value(6).toInt() != 0;
        file.skipped = q.value(7).toInt() != 0;
        file.attempts = q.value(8).toInt();
        file.resends = q.value(9).toInt();
        file.downloaded = q.value(10).toInt() != 0;
        file.installed = q.value(11).toInt() != 0;
        record.files.append(file);
    }
    record.fileCount = record.files.size();
    record.installedCount = 0;
    for (const FileRecord& file : record.files)
        record.installedCount += file.installed ? 1 : 0;
    return true;
}

bool RecordStore::history(const HistoryFilter& filter, QList<SessionRecord>& sessions, bool withFiles)
{
    QStringList conditions;
    QVariantList values;
    if (!filter.terminal.isEmpty()) {
        conditions.append(QStringLiteral("(s.usb_serial = ? OR s.hardware_id = ?)"));
        values << filter.terminal << filter.terminal.toLower();
    }
    if (!filter.port.isEmpty()) {
        conditions.append(QStringLiteral("(s.port_device = ? OR s.port_label = ?)"));
        values << filter.port << filter.port;
    }
    if (!filter.file.isEmpty()) {
        conditions.append(QStringLiteral("EXISTS (SELECT 1 FROM files f WHERE f.session_id = s.id AND f.name = ?)"));
        values << filter.file;
    }
    if (filter.failedOnly)
        conditions.append(QStringLiteral("s.success = 0"));
    if (!filter.since.isEmpty()) {
        conditions.append(QStringLiteral("s.started >= ?"));
        values << filter.since;
    }
    if (!filter.until.isEmpty()) {
        conditions.append(QStringLiteral("s.started < ?"));
        values << filter.until;
    }
    QString sql = QStringLiteral("SELECT %1, (SELECT COUNT(*) FROM files f WHERE f.session_id = s.id),"
                                 " (SELECT COUNT(*) FROM files f WHERE f.session_id = s.id AND f.installed = 1)"
                                 " FROM sessions s")
                      .arg(QLatin1String("s.") + QLatin1String(kSessionColumns));
    if (!conditions.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditions.join(QLatin1String(" AND "));
    sql += QStringLiteral(" ORDER BY s.started DESC, s.id DESC");
    if (filter.limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(filter.limit);
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& value : values)
        q.addBindValue(value);
    if (!q.exec())
        return fail(QStringLiteral("cannot read"), q.lastError().text());
    sessions.clear();
    while (q.next()) {
        SessionRecord record = readSession(q);
        record.fileCount = q.value(25).toInt();
        record.installedCount = q.value(26).toInt();
        sessions.append(record);
    }
    if (withFiles)
        for (SessionRecord& record : sessions)
            if (!loadFiles(record))
                return false;
    return true;
}

bool RecordStore::session(const QString& id, SessionRecord& record)
{
    QSqlQuery q(db_);
    // A prefix as the list shows it is enough when only one session starts so.
    static const QRegularExpression idText(QStringLiteral("^[0-9a-f-]+$"));
    const QString wanted = id.toLower();
    if (!idText.match(wanted).hasMatch())
        return fail(QStringLiteral("no session in"), QStringLiteral("'%1' is not a session id").arg(id));
    const bool whole = wanted.size() == 36;
    q.prepare(QStringLiteral("SELECT %1 FROM sessions WHERE id %2 ? ORDER BY id LIMIT 2")
                  .arg(QLatin1String(kSessionColumns), whole ? QStringLiteral("=") : QStringLiteral("LIKE")));
    q.addBindValue(whole ? wanted : wanted + QLatin1Char('%'));
    if (!q.exec())
        return fail(QStringLiteral("cannot read"), q.lastError().text());
    if (!q.next())
        return fail(QStringLiteral("no session in"), QStringLiteral("none has the id '%1'").arg(id));
    record = readSession(q);
    if (q.next())
        return fail(QStringLiteral("no single session in"), QStringLiteral("several ids start with '%1'").arg(id));
    return loadFiles(record);
}

int RecordStore::queued()
{
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM outbox")) || !q.next())
        return -1;
    return q.value(0).toInt();
}

bool RecordStore::pushTo(RecordStore& server, int& pushed)
{
    pushed = 0;
    constexpr int kBatch = 500;
    for (;;) {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT o.session_id FROM outbox o ORDER BY o.rowid LIMIT %1").arg(kBatch)))
            return fail(QStringLiteral("cannot read"), q.lastError().text());
        QList<SessionRecord> batch;
        while (q.next()) {
            SessionRecord record;
            if (!session(q.value(0).toString(), record))
                return false;
            batch.append(record);
        }
        q.finish();
        if (batch.isEmpty())
            return true;
        if (!server.db_.transaction())
            return fail(QStringLiteral("cannot push"), server.db_.lastError().text());
        for (const SessionRecord& record : batch) {
            bool inserted = false;
            if (!server.insert(record, true, inserted)) {
                server.db_.rollback();
                problem_ = server.problem_;
                return false;
            }
        }
        if (!server.db_.commit()) {
            const QString why = server.db_.lastError().text();
            server.db_.rollback();
            return fail(QStringLiteral("cannot push"), why);
        }
        // The server has them: off the queue. Were this lost, the next push
        // would find them there and send nothing twice.
        QSqlQuery done(db_);
        if (!done.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return fail(QStringLiteral("cannot write to"), done.lastError().text());
        done.prepare(QStringLiteral("DELETE FROM outbox WHERE session_id = ?"));
        for (const SessionRecord& record : batch) {
            done.addBindValue(record.id);
            if (!done.exec()) {
                const QString why = done.lastError().text();
                QSqlQuery(db_).exec(QStringLiteral("ROLLBACK"));
                return fail(QStringLiteral("cannot write to"), why);
            }
        }
        if (!QSqlQuery(db_).exec(QStringLiteral("COMMIT")))
            return fail(QStringLiteral("cannot write to"), db_.lastError().text());
        pushed += batch.size();
    }
}
