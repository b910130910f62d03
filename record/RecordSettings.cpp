#include "record/RecordSettings.h"

#include "record/RecordStore.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

QString setting(const QString& option, const char* variable, const QString& key)
{
    if (!option.isEmpty())
        return option;
    const QString environment = qEnvironmentVariable(variable);
    if (!environment.isEmpty())
        return environment;
    const QSettings file(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("mirdal"),
                         QStringLiteral("mirdal"));
    return file.value(QStringLiteral("record/") + key).toString();
}

} // namespace

RecordSettings RecordSettings::resolve(const QString& databaseOption, const QString& serverOption)
{
    RecordSettings settings;
    settings.database = setting(databaseOption, "MIRDAL_RECORD_DB", QStringLiteral("database"));
    if (settings.database.isEmpty())
        settings.database = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                            QStringLiteral("/mirdal/records.sqlite");
    settings.server = setting(serverOption, "MIRDAL_RECORD_SERVER", QStringLiteral("server"));
    return settings;
}

QString keepRecord(const SessionRecord& record, const RecordSettings& settings)
{
    RecordStore store;
    if (!store.openLocal(settings.database) || !store.write(record))
        return store.problem();
    return {};
}

QString pushQueued(const RecordSettings& settings, int* pushed)
{
    int count = 0;
    if (pushed)
        *pushed = 0;
    if (settings.server.isEmpty())
        return {};
    RecordStore local;
    if (!local.openLocal(settings.database))
        return local.problem();
    RecordStore server;
    if (!server.openServer(settings.server))
        return server.problem();
    const bool done = local.pushTo(server, count);
    if (pushed)
        *pushed = count;
    return done ? QString() : local.problem();
}
