#pragma once
// The configuration of one update, read from the signed configuration.xml of
// the configuration directory and from the hterm files it names.
#include "protocol/Frames.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// A real configuration.xml is a few KiB (the sample is under 1 KiB; a
// hundred batches of ten files would be some 40 KiB). The file is read before
// its signature can be checked, so its size is what bounds the time and
// memory that an unsigned file can cost: anything larger is refused unread
// (and the signing tool does not sign what the program would refuse).
constexpr qint64 kMaxConfigurationSize = 256 * 1024;

class Terminal : public QObject {
    Q_OBJECT
public:
    explicit Terminal(QObject* parent = nullptr);
    QString name;
    QString code;
    QString image;       // full path of the terminal picture
    int delayReboot = 0; // ms; the scenario waits at least 35000 ms
};

class Operation : public QObject {
    Q_OBJECT
public:
    explicit Operation(QObject* parent = nullptr);
    QString title;
    QString description;
};

class Application : public QObject {
    Q_OBJECT
public:
    explicit Application(const QString& file, QObject* parent = nullptr);
    QString file; // full path of the package file
};

class Batch : public QObject {
    Q_OBJECT
public:
    explicit Batch(QObject* parent = nullptr);
    ~Batch() override;
    int id = 0;
    QList<Application*> applications;
};

class HTerminal : public QObject {
    Q_OBJECT
public:
    static constexpr int kDataSize = 128;
    explicit HTerminal(QObject* parent = nullptr);
    unsigned char data[kDataSize] = {};
    // The three bytes a terminal's hardware record must carry to be accepted.
    HardwareId hardwareId() const { return entryHardwareId(data); }
};

// Owns every entry it reads (terminal, operation, hardware configurations,
// batches and their applications) and destroys them with itself.
class Configuration : public QObject {
    Q_OBJECT
public:
    explicit Configuration(QObject* parent = nullptr);
    ~Configuration() override;

    // The folder holding configuration.xml and the files it names, with a
    // trailing separator. Defaults to "configuration" beside the executable.
    QString directory() const;
    void setDirectory(const QString& directory);
    QString configurationPath() const;

    // Reads configuration.xml once, as a regular file of bounded size, and
    // walks those bytes. False when it cannot be read so (`fileError` says
    // why) or when the program refuses what it read (`refusal` says why).
    // The hterm files are read only when the signature holds and nothing
    // but white space and the root's end tag follows it.
    bool load();
    // True when the stored signature verifies with the compiled-in public key
    // against the bytes before the last "<signature>", in the very bytes that
    // load() read and walked. False before a successful load().
    bool checkSignature() const;

    QString terminalImage() const;
    int terminalDelayReboot() const;
    QString operationTitle() const;
    QString operationDescription() const;
    QList<Batch*> batches() const;
    QList<HTerminal*> hterminals() const;

    Terminal* terminal;
    Operation* operation;
    QList<HTerminal*> hterminalList;
    QList<Batch*> batchList;
    QString signature;

    // What a check of the folder needs beyond the model: the path of every
    // hterm file named (those that gave no entry too), in file order, and
    // the reader's error where configuration.xml stops being well-formed
    // ("line L, column C: ..."; empty when it is well-formed).
    QStringList htermFiles;
    QString xmlError;
    // Why configuration.xml could not be read ("missing", "not a regular
    // file", "larger than N bytes"...); empty when it was.
    QString fileError;
    // Why the program refuses a configuration.xml that it read, as the end
    // of a sentence that starts with the file's name ("holds entity
    // declarations...", "names a file outside its folder"); empty when it
    // does not. A refused file is never used, not even in part.
    QString refusal;
    // The names that lead outside the folder, links followed, as written: a
    // signed file uses them so, an unsigned one is refused for them.
    QStringList outsideNames;

private:
    QString directory_;
    QByteArray fileBytes_; // configuration.xml as load() read it
};

// The folder that the programs read by default: "configuration" beside the
// executable, without a trailing separator.
QString defaultConfigurationDirectory();

// Reads one hterm file the way load() does. Empty when the file gives an
// entry, its record then copied to the start of `record`; otherwise why it
// gives none ("missing", "file shorter than its length header"...).
QString readHardwareRecord(const QString& path, unsigned char (&record)[HTerminal::kDataSize]);
