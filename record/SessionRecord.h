#pragma once
// What the site record keeps of one update: who ran it where and when, with
// which configuration, on which port and terminal, what each file went
// through, and how it ended. Built from the engine's InstallationResult and
// what only the caller knows (the port, the transcript). Nothing secret: a
// package is known by its plain size and digest, never by its content.
#include "engine/InstallationResult.h"

#include <QList>
#include <QString>
#include <QStringList>

class Configuration;
struct PortInfo;

struct FileRecord {
    int batch = 0;
    QString name;
    qint64 plainSize = -1; // -1 when the package cannot be read
    QString sha256;        // of the plain package, lower-case hex; empty when it cannot be read
    bool advertised = false;
    bool skipped = false;
    int attempts = 0;
    int resends = 0;
    bool downloaded = false;
    bool installed = false;
};

struct SessionRecord {
    QString id;             // a UUID
    QString started, ended; // UTC, ISO 8601 with milliseconds ("2026-12-07T09:12:03.120Z")
    qint64 durationMs = 0;
    QString host, osUser, programVersion, keyFingerprint;
    QString configTitle, configSha256;
    QString portDevice, portLabel;
    int usbVendor = -1, usbProduct = -1; // -1 when unknown
    QString usbSerial;
    QString hardwareId;     // the three identifying bytes of the terminal's record, hex; empty when never read
    QString hardwareRecord; // the whole record, hex
    int acceptedEntry = -1;
    QStringList applications;
    bool success = false;
    QString title, text, stage, cause;
    QString transcript; // the transcript's path; empty when none was written
    QList<FileRecord> files;
    // As the history's list reads them, without the files themselves.
    int fileCount = 0, installedCount = 0;

    // How the history names the terminal: its USB serial number, else its hardware identification.
    QString terminal() const { return usbSerial.isEmpty() ? hardwareId : usbSerial; }
    // One terminal among others: its USB serial number, else (a model's
    // terminals share their hardware identification) that identification on its port.
    QString unit() const
    {
        if (!usbSerial.isEmpty())
            return usbSerial;
        return (hardwareId.isEmpty() ? QStringLiteral("?") : hardwareId) + QStringLiteral(" @ ") + portDevice;
    }
};

// The configuration's part of every record of a run: its title, the digest of
// configuration.xml, and each package's plain size and digest (read once, not
// per terminal: decrypting takes time).
struct ConfigurationFacts {
    QString title, sha256;
    struct Package {
        QString file; // full path, as the configuration names it
        qint64 plainSize = -1;
        QString sha256;
    };
    QList<Package> packages;
};
ConfigurationFacts configurationFacts(const Configuration& configuration);

// The record of `result`; `port` as the port list showed it (its device at least).
SessionRecord makeRecord(const InstallationResult& result, const ConfigurationFacts& configuration,
                         const PortInfo& port, const QString& transcript = {});

// The workstation's part: host name, OS user, version, fingerprint of the trusted key.
QString workstationHost();
QString workstationUser();
