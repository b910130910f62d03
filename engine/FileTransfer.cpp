// Advertisement and download of one package file. The package is an
// encrypted container; the terminal receives its plain content, decrypted
// block by block as the download sends it. A package that is not a regular
// file, or whose framing does not hold together, is refused before anything
// is read past its end, and the operation then fails like a failed exchange.
#include "engine/FileName.h"
#include "engine/Model.h"
#include "engine/PackageFile.h"

#include "protocol/CommandSet.h"

#include <QDebug>

bool Model::sendInfo(const Application* application, bool& skip)
{
    skip = false;
    PackageFile package;
    if (!package.open(application->file))
        return commandFailed(package.problem());
    const uint32_t length = package.plainLength();

    // The name goes on the wire in Latin-1 whatever the PC's locale: the
    // terminal cannot know that locale, and Latin-1 is what it displays. The
    // log shows the same name in the log's own encoding.
    const QString displayName = fileDisplayName(application->file);
    if (!advertisable(application->file))
        return commandFailed(QStringLiteral("the name %1 has characters outside Latin-1, which the terminal cannot "
                                            "receive")
                                 .arg(displayName));
    const std::string name = advertisedName(application->file);
    if (CommandSet::advertisementText(name, length).skipped()) {
        qInfo("Model::sendInfo file name + file length + head > 32 : SKIP! ");
        skip = true;
        return commandDone(true);
    }
    qInfo("Model::sendInfo advertise file %s of size %u", qUtf8Printable(displayName), length);
    return commandDone(commands_->advertise(name, length, skip));
}

bool Model::downloadFile(const Application* application)
{
    const QString status = QString::fromUtf8("Téléchargement du fichier : ") + fileDisplayName(application->file);
    emit setModuleProgression(status, 0);

    PackageFile package;
    if (!package.open(application->file))
        return commandFailed(package.problem());
    const bool done = commandDone(commands_->download(
        package.plainLength(), [&package](uint8_t* data, uint16_t count) { return package.read(data, count); },
        [&](int percent) { emit setModuleProgression(status, percent); }));
    // The package's own words for content it could not give.
    if (!done && commands_->lastFailure().kind == ExchangeFailure::Kind::ContentUnreadable)
        return commandFailed(package.problem());
    return done;
}
