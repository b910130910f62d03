#pragma once
// One installation as a value: its outcome with the French pair the user
// reads, where and why it failed, what each batch and file went through, and
// what the terminal said of itself. The window, mirdal-cli and the site
// record all take the same value.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

struct FileResult {
    QString file;            // as the configuration names it
    QString name;            // as the log and the messages show it
    bool advertised = false; // the terminal accepted its advertisement
    bool skipped = false;    // too long a name and length to advertise: not sent
    int attempts = 0;        // downloads begun
    int resends = 0;         // blocks the terminal asked for again, over every attempt
    bool downloaded = false; // the terminal confirmed the whole file
    bool installed = false;  // downloaded in a batch whose activation succeeded
};

struct BatchResult {
    int id = 0;
    QList<FileResult> files;
    bool activated = false;
};

struct InstallationResult {
    bool success = false;
    QString title; // the French pair of the result box
    QString text;
    QString stage;              // the step that failed ("download of APP.BIN"); empty after a success
    QString cause;              // why, in a technician's words
    QList<BatchResult> batches; // those begun, in order
    QByteArray hardwareRecord;  // the terminal's 126-byte record as last read; empty when never read
    int acceptedEntry = -1;     // position of the accepted hardware entry it matched; -1 when none
    QStringList applications;   // the terminal's application list as first read
    QDateTime started;          // UTC
    QDateTime ended;

    // The files the terminal installed before the run ended.
    QStringList installedFiles() const
    {
        QStringList files;
        for (const BatchResult& batch : batches)
            for (const FileResult& file : batch.files)
                if (file.installed)
                    files.append(file.name);
        return files;
    }
};

Q_DECLARE_METATYPE(InstallationResult)
