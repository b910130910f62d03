#pragma once
// Builds encrypted package containers the way the authoring tools ship them:
// the plain length, then the content zero-padded to whole AES blocks and
// encrypted with the program's file key. Encrypted with OpenSSL, so that the
// engine's decryption is checked against an independent implementation.
#include <QByteArray>
#include <QString>

QByteArray makePackage(const QByteArray& plain);

// Content of `size` bytes that differs from block to block.
QByteArray patternContent(int size, char seed = 'a');

bool writeFile(const QString& path, const QByteArray& bytes);
