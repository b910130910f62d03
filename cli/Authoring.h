#pragma once
// What the authoring subcommands do, apart from their arguments: pack a plain
// file into the encrypted container, sign a configuration file, and read and
// write files whole. Every operation returns false with a one-line reason in
// `error` and produces nothing on failure.
#include "config/BoundedFile.h"
#include "crypto/Rsa.h"

#include <QByteArray>
#include <QString>

// The largest plain file that pack takes. Packages cross a 9600-baud line at
// some 730 bytes a second: 16 MiB would take more than six hours, far beyond
// any real package (the largest are a few hundred KiB). The bound keeps an
// endless input (a device, a pipe) from being read until memory runs out.
constexpr qint64 kMaxPackageSize = 16 * 1024 * 1024;

// The container of `plain`: its length, then its content filled with zero
// bytes up to whole 16-byte blocks and encrypted with AES-128-ECB under
// FILE_KEY. An empty file gets one block of zeros, because a container needs
// a non-empty body to be well-formed.
bool packContainer(const QByteArray& plain, QByteArray& container, QString& error);

// `original` with a fresh signature: the last signature element is replaced,
// or, when there is none, one is added as the last child of the root. The
// result must be well-formed XML without a document type declaration, and
// its signature is checked with the public half of `key` before it is returned.
bool signConfiguration(const QByteArray& original, const RsaPrivateKey& key, QByteArray& result, QString& error);

// Loads a key that can sign: a PEM private key of 2048 bits, from a regular
// file of at most 64 KiB; an encrypted one with its `passphrase`.
bool loadPrivateKey(const QString& path, RsaPrivateKey& key, QString& error, const QByteArray& passphrase = {});

// The passphrase named by `source`: "env:VAR" (the variable's value),
// "file:PATH" (the file's first line) or "stdin" (the first line of the
// standard input). Never the passphrase itself: a command line is seen by
// every user of the machine.
bool readPassphrase(const QString& source, QByteArray& passphrase, QString& error);

// The fingerprint of a public key: the SHA-256 of its DER form
// (SubjectPublicKeyInfo, as "openssl pkey -pubin -outform DER" writes it),
// as colon-separated hex pairs. Empty if the key cannot be encoded.
QString keyFingerprint(const RsaPublicKey& key);

// Said by --version and check when this build trusts the repository's
// development key.
const char* const kDevelopmentKeyNotice =
    "This build trusts the public development key: anyone holding Mirdal's source can sign a configuration "
    "it accepts. A site installs a build made with its own key.";

// Reads at most `maxBytes` of `path`; more is refused, not read.
bool readWholeFile(const QString& path, qint64 maxBytes, FileSource source, QByteArray& bytes, QString& error);

// Writes a temporary file beside `path`, checks every write, flushes it to
// the disk and closes it, and only then renames it over `path`: `path` holds
// either its old content or all of `bytes`, and no temporary file is left.
// A link is written through, to its regular target; a device, a FIFO or a
// folder is refused.
bool writeWholeFile(const QString& path, const QByteArray& bytes, QString& error);

// Prints "mirdal-cli COMMAND: PROBLEM" as one line on stderr and returns `status`.
int commandError(const char* command, const QString& problem, int status);
