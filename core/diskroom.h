#pragma once

#include <QString>

// The free space of a disk, as the launcher weighs it before writing a lot there.
namespace DiskRoom {

// Bytes this user may still write on the disk holding `path` (a file or folder; when it does not
// exist yet, the nearest folder above it that does); -1 when that cannot be told.
qint64 available(const QString &path);

// Bytes that `needed` lacks there: 0 when they fit, and also when the free space cannot be told (a
// write then fails on its own and says so).
qint64 shortBy(const QString &path, qint64 needed);

// The block size of the file system holding `path`; 4096 when it cannot be told.
qint64 blockSize(const QString &path);

// Bytes a file of `size` takes in whole blocks of `block` bytes.
inline qint64 onDisk(qint64 size, qint64 block) {
    return size <= 0 ? 0 : (size + block - 1) / block * block;
}

} // namespace DiskRoom
