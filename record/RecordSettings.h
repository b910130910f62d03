#pragma once
// Where the record goes, the same for the window and mirdal-cli. Each
// setting is taken from the first place that gives it:
//   1. the command-line option (--record-db FILE, --record-server CONNINFO);
//   2. the environment (MIRDAL_RECORD_DB, MIRDAL_RECORD_SERVER);
//   3. the settings file, key "database" or "server" of group [record] in
//      ~/.config/mirdal/mirdal.ini, then /etc/xdg/mirdal/mirdal.ini;
//   4. the default: the local file mirdal/records.sqlite in the user's data
//      folder (~/.local/share on Linux), and no server.
#include "record/SessionRecord.h"

#include <QString>

struct RecordSettings {
    QString database;
    QString server; // a libpq connection string; empty: none

    static RecordSettings resolve(const QString& databaseOption = {}, const QString& serverOption = {});
};

// Keeps the record of an update in the local file: empty when it is there,
// otherwise why it could not be written.
QString keepRecord(const SessionRecord& record, const RecordSettings& settings);
// Offers the local file's queued sessions to the server: empty when none is
// set or it took them all; otherwise why the rest stay queued.
QString pushQueued(const RecordSettings& settings, int* pushed = nullptr);
