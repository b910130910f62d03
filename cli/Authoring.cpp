#include "cli/Authoring.h"

#include "config/Signature.h"
#include "crypto/Aes.h"
#include "crypto/Container.h"
#include "keytools/OpenSslPtr.h"
#include "keytools/PemKey.h"

#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kStartTag = QByteArrayLiteral("<signature>");
const QByteArray kEndTag = QByteArrayLiteral("</signature>");
const QByteArray kEndTagOpening = QByteArrayLiteral("</signature"); // what the reader looks for

void appendBigEndian32(QByteArray& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

bool encryptBlocks(const QByteArray& blocks, QByteArray& out)
{
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || !EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, FILE_KEY, nullptr) ||
        !EVP_CIPHER_CTX_set_padding(ctx.get(), 0))
        return false;
    const int start = out.size();
    out.resize(start + blocks.size());
    auto* dest = reinterpret_cast<unsigned char*>(out.data() + start);
    int written = 0;
    int last = 0;
    return EVP_EncryptUpdate(ctx.get(), dest, &written, reinterpret_cast<const unsigned char*>(blocks.constData()),
                             blocks.size()) &&
           EVP_EncryptFinal_ex(ctx.get(), dest + written, &last) && written + last == blocks.size();
}

// The name of the root element of a well-formed document. A document type
// declaration is refused, since the program stops reading at it.
bool findRoot(const QByteArray& document, QString& root, QString& error)
{
    QXmlStreamReader reader(document);
    while (!reader.atEnd() && !reader.hasError()) {
        const auto type = reader.readNext();
        if (type == QXmlStreamReader::DTD) {
            error = QStringLiteral("document type declarations are not accepted");
            return false;
        }
        if (type == QXmlStreamReader::StartElement && root.isEmpty())
            root = reader.name().toString();
    }
    if (reader.hasError()) {
        error = QStringLiteral("not well-formed XML (line %1: %2)").arg(reader.lineNumber()).arg(reader.errorString());
        return false;
    }
    return true;
}

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where a new signature element goes: just before the root's end tag, which
// must be the last thing in the file apart from white space. -1 otherwise.
int rootEndTag(const QByteArray& document, const QString& root)
{
    const QByteArray opening = "</" + root.toUtf8();
    const int position = document.lastIndexOf(opening);
    if (position < 0)
        return -1;
    int i = position + opening.size();
    while (i < document.size() && isXmlSpace(document.at(i)))
        ++i;
    if (i >= document.size() || document.at(i) != '>')
        return -1;
    for (++i; i < document.size(); ++i) {
        if (!isXmlSpace(document.at(i)))
            return -1;
    }
    return position;
}

} // namespace

bool packContainer(const QByteArray& plain, QByteArray& container, QString& error)
{
    if (plain.size() > INT_MAX - int(kContainerHeaderSize + kAesBlockSize)) {
        error = QStringLiteral("file too large");
        return false;
    }
    QByteArray blocks = plain;
    const int blockCount = std::max<int>(1, (plain.size() + int(kAesBlockSize) - 1) / int(kAesBlockSize));
    blocks.append(QByteArray(blockCount * int(kAesBlockSize) - plain.size(), '\0'));

    QByteArray out;
    appendBigEndian32(out, static_cast<uint32_t>(plain.size()));
    if (!encryptBlocks(blocks, out)) {
        error = QStringLiteral("encryption failed");
        return false;
    }
    container = out;
    return true;
}

bool signConfiguration(const QByteArray& original, const RsaPrivateKey& key, QByteArray& result, QString& error)
{
    QString root;
    if (!findRoot(original, root, error))
        return false;
    if (root.isEmpty()) {
        error = QStringLiteral("no root element");
        return false;
    }

    // The signed part runs up to the new "<signature>", the rest of the file follows the element.
    QByteArray before;
    QByteArray after;
    const int start = original.lastIndexOf(kStartTag);
    if (start >= 0) {
        const int end = original.lastIndexOf(kEndTagOpening);
        if (end < start) {
            error = QStringLiteral("the last signature element has no end tag");
            return false;
        }
        before = original.left(start);
        after = original.mid(end);
    } else {
        const int end = rootEndTag(original, root);
        if (end < 0) {
            error = QStringLiteral("the root element must end the file with its own end tag");
            return false;
        }
        // On a line of its own when the root's end tag has one, with the file's line end.
        const bool ownLine = end > 0 && original.at(end - 1) == '\n';
        const QByteArray lineEnd = end > 1 && original.at(end - 2) == '\r' ? "\r\n" : "\n";
        before = original.left(end) + (ownLine ? "  " : "");
        after = kEndTag + (ownLine ? lineEnd : QByteArray()) + original.mid(end);
    }

    const QString text = signatureText(before, key);
    QByteArray signedFile = before + kStartTag + text.toLatin1() + after;

    // The file must read back as the program will read it.
    QString ignored;
    if (!findRoot(signedFile, ignored, error) || signedPart(signedFile) != before ||
        storedSignature(signedFile) != text || !verifySignature(before, text, publicHalf(key))) {
        error = QStringLiteral("the signed file does not verify (%1)")
                    .arg(error.isEmpty() ? QStringLiteral("check the key") : error);
        return false;
    }
    result = signedFile;
    return true;
}

bool loadPrivateKey(const QString& path, RsaPrivateKey& key, QString& error, const QByteArray& passphrase)
{
    // A PEM key of 2048 bits is under 4 KiB, encrypted or not; a device or an
    // endless file named by mistake is refused before it fills the memory.
    constexpr qint64 kMaxKeySize = 64 * 1024;
    QByteArray text;
    if (!readWholeFile(path, kMaxKeySize, FileSource::RegularOnly, text, error))
        return false;
    PemKey pem;
    std::string reason;
    std::string secret(passphrase.constData(), static_cast<size_t>(passphrase.size()));
    std::string pemText(text.constData(), static_cast<size_t>(text.size()));
    OPENSSL_cleanse(text.data(), static_cast<size_t>(text.size()));
    const bool read = parsePemKey(pemText, pem, reason, secret);
    OPENSSL_cleanse(secret.data(), secret.size());
    OPENSSL_cleanse(pemText.data(), pemText.size());
    if (!read) {
        error = QStringLiteral("%1: %2").arg(path, QString::fromStdString(reason));
        return false;
    }
    if (!pem.hasPrivate) {
        OPENSSL_cleanse(&pem, sizeof pem);
        error = QStringLiteral("%1: not a private key").arg(path);
        return false;
    }
    key = pem.key;
    OPENSSL_cleanse(&pem, sizeof pem);
    return true;
}

namespace {

// A passphrase is one line; more than this is not one.
constexpr qint64 kMaxPassphraseSize = 1024;

// Up to the first line end.
void firstLine(QByteArray& text)
{
    const int end = text.indexOf('\n');
    const int cut = end < 0 ? text.size() : (end > 0 && text[end - 1] == '\r' ? end - 1 : end);
    OPENSSL_cleanse(text.data() + cut, static_cast<size_t>(text.size() - cut));
    text.truncate(cut);
}

} // namespace

bool readPassphrase(const QString& source, QByteArray& passphrase, QString& error)
{
    QByteArray text;
    if (source.startsWith(QLatin1String("env:")) && source.size() > 4) {
        const QByteArray name = source.mid(4).toLocal8Bit();
        if (!qEnvironmentVariableIsSet(name.constData())) {
            error = QStringLiteral("--pass: the variable %1 is not set").arg(source.mid(4));
            return false;
        }
        text = qgetenv(name.constData());
    } else if (source.startsWith(QLatin1String("file:")) && source.size() > 5) {
        QString reason;
        if (readBoundedFile(source.mid(5), kMaxPassphraseSize, FileSource::AnyStream, text, &reason) !=
            FileProblem::None) {
            error = QStringLiteral("--pass: cannot read %1%2")
                        .arg(source.mid(5), reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
            return false;
        }
        firstLine(text);
    } else if (source == QLatin1String("stdin")) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            error = QStringLiteral("--pass: cannot read the standard input");
            return false;
        }
        text = in.readLine(kMaxPassphraseSize);
        firstLine(text);
    } else {
        error = QStringLiteral("--pass takes env:VAR, file:PATH or stdin, not the passphrase itself");
        return false;
    }
    if (text.isEmpty()) {
        error = QStringLiteral("--pass: the passphrase is empty");
        return false;
    }
    passphrase = text;
    OPENSSL_cleanse(text.data(), static_cast<size_t>(text.size()));
    return true;
}

QString keyFingerprint(const RsaPublicKey& key)
{
    return QString::fromStdString(publicKeyFingerprint(key));
}

bool readWholeFile(const QString& path, qint64 maxBytes, FileSource source, QByteArray& bytes, QString& error)
{
    QString systemError;
    const FileProblem problem = readBoundedFile(path, maxBytes, source, bytes, &systemError);
    if (problem == FileProblem::None)
        return true;
    error = QStringLiteral("cannot read %1: %2")
                .arg(path, systemError.isEmpty() ? fileProblemText(problem, maxBytes) : systemError);
    return false;
}

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

} // namespace

// Where writeWholeFile() puts its file: `path` itself when it is a regular
// file or a new name; the regular file that a link leads to, so that the link
// stays what it is. Anything else is not ours to replace: a device node
// (replacing /dev/null would break the system), a FIFO, a folder. Empty, with
// `error` saying why, then.
QString writableTarget(const QString& path, QString& error)
{
    const QFileInfo entry(path);
    const QString target = entry.isSymLink() ? entry.canonicalFilePath() : path;
    if (target.isEmpty()) {
        error = QStringLiteral("cannot write %1: a link to nothing").arg(path);
        return {};
    }
    struct stat status {};
    if (::stat(QFile::encodeName(target).constData(), &status) == 0 && !S_ISREG(status.st_mode)) {
        error = QStringLiteral("cannot write %1: not a regular file (a device, a FIFO or a folder is never replaced)")
                    .arg(path);
        return {};
    }
    return target;
}

// QSaveFile is not used: in Qt 5 its commit() flushes its buffer while
// closing and renames over the original even when that flush failed, so a
// full disk turned a whole file into an empty one and still reported success.
bool writeWholeFile(const QString& name, const QByteArray& bytes, QString& error)
{
    const QString path = writableTarget(name, error);
    if (path.isEmpty())
        return false;
    const QFileInfo target(path);
    QByteArray temporary =
        QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = QStringLiteral("cannot write %1: %2").arg(path, systemText(errno));
        return false;
    }
    // The new file keeps the permissions of the one it replaces, or gets
    // those of any new file.
    struct stat original {};
    mode_t mode = 0;
    if (::stat(QFile::encodeName(path).constData(), &original) == 0) {
        mode = original.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    const bool whole = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    const int closeError = errno;
    if (!whole || !closed || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const int cause = !whole ? writeError : !closed ? closeError : errno;
        ::unlink(temporary.constData());
        error = QStringLiteral("cannot write %1: %2").arg(path, systemText(cause));
        return false;
    }
    // The rename itself reaches the disk with its folder.
    const int folder = ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

int commandError(const char* command, const QString& problem, int status)
{
    QString line = problem;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::fprintf(stderr, "mirdal-cli %s: %s\n", command, line.toLocal8Bit().constData());
    return status;
}
