// Advertisement and download of one package file. The package is an
// encrypted container; the terminal receives its plain content. A container
// whose framing does not hold together is refused before anything is read
// past its end, and the operation then fails like a failed exchange.
#include "FileName.h"
#include "Model.h"

#include "commands.h"
#include "container.h"
#include "frames.h"

#include <QDebug>
#include <QFile>

namespace {

bool readFile(const QString& path, std::vector<uint8_t>& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    bytes.resize(static_cast<size_t>(size));
    return file.read(reinterpret_cast<char*>(bytes.data()), size) == size;
}

// The plain length of a well-formed package, without decrypting it.
bool packageLength(const QString& path, uint32_t& length)
{
    std::vector<uint8_t> bytes;
    if (!readFile(path, bytes))
        return false;
    ContainerView view;
    if (parseContainer(bytes.data(), bytes.size(), view) != ContainerError::None)
        return false;
    length = view.plainLength;
    return true;
}

// The plain content of a well-formed package, decrypted where it was read
// so that a large package is held only once.
bool packageContent(const QString& path, std::vector<uint8_t>& content)
{
    return readFile(path, content) && decryptContainerInPlace(content) == ContainerError::None;
}

} // namespace

bool Model::sendInfo(const Application* application, bool& skip)
{
    skip = false;
    uint32_t length = 0;
    if (!packageLength(application->file, length))
        return false;

    const QByteArray name = fileDisplayName(application->file).toLatin1();
    const std::string text = CommandSet::lengthField(length) + name.toStdString();
    if (text.size() > kMaxAdvertisementText) {
        qInfo("Model::sendInfo file name + file length + head > 32 : SKIP! ");
        skip = true;
        return true;
    }
    qInfo("Model::sendInfo advertise file %s of size %d", name.constData(), static_cast<int>(length));
    return commands_->advertise(name.toStdString(), length, skip);
}

bool Model::downloadFile(const Application* application)
{
    const QString status = QString::fromUtf8("Téléchargement du fichier : ") + fileDisplayName(application->file);
    emit setModuleProgression(status, 0);

    std::vector<uint8_t> content;
    if (!packageContent(application->file, content))
        return false;
    return commands_->download(content.data(), static_cast<uint32_t>(content.size()),
                               [&](int percent) { emit setModuleProgression(status, percent); });
}
