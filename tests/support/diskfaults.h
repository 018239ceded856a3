#pragma once

// A misbehaving disk for tests: a small tmpfs that fills up, and a file that cannot be replaced (a
// bind mount over it makes a rename onto it fail with EBUSY, as a file held open does on Windows).
// Mounting needs root and a private mount namespace, which CTest gives a test added with
// MOUNT_NAMESPACE (tests/support/mount-namespace.sh); elsewhere unavailable() says why and the test
// skips. Mounts are never made in the machine's own namespace.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace DiskFaults {

// Empty when the mounts below can be made; otherwise why not (for QSKIP).
QString unavailable();

// Mounts a tmpfs of `bytes` on the folder `dir` (made if missing). False with `why` on failure.
bool mountSmallDisk(const QString &dir, qint64 bytes, QString *why = nullptr);

// Binds `file` over itself: it stays readable and writable, but renaming or removing it fails
// with EBUSY until unmount(file).
bool holdFile(const QString &file, QString *why = nullptr);

// Undoes a mount of either kind (lazily, so open files do not keep it).
bool unmount(const QString &path);

// Another program takes every byte left on the disk holding `file`, which it writes; false when
// the file cannot be made.
inline bool fillUp(const QString &file) {
    QFile filler(file);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray chunk(16 * 1024, 'f');
    while (filler.write(chunk) == chunk.size() && filler.flush()) {
    }
    return true;
}

} // namespace DiskFaults
