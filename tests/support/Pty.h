#pragma once
// A pseudo-terminal standing in for the terminal's serial line: the port side
// is opened by SerialPort through its path, the other side ("master") is
// driven by the test. The test keeps its own descriptor on the port side so
// that the line survives SerialPort closing and reopening it, and uses it to
// look at the line settings the port applied.
#include "transport/PortProvider.h"

#include <QByteArray>
#include <QString>
#include <termios.h>

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isValid() const { return master_ >= 0 && slave_ >= 0; }
    QString path() const { return path_; }

    // The line listed as a port of the maker, with the given manufacturer text.
    PortInfo asPort(const QString& manufacturer = QStringLiteral("Velmaris")) const;
    QString label() const { return portLabel(asPort()); }

    // Writes from the terminal's side.
    void send(const QByteArray& bytes);
    // Writes from the terminal's side and returns once every byte waits in
    // the port side's input queue (or after 2 s); only while nobody reads there.
    void deliver(const QByteArray& bytes);
    // Reads from the terminal's side until `count` bytes arrived or the time-out.
    QByteArray receive(int count, int timeoutMs = 2000);
    // The terminal goes away: the port side sees a hang-up.
    void closeMaster();

    termios lineSettings() const;
    void setLineSettings(const termios& settings);

private:
    int master_ = -1;
    int slave_ = -1;
    QString path_;
};
