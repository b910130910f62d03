#include "config/Configuration.h"

#include "config/BoundedFile.h"
#include "config/Signature.h"
#include "crypto/Aes.h"
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
// reader would keep a stack entry per open element.
constexpr int kMaxDepth = 32;

// A configuration's elements carry at most one attribute (the id of a
// batch). The XML reader checks each attribute of an element against all the
// others, a cost that grows faster than the square of their count (16,000
// attributes on one element take a second, 32,000 seven); the file is
// counted before the reader sees it, which is only given the bytes before
// the first start tag with more than this many.
constexpr int kMaxAttributesPerElement = 64;

// The reader under the walk's own limits. Every token goes through next(),
// which stops the walk at what a configuration never holds and says why in
// refusal(): the file is then refused whole, never used in part.
// - entity declarations: a few hundred kilobytes of references could expand
//   to gigabytes of text (a document type declaration without any is read);
// - elements nested deeper than kMaxDepth;
// - a start tag with more than kMaxAttributesPerElement attributes.
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
            stop(QStringLiteral("an element with more than %1 attributes").arg(kMaxAttributesPerElement));
        else if (type == QXmlStreamReader::DTD && !reader_.entityDeclarations().isEmpty())
            stop(QStringLiteral("entity declarations, whose expansion is not accepted"));
        else if (type == QXmlStreamReader::StartElement && ++depth_ > kMaxDepth)
            stop(QStringLiteral("elements nested deeper than %1 levels").arg(kMaxDepth));
        else if (type == QXmlStreamReader::EndElement)
            --depth_;
        if (type == QXmlStreamReader::StartElement && root_.isEmpty())
            root_ = name();
        return reader_.tokenType();
    }

    QString name() const { return reader_.name().toString(); }
    QString text() const { return reader_.text().toString(); }
    QXmlStreamAttributes attributes() const { return reader_.attributes(); }
    // The name of the first element, the root in a well-formed file.
    const QString& root() const { return root_; }
    // What the walk stopped at that refuses the file; empty when none.
    const QString& refusal() const { return refusal_; }

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
    void stop(const QString& why)
    {
        refusal_ = QStringLiteral("holds ") + why;
        reader_.raiseError(why);
    }

    QXmlStreamReader reader_;
    bool cut_;
    int depth_ = 0;
    QString root_;
    QString refusal_;
};

// Where the document type declaration that starts at `from` ("<!DOCTYPE")
// ends: past its '>', the internal subset in brackets, quoted literals,
// comments and processing instructions passed over.
int pastDoctype(const QByteArray& document, int from)
{
    const char* const bytes = document.constData();
    const int size = document.size();
    bool subset = false;
    for (int i = from + 2; i < size; ++i) {
        const char c = bytes[i];
        const char* const end = std::strncmp(bytes + i, "<!--", 4) == 0 ? "-->"
                                : std::strncmp(bytes + i, "<?", 2) == 0 ? "?>"
                                : c == '"'                              ? "\""
                                : c == '\''                             ? "'"
                                                                        : nullptr;
        if (end) {
            const int at = document.indexOf(end, i + 1);
            if (at < 0)
                return size;
            i = at + static_cast<int>(std::strlen(end)) - 1;
        } else if (c == '[' || c == ']') {
            subset = c == '[';
        } else if (c == '>' && !subset) {
            return i + 1;
        }
    }
    return size;
}

// The offset of the first start tag of `document` with more than
// kMaxAttributesPerElement attributes, or -1: one pass that counts the
// '=' of each start tag outside its quoted values, and passes over comments,
// character data, processing instructions, end tags and the document type
// declaration.
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
        } else if (std::strncmp(bytes + i, "<!DOCTYPE", 9) == 0) {
            i = pastDoctype(document, i);
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

// Hardware-configuration records come in the encrypted container, and the
// record is its first L decrypted bytes, or all of them when L is not
// smaller than the body. Our rule for malformed files: a file shorter than
// its 4-byte header, or a body that is empty or not a whole number of 16-byte
// blocks, adds no entry; nor does a record longer than the 128 bytes of an
// entry, or too short to hold the hardware identification (its zero filling
// would otherwise stand for one). Only the blocks that hold the record are
// decrypted, so nothing is ever read past the file's data or written past
// the record. Returns why the file is refused, empty if it is not.
QString decryptHardwareRecord(const QByteArray& file, unsigned char (&record)[HTerminal::kDataSize])
{
    constexpr uint32_t kIdentificationEnd = kEntryHardwareIdOffset + kHardwareIdSize;
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.constData());
    ContainerView view;
    const ContainerError framing = parseContainer(bytes, static_cast<size_t>(file.size()), view);
    if (framing == ContainerError::LengthBeyondBody) {
        view.body = bytes + kContainerHeaderSize;
        view.bodySize = static_cast<size_t>(file.size()) - kContainerHeaderSize;
        view.plainLength = static_cast<uint32_t>(view.bodySize);
    } else if (framing != ContainerError::None) {
        return QString::fromLatin1(containerErrorText(framing));
    }
    if (view.plainLength > HTerminal::kDataSize)
        return QStringLiteral("record of %1 bytes, longer than %2").arg(view.plainLength).arg(HTerminal::kDataSize);
    if (view.plainLength < kIdentificationEnd)
        return QStringLiteral("record of %1 bytes, too short to hold the hardware identification (bytes %2 to %3)")
            .arg(view.plainLength)
            .arg(kEntryHardwareIdOffset)
            .arg(kIdentificationEnd - 1);
    uint8_t plain[HTerminal::kDataSize];
    const uint32_t blocks = (view.plainLength + kAesBlockSize - 1) / kAesBlockSize;
    aesDecrypt(view.body, static_cast<uint32_t>(blocks * kAesBlockSize), plain);
    std::copy_n(plain, view.plainLength, record);
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
// Names are used as written, but those that lead out of it are noted: by
// their text ("../../etc/passwd", "a/../../b") or through a link inside the
// folder ("root/etc/shadow" where "root" links to "/"). A signed
// configuration may name such files (a check warns about them); an unsigned
// one is refused before any is opened, since a link placed in the folder
// must not lend its files to whoever writes a configuration.xml.
class Folder {
public:
    explicit Folder(const QString& path) : path_(path), root_(systemPath(QDir::fromNativeSeparators(path))) {}

    const QString& path() const { return path_; }
    const QStringList& outside() const { return outside_; }

    // The folder's path followed by the name, as the rest of the program uses it.
    QString join(const QString& name)
    {
        const QString target = systemPath(QDir::fromNativeSeparators(path_ + name));
        const QString prefix = root_.endsWith(QLatin1Char('/')) ? root_ : root_ + QLatin1Char('/');
        if (target != root_ && !target.startsWith(prefix) && !outside_.contains(name))
            outside_.append(name);
        return path_ + name;
    }

private:
    QString path_;
    QString root_;
    QStringList outside_;
};

// What follows the end of the signature element must be nothing that the
// reading could obey, since the signature does not cover it: only white
// space and the root's end tag (a file cut right after the signature
// element has none). Gives the name of that end tag ("" for none) in `root`;
// false when anything else follows, or no signature element ends the file.
bool onlyRootEndFollows(const QByteArray& bytes, QString& root)
{
    const QByteArray endTag = QByteArrayLiteral("</signature");
    const int end = bytes.lastIndexOf(endTag);
    if (end < 0)
        return false;
    const char* p = bytes.constData() + end + endTag.size();
    const char* const last = bytes.constData() + bytes.size();
    const auto space = [&] {
        while (p < last && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
            ++p;
    };
    space();
    if (p == last || *p++ != '>')
        return false;
    space();
    root.clear();
    if (p == last)
        return true;
    if (last - p < 2 || p[0] != '<' || p[1] != '/')
        return false;
    const char* const name = p += 2;
    while (p < last && *p != '>' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != '<')
        ++p;
    root = QString::fromUtf8(name, static_cast<int>(p - name));
    space();
    if (root.isEmpty() || p == last || *p++ != '>')
        return false;
    space();
    return p == last;
}

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
    QString rootEnd;
    const bool closedBySignature = onlyRootEndFollows(bytes, rootEnd);
    // No file that the configuration names is read before its signature
    // holds over everything that the reading obeys.
    const bool trusted = checkSignature() && closedBySignature;

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
            htermFiles.append(folder.join(walk.text()));
            HTerminal* entry = trusted ? readHardwareConfiguration(htermFiles.last()) : nullptr;
            if (entry)
                hterminalList.append(entry);
        }
    }
    xmlError = walk.errorText();
    outsideNames = folder.outside();
    if (!walk.refusal().isEmpty())
        refusal = walk.refusal();
    else if (!closedBySignature && !signature.isEmpty())
        refusal = QStringLiteral("goes on after its signature element with more than white space and the root's "
                                 "end tag");
    else if (!rootEnd.isEmpty() && rootEnd != walk.root())
        refusal = QStringLiteral("ends with </%1> after its signature element, not its root's end tag").arg(rootEnd);
    else if (!outsideNames.isEmpty() && !trusted)
        refusal = QStringLiteral("names a file outside its folder");
    return refusal.isEmpty();
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
