#pragma once
// What the authoring subcommands do, apart from their arguments: pack a plain
// file into the encrypted container, sign a configuration file, and read and
// write files whole. Every operation returns false with a one-line reason in
// `error` and produces nothing on failure.
#include "rsa.h"

#include <QByteArray>
#include <QString>

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

// Loads a key that can sign: a PEM private key of 2048 bits.
bool loadPrivateKey(const QString& path, RsaPrivateKey& key, QString& error);

bool readWholeFile(const QString& path, QByteArray& bytes, QString& error);

// Writes a temporary file beside `path` and renames it over `path`, so that
// `path` holds either its old content or all of `bytes`.
bool writeWholeFile(const QString& path, const QByteArray& bytes, QString& error);

// Prints "mirdal-cli COMMAND: PROBLEM" as one line on stderr and returns `status`.
int commandError(const char* command, const QString& problem, int status);
