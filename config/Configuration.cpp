#include "config/Configuration.h"

#include "config/BoundedFile.h"
#include "config/Signature.h"
#include "crypto/Container.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace {

// A configuration is a few levels deep. Deeper documents are hostile: the
// reader would keep a stack entry per open element, so the walk stops there.
constexpr int kMaxDepth = 32;

// A configuration's elements carry at most one attribute (the id of a
// batch). The XML reader checks each attribute of an element against all the
// others, a cost that grows faster than the square of their count (16,000
// attributes on one element take a second, 32,000 seven); the file is
// counted before the reader sees it, and the walk stops, as on broken XML,
// at the first start tag with more than this many.
constexpr int kMaxAttributesPerElement = 64;

// The reader under the walk's own limits. Every token goes through next(),
// which turns what a configuration never holds into a reading error, so that
// every loop of the walk ends as it does on broken XML:
// - a document type declaration: its entities could make a few hundred
//   kilobytes of references expand to gigabytes of text;
// - elements nested deeper than kMaxDepth.
// - a start tag with more than kMaxAttributesPerElement attributes: the
//   reader is only given the bytes before it.
class XmlWalk {
public:
    // `crowdedTag` is the offset of the first start tag with too many
    // attributes, or -1.
    XmlWalk(const QByteArray& document, int crowdedTag)
        : reader_(crowdedTag < 0 ? document : document.left(crowdedTag)), cut_(crowdedTag >= 0)
    {}

    bool more() const { return !reader_.atEnd() && !reader_.hasError(); }

    QXmlStreamReader::TokenType next()
    {
        const QXmlStreamReader::TokenType type = reader_.readNext();
        if (cut_ && reader_.error() == QXmlStreamReader::PrematureEndOfDocumentError)
            reader_.raiseError(QStringLiteral("an element with more than %1 attributes").arg(kMaxAttributesPerElement));
        else if (type == QXmlStreamReader::DTD)
            reader_.raiseError(QStringLiteral("document type declarations are not accepted"));
        else if (type == QXmlStreamReader::StartElement && ++depth_ > kMaxDepth)
            reader_.raiseError(QStringLiteral("elements nested too deeply"));
        else if (type == QXmlStreamReader::EndElement)
            --depth_;
        return reader_.tokenType();
    }

    QString name() const { return reader_.name().toString(); }
    QString text() const { return reader_.text().toString(); }
    QXmlStreamAttributes attributes() const { return reader_.attributes(); }

    QString errorText() const
    {
        if (!reader_.hasError())
            return {};
        return QStringLiteral("line %1, column %2: %3")
            .arg(reader_.lineNumber())
            .arg(reader_.columnNumber())
            .arg(reader_.errorString());
    }

    bool isEndOf(QLatin1String element) const
    {
        return reader_.tokenType() == QXmlStreamReader::EndElement && reader_.name() == element;
    }

private:
    QXmlStreamReader reader_;
    bool cut_;
    int depth_ = 0;
};

// The offset of the first start tag of `document` with more than
// kMaxAttributesPerElement attributes, or -1: one pass that counts the
// '=' of each start tag outside its quoted values, and passes over comments,
// character data, processing instructions and end tags. It stops at a
// document type declaration, where the walk stops anyway.
int firstCrowdedTag(const QByteArray& document)
{
    const char* const bytes = document.constData();
    const int size = document.size();
    auto skipPast = [&](int from, const char* end) {
        const int at = document.indexOf(end, from);
        return at < 0 ? size : at + static_cast<int>(std::strlen(end));
    };
    int i = 0;
    while (i < size) {
        if (bytes[i] != '<') {
            ++i;
            continue;
        }
        const int tag = i;
        if (std::strncmp(bytes + i, "<!--", 4) == 0) {
            i = skipPast(i + 4, "-->");
        } else if (std::strncmp(bytes + i, "<![CDATA[", 9) == 0) {
            i = skipPast(i + 9, "]]>");
        } else if (i + 1 < size && bytes[i + 1] == '?') {
            i = skipPast(i + 2, "?>");
        } else if (i + 1 < size && bytes[i + 1] == '!') {
            return -1;
        } else {
            int attributes = 0;
            char quote = 0;
            for (++i; i < size; ++i) {
                const char c = bytes[i];
                if (quote) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > kMaxAttributesPerElement)
                        return tag;
                } else if (c == '>') {
                    ++i;
                    break;
                }
            }
        }
    }
    return -1;
}

// Reads the children of one element up to its end tag. The value of a child
// is the text of the one token after its start tag: "<a>x<b/>y</a>" gives "x",
// "<a/>" gives "". Children that are not keys are read over the same way.
void readBlock(XmlWalk& walk, QLatin1String end, const std::function<void(const QString&, const QString&)>& onChild)
{
    while (walk.more()) {
        if (walk.next() == QXmlStreamReader::StartElement) {
            const QString key = walk.name();
            walk.next();
            onChild(key, walk.text());
        }
        if (walk.isEndOf(end))
            return;
    }
}

// Hardware-configuration records come in the encrypted container. Our rule
// for malformed files: a file shorter than its 4-byte header, a body that is
// empty or not a whole number of 16-byte blocks, or a plain length above the
// 128-byte record or above the body adds no entry. Only the blocks that hold
// the record are decrypted, so nothing is ever read past the file's data or
// written past the record. Returns why the file is refused, empty if it is not.
QString decryptHardwareRecord(const QByteArray& file, unsigned char (&record)[HTerminal::kDataSize])
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.constData());
    const auto size = static_cast<size_t>(file.size());
    ContainerView view;
    const ContainerError framing = parseContainer(bytes, size, view);
    if (framing != ContainerError::None)
        return QString::fromLatin1(containerErrorText(framing));
    if (view.plainLength > HTerminal::kDataSize)
        return QStringLiteral("record of %1 bytes, longer than %2").arg(view.plainLength).arg(HTerminal::kDataSize);
    std::vector<uint8_t> plain;
    const ContainerError decryption = decryptContainer(bytes, size, plain);
    if (decryption != ContainerError::None)
        return QString::fromLatin1(containerErrorText(decryption));
    // An empty record (L = 0) has no buffer behind it: copy, not memcpy from null.
    std::copy(plain.begin(), plain.end(), record);
    return {};
}

// The path that the system opens for `path`: links followed and "." and
// ".." taken where the system takes them (after a link, ".." leaves the
// link's target, not the link). A path that does not exist is resolved as
// far as it does: its deepest existing part, then the rest as written; a
// link whose target does not exist is followed to that target.
QString systemPath(const QString& path, int links = 0)
{
    // The system gives up on a chain of links well before this.
    constexpr int kMaxLinks = 40;
    const QFileInfo entry(path);
    const QString canonical = entry.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    if (entry.isSymLink() && links < kMaxLinks)
        return systemPath(entry.symLinkTarget(), links + 1);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QDir::cleanPath(path);
    const QString parent = slash == 0 ? QStringLiteral("/") : path.left(slash);
    return QDir::cleanPath(systemPath(parent, links) + QLatin1Char('/') + path.mid(slash + 1));
}

// The configuration folder, which every name of the file is relative to.
// A name that leads out of it is refused: by its text ("../../etc/passwd",
// "a/../../b") or through a link inside the folder ("root/etc/shadow" where
// "root" links to "/"). A configuration, even a signed one, has no business
// naming files elsewhere, and a link placed in the folder must not lend its
// files to one. Such a name is never opened, and the file fails to load.
class Folder {
public:
    explicit Folder(const QString& path) : path_(path), root_(systemPath(QDir::fromNativeSeparators(path))) {}

    const QString& path() const { return path_; }
    bool refused() const { return refused_; }

    // The folder's path followed by the name, as the rest of the program uses it.
    QString join(const QString& name)
    {
        if (leaves(name))
            refused_ = true;
        return path_ + name;
    }

    bool leaves(const QString& name) const
    {
        const QString target = systemPath(QDir::fromNativeSeparators(path_ + name));
        const QString prefix = root_.endsWith(QLatin1Char('/')) ? root_ : root_ + QLatin1Char('/');
        return target != root_ && !target.startsWith(prefix);
    }

    void refuse() { refused_ = true; }

private:
    QString path_;
    QString root_;
    bool refused_ = false;
};

void readTerminal(XmlWalk& walk, Terminal& terminal, Folder& folder)
{
    readBlock(walk, QLatin1String("terminal"), [&](const QString& key, const QString& value) {
        if (key == QLatin1String("name"))
            terminal.name = value;
        else if (key == QLatin1String("code"))
            terminal.code = value;
        else if (key == QLatin1String("image"))
            terminal.image = folder.join(value);
        else if (key == QLatin1String("delayReboot"))
            terminal.delayReboot = value.toInt(nullptr, 10);
    });
}

void readOperation(XmlWalk& walk, Operation& operation)
{
    readBlock(walk, QLatin1String("operation"), [&](const QString& key, const QString& value) {
        if (key == QLatin1String("title"))
            operation.title = value;
        else if (key == QLatin1String("description"))
            operation.description = value;
    });
}

void readBatch(XmlWalk& walk, Batch& batch, Folder& folder)
{
    batch.id = walk.attributes().value(QLatin1String("id")).toInt(nullptr, 10);
    readBlock(walk, QLatin1String("batch"), [&](const QString& key, const QString& value) {
        if (key == QLatin1String("file"))
            batch.applications.append(new Application(folder.join(value)));
    });
}

// A hardware record fills at most 4 + 128 bytes of its file. The files are
// not signed: a size bound keeps a huge file from exhausting memory, and a
// regular file only keeps a device or a pipe ("hterm" naming an endless or
// blocking source) from being read at all.
constexpr qint64 kMaxHtermFileSize = 64 * 1024;

// Null when the file does not open or is refused.
HTerminal* readHardwareConfiguration(const QString& path)
{
    auto* entry = new HTerminal;
    if (!readHardwareRecord(path, entry->data).isEmpty()) {
        delete entry;
        return nullptr;
    }
    return entry;
}

} // namespace

QString readHardwareRecord(const QString& path, unsigned char (&record)[HTerminal::kDataSize])
{
    QByteArray bytes;
    const FileProblem problem = readBoundedFile(path, kMaxHtermFileSize, FileSource::RegularOnly, bytes);
    if (problem != FileProblem::None)
        return fileProblemText(problem, kMaxHtermFileSize);
    return decryptHardwareRecord(bytes, record);
}

Terminal::Terminal(QObject* parent) : QObject(parent) {}

Operation::Operation(QObject* parent) : QObject(parent) {}

Application::Application(const QString& file, QObject* parent) : QObject(parent), file(file) {}

Batch::Batch(QObject* parent) : QObject(parent) {}

Batch::~Batch()
{
    qDeleteAll(applications);
}

HTerminal::HTerminal(QObject* parent) : QObject(parent) {}

Configuration::Configuration(QObject* parent) : QObject(parent), terminal(new Terminal), operation(new Operation) {}

// The configuration owns every entry it read.
Configuration::~Configuration()
{
    qDeleteAll(batchList);
    qDeleteAll(hterminalList);
    delete operation;
    delete terminal;
}

QString defaultConfigurationDirectory()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/configuration");
}

QString Configuration::directory() const
{
    if (!directory_.isEmpty())
        return directory_;
    return QDir::toNativeSeparators(defaultConfigurationDirectory() + QLatin1Char('/'));
}

void Configuration::setDirectory(const QString& directory)
{
    directory_ = QDir::toNativeSeparators(directory);
    if (!directory_.isEmpty() && !directory_.endsWith(QDir::separator()))
        directory_ += QDir::separator();
}

QString Configuration::configurationPath() const
{
    return directory() + QStringLiteral("configuration.xml");
}

bool Configuration::load()
{
    Folder folder(directory());
    qInfo("Configuration::load searching in %s", folder.path().toLatin1().constData());

    // The file is read once: its model, its stored signature and the bytes
    // that signature covers all come from this one buffer, so that a file
    // that changes between readings (a pipe, a share, a renamed file) cannot
    // have one version read and another one verified.
    QByteArray bytes;
    const FileProblem problem =
        readBoundedFile(configurationPath(), kMaxConfigurationSize, FileSource::RegularOnly, bytes);
    if (problem != FileProblem::None) {
        fileError = fileProblemText(problem, kMaxConfigurationSize);
        fileBytes_.clear();
        return false;
    }
    fileBytes_ = bytes;
    signature = storedSignature(bytes);
    // No file that the configuration names is read before its signature holds.
    const bool trusted = checkSignature();

    // The reader sees what a text-mode reading of the file gives: no '\r'.
    QByteArray text = bytes;
    text.replace('\r', QByteArray());
    XmlWalk walk(text, firstCrowdedTag(text));
    while (walk.more()) {
        if (walk.next() != QXmlStreamReader::StartElement)
            continue;
        const QString name = walk.name();
        if (name == QLatin1String("terminal")) {
            readTerminal(walk, *terminal, folder);
        } else if (name == QLatin1String("operation")) {
            readOperation(walk, *operation);
        } else if (name == QLatin1String("batch")) {
            batchList.append(new Batch);
            readBatch(walk, *batchList.last(), folder);
        } else if (name == QLatin1String("hterm")) {
            walk.next();
            const QString hterm = walk.text();
            if (folder.leaves(hterm)) {
                folder.refuse();
            } else {
                htermFiles.append(folder.join(hterm));
                HTerminal* entry = trusted ? readHardwareConfiguration(htermFiles.last()) : nullptr;
                if (entry)
                    hterminalList.append(entry);
            }
        }
    }
    xmlError = walk.errorText();
    return !folder.refused();
}

bool Configuration::checkSignature() const
{
    return verifySignature(signedPart(fileBytes_), signature, signingPublicKey());
}

QString Configuration::terminalImage() const
{
    return terminal->image;
}

int Configuration::terminalDelayReboot() const
{
    return terminal->delayReboot;
}

QString Configuration::operationTitle() const
{
    return operation->title;
}

QString Configuration::operationDescription() const
{
    return operation->description;
}

QList<Batch*> Configuration::batches() const
{
    return batchList;
}

QList<HTerminal*> Configuration::hterminals() const
{
    return hterminalList;
}
