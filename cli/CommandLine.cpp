#include "cli/CommandLine.h"

#include "config/Configuration.h"

#include "cli/CommandTable.h"
#include "cli/Subcommands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const QString kHelp = QStringLiteral("help");

QString usageLine(const CommandRow& row)
{
    return QStringLiteral("mirdal-cli %1 %2").arg(QLatin1String(row.name), QLatin1String(row.synopsis)).trimmed();
}

// Every command has its row: a command without one is a fault of the build, not of its user.
const CommandRow& rowOf(const char* name)
{
    const CommandRow* row = findCommand(name);
    if (!row) {
        std::fprintf(stderr, "mirdal-cli: '%s' has no row in the command table\n", name);
        std::abort();
    }
    return *row;
}

// Edits (insertions, deletions, substitutions) from `a` to `b`.
int editDistance(const QString& a, const QString& b)
{
    std::vector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

CommandLine::CommandLine(const CommandHelp& help) : help_(help), row_(rowOf(help.name)), positionals_(row_.operandCount)
{
    parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser_.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser_.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), kHelp}));
    for (const OptionRow& option : row_.options)
        parser_.addOption(QCommandLineOption(QLatin1String(option.name), QString::fromUtf8(option.help),
                                             QLatin1String(option.valueName)));
}

int CommandLine::parse(const QStringList& args)
{
    // The parser takes the program's name first.
    if (!parser_.parse(QStringList{QStringLiteral("mirdal-cli")} + args)) {
        const QStringList unknown = parser_.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.first();
            QString problem = QStringLiteral("unknown option '%1%2'")
                                  .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name);
            // A slip of the fingers (two edits at most, on a name long enough to be meant) names the option meant.
            QString nearest;
            int best = 3;
            QStringList names{kHelp};
            for (const OptionRow& option : row_.options)
                names << QLatin1String(option.name);
            for (const QString& known : names) {
                const int distance = editDistance(name, known);
                if (distance < best && 2 * distance <= known.size()) {
                    best = distance;
                    nearest = known;
                }
            }
            if (!nearest.isEmpty())
                problem += QStringLiteral("; did you mean '--%1'?").arg(nearest);
            return usageError(problem);
        }
        // A missing value, a value given to a flag.
        QString text = parser_.errorText();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            text[0] = text[0].toLower();
        return usageError(text);
    }
    if (parser_.isSet(kHelp)) {
        std::fputs(helpText().toUtf8().constData(), stdout);
        return kExitOk;
    }
    for (const OptionRow& option : row_.options) {
        const QString name = QLatin1String(option.name);
        if (!*option.valueName || !parser_.isSet(name))
            continue;
        const QStringList given = parser_.values(name);
        if (given.contains(QString()))
            return usageError(QStringLiteral("--%1 needs a value").arg(name));
        if (!option.repeatable && given.size() > 1)
            return usageError(QStringLiteral("--%1 given twice").arg(name));
    }
    const QStringList positional = parser_.positionalArguments();
    if (positional.size() > positionals_)
        return usageError(QStringLiteral("unknown argument '%1'").arg(positional[positionals_]));
    if (positional.size() < positionals_)
        return usageError(QStringLiteral("%1 arguments needed, %2 given").arg(positionals_).arg(positional.size()));
    return -1;
}

int CommandLine::usageError(const QString& problem) const
{
    std::fprintf(stderr, "mirdal-cli %s: %s (usage: %s; see 'mirdal-cli %s --help')\n", help_.name,
                 problem.toUtf8().constData(), usageLine(row_).toUtf8().constData(), help_.name);
    return kExitUsage;
}

QString CommandLine::helpText() const
{
    QString text = QStringLiteral("usage: %1\n%2").arg(usageLine(row_), QLatin1String(help_.summary));
    std::vector<std::pair<QString, QString>> rows;
    for (const OptionRow& option : row_.options) {
        QString name = QStringLiteral("--") + QLatin1String(option.name);
        if (*option.valueName)
            name += QLatin1Char(' ') + QLatin1String(option.valueName);
        rows.emplace_back(name, QString::fromUtf8(option.help));
    }
    rows.emplace_back(QStringLiteral("-h, --help"), QStringLiteral("show this help"));
    int width = 0;
    for (const auto& row : rows)
        width = std::max(width, static_cast<int>(row.first.size()));
    text += QStringLiteral("\nOptions:\n");
    for (const auto& row : rows) {
        // A description of several lines goes on under its first.
        const QString indent = QLatin1Char('\n') + QString(width + 4, QLatin1Char(' '));
        text += QStringLiteral("  %1  %2\n")
                    .arg(row.first, -width)
                    .arg(QString(row.second).replace(QLatin1Char('\n'), indent));
    }
    if (*help_.details)
        text += QLatin1Char('\n') + QLatin1String(help_.details);
    text += QStringLiteral("\nExit status:\n") + QLatin1String(help_.exitStatus);
    return text;
}

int programUsageError(const QString& problem)
{
    std::fprintf(stderr, "mirdal-cli: %s (see 'mirdal-cli --help')\n", problem.toUtf8().constData());
    return kExitUsage;
}

QString CommandLine::configDir() const
{
    return isSet(QStringLiteral("config-dir")) ? value(QStringLiteral("config-dir")) : defaultConfigurationDirectory();
}
