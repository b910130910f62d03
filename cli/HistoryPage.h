#pragma once
// The support desk's page of the record: one self-contained HTML file (its
// styles and charts inline, no script, nothing fetched) with the latest state
// of each terminal, the failures by stage and by day, and the sessions.
#include "record/SessionRecord.h"

#include <QList>
#include <QString>

// `sessions`: newest first, without files; `latest`: the newest session of
// each terminal, with its files, in the same order. At most `listed` sessions
// are listed one by one; every count covers them all.
QString historyPage(const QList<SessionRecord>& sessions, const QList<SessionRecord>& latest, int listed,
                    const QString& generated);
