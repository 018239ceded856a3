#include "core/diskroom.h"

#include <QFileInfo>
#include <QStorageInfo>

namespace {

// A block size below this is taken as unknown; most file systems use 4 KiB.
constexpr qint64 SmallestBlock = 512;
constexpr qint64 DefaultBlock = 4096;

QStorageInfo storageOf(const QString &path) {
    QFileInfo at(path);
    // Up to the first folder that exists: a target and its folders may be made only later.
    for (int guard = 0; guard < 256 && !at.exists(); ++guard) {
        const QString parent = at.absolutePath();
        if (parent == at.absoluteFilePath())
            break;
        at = QFileInfo(parent);
    }
    return QStorageInfo(at.absoluteFilePath());
}

} // namespace

namespace DiskRoom {

qint64 available(const QString &path) {
    const QStorageInfo storage = storageOf(path);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

qint64 shortBy(const QString &path, qint64 needed) {
    const qint64 free = available(path);
    return free >= 0 && needed > free ? needed - free : 0;
}

qint64 blockSize(const QString &path) {
    const QStorageInfo storage = storageOf(path);
    return storage.isValid() && storage.blockSize() >= SmallestBlock ? storage.blockSize() : DefaultBlock;
}

} // namespace DiskRoom
