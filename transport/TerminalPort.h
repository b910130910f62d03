#pragma once
// The port through which the engine reaches the terminal: opened by the label
// that the port list shows or directly by its device path, closed, and the
// byte link in between. The serial port is one; a decorator (the transcript)
// or a test's scripted terminal may stand in for it.
#include "protocol/Link.h"

#include <QString>

// The port the user chose: a label of the port list, or a device path
// (/dev/ttyUSB0, COM4) opened as it is.
struct PortChoice {
    QString text;
    bool isDevice = false;

    static PortChoice label(const QString& label) { return {label, false}; }
    static PortChoice device(const QString& device) { return {device, true}; }
    // A text as the user types it: a device path (/dev/..., COM4) or else a label.
    static bool isDevicePath(const QString& text);
    static PortChoice parse(const QString& text) { return isDevicePath(text) ? device(text) : label(text); }
};

// Why the last opening failed.
struct OpenFailure {
    enum Kind {
        None,
        Unlisted,         // the label names no listed port
        NoDevice,         // the device does not exist
        PermissionDenied, // this user may not open the device
        Busy,             // another program holds the device
        LineSettings,     // the device opened but refused a line setting
        Other,
    };
    Kind kind = None;
    QString port;   // the device, or the label that named no port
    QString detail; // the system's own words, for Other

    // A few words for the log: "permission denied".
    QString reason() const;
    // One sentence for the technician: "permission denied on /dev/ttyUSB0;
    // join the dialout group or install the udev rule (see /usr/share/doc/mirdal/README.md, Install)".
    QString describe() const;
};

class TerminalPort : public Link {
public:
    // Opens exactly the chosen port, closing another one first; a port
    // already open is left as it is. False when it cannot be opened with the
    // line settings: lastOpenFailure() then says why.
    virtual bool open(const PortChoice& port) = 0;
    // True when no port is open any more.
    virtual bool close() = 0;
    virtual OpenFailure lastOpenFailure() const = 0;

    bool open(const QString& label) { return open(PortChoice::label(label)); }
};
