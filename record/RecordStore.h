#pragma once
// Where records are kept: the workstation's SQLite file, or a fleet's
// PostgreSQL server (see docs/records.md for its schema). Both hold the same
// two tables, so the history reads either the same way. The local file also
// queues every session until a server has acknowledged it.
//
// One store is one database connection: it is used and destroyed in the
// thread that made it.
#include "record/SessionRecord.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <memory>

class QSqlQuery;

struct HistoryFilter {
    QString terminal; // USB serial number or hardware identification
    QString port;     // device or label
    QString file;     // a file's name
    bool failedOnly = false;
    QString since, until; // ISO 8601 UTC bounds of the start: [since, until)
    int limit = 100;      // 0: every session
};

class RecordStore {
public:
    // The schema version that this program writes; older local files are migrated to it.
    static constexpr int kSchemaVersion = 2;

    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // The local file at `path`, created (owner-only) with its folder when
    // `create` and it is missing, and migrated to the current schema.
    bool openLocal(const QString& path, bool create = true);
    // The server that a libpq connection string names ("service=fleet",
    // "host=db.example dbname=records"); the password comes from libpq's own
    // files, never from the string.
    bool openServer(const QString& conninfo);
    // Why the last call failed.
    QString problem() const { return problem_; }

    // Local: the session, its files and its place in the queue, all or nothing.
    bool write(const SessionRecord& record);
    // Newest first; with their files when `withFiles`.
    bool history(const HistoryFilter& filter, QList<SessionRecord>& sessions, bool withFiles = false);
    // The session whose id is or starts with `id` (unambiguously), with its files.
    bool session(const QString& id, SessionRecord& record);

    // Local: how many sessions wait for the server.
    int queued();
    // Local: sends every queued session to `server`, a batch per transaction,
    // and takes each batch off the queue once the server has committed it.
    // A session the server already has is not sent again, so a push cut
    // between the two duplicates nothing. Counts the sessions taken off.
    bool pushTo(RecordStore& server, int& pushed);

private:
    bool open(const QString& driver);
    bool fail(const QString& what, const QString& why);
    bool writeAheadLog(QSqlQuery& pragma);
    bool migrate();
    bool insert(const SessionRecord& record, bool ifNew, bool& inserted);
    bool loadFiles(SessionRecord& record);

    QString name_;
    QSqlDatabase db_;
    std::unique_ptr<QSqlQuery> insertSession_, insertFile_;
    bool server_ = false;
    QString where_; // the file, or "the server", for the messages
    QString problem_;
};

// The server setting with libpq's own defaults for what it leaves out; empty
// with `problem` set when it carries what must not be written down (a password).
QString serverConnectionString(const QString& setting, QString& problem);
