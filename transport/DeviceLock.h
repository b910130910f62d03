#pragma once
// One terminal, one driver. An update closes its port between batches, for
// the terminal's restart, and the serial library's own lock goes with the
// port: another updater could then take the line and interleave its frames
// with ours. So an update holds a lock of its own on the device, from its
// first frame to its release frames, restart waits included.
//
// The lock is an advisory lock (flock) on a file that Mirdal owns in the
// lock folder (/var/lock, or MIRDAL_LOCK_DIR), named after the device's
// number, so that every path of one device (a by-id link, a bind mount)
// meets the same lock. The system drops it with its holder, so a crashed
// run leaves nothing that blocks the next one; a live holder is refused at
// once, with its process id and name.
//
// On Windows a COM port can be held by one handle only, which already keeps
// a second updater out: nothing is locked there.
#include <QString>
#include <memory>

class DeviceLock {
public:
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Takes the lock of `device`. Null with `problem` empty when there is
    // nothing to lock (no such character device: its opening fails anyway);
    // null with `problem` saying why when the device is held by another
    // update or the lock cannot be taken ("/dev/ttyUSB0 is in use by another
    // update (process 812, mirdal-cli)").
    static std::unique_ptr<DeviceLock> take(const QString& device, QString& problem);

    // Whether `device` is the device this lock holds, by whatever path.
    bool holds(const QString& device) const;

private:
    DeviceLock(QString path, int fd, unsigned long long deviceNumber);
    QString path_;
    int fd_;
    unsigned long long deviceNumber_;
};

// Checks the lock file that the serial library and other serial programs
// keep for `device` ("LCK..ttyUSB0" in the lock folder) before the device is
// opened. The library counts a lock of another program as stale and takes
// the device from it, and an empty file left by a crash blocks it for good:
// here a live holder refuses the device (the returned sentence says who),
// and a file whose holder is gone, or an empty one, is removed.
QString foreignLockHolder(const QString& device);
