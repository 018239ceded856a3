#include "download/deltawriter.h"

#include "platform/platform.h"

#include <QDebug>
#include <QFile>

namespace {

// Blocks that follow each other in both files are copied together, up to this much at once.
constexpr qint64 MaxRunBytes = 4 * 1024 * 1024;

} // namespace

Result<DeltaWriter::Error> DeltaWriter::write(const QString &oldPath, const QString &partialPath,
                                              const BlockMap &map, DeltaPlan *plan,
                                              const std::atomic<bool> *cancel, const Progress &progress) {
    QFile old;
    QFile partial;
    QString why;
    if (!Platform::openPlainFile(&old, oldPath, QIODevice::ReadOnly | QIODevice::Unbuffered, &why)) {
        qWarning() << "cannot read old copy" << oldPath << why;
        return {Error::CannotRead, QStringLiteral("cannot read the old copy %1: %2").arg(oldPath, why)};
    }
    if (!Platform::openPlainFile(&partial, partialPath, QIODevice::ReadWrite | QIODevice::Unbuffered, &why) ||
        !partial.resize(map.fileSize())) {
        if (why.isEmpty())
            why = partial.errorString();
        qWarning() << "cannot write partial file" << partialPath << why;
        return {Error::CannotWrite,
                QStringLiteral("cannot write the partial file %1: %2").arg(partialPath, why)};
    }

    QVector<qint64> offsets(map.blockCount(), -1);
    const qint64 block = map.blockSize();
    QByteArray run;
    uchar strong[BlockMap::MaxStrongLength];
    qint64 written = 0;
    const QVector<DeltaPlan::Reuse> &reused = plan->reused;
    for (int i = 0; i < reused.size();) {
        if (cancel && cancel->load()) {
            qWarning() << "reused block copy cancelled" << partialPath << written;
            return {Error::Cancelled,
                    QStringLiteral("copying reused blocks into %1 was cancelled").arg(partialPath)};
        }
        // A run of blocks adjacent in the new file and in the old copy.
        int end = i + 1;
        qint64 length = map.blockBytes(reused.at(i).block);
        while (end < reused.size() && reused.at(end).block == reused.at(end - 1).block + 1 &&
               reused.at(end).oldOffset == reused.at(end - 1).oldOffset + block &&
               length + block <= MaxRunBytes) {
            length += map.blockBytes(reused.at(end).block);
            ++end;
        }
        const qint64 from = reused.at(i).oldOffset;
        run.resize(int(length));
        if (!old.seek(from) || old.read(run.data(), length) != length) {
            qWarning() << "cannot read old copy" << oldPath << from << old.errorString();
            return {Error::CannotRead, QStringLiteral("cannot read the old copy %1 at byte %2: %3")
                                           .arg(oldPath)
                                           .arg(from)
                                           .arg(old.errorString())};
        }
        const uchar *bytes = reinterpret_cast<const uchar *>(run.constData());
        for (int k = i; k < end; ++k) {
            const int index = reused.at(k).block;
            const qint64 at = map.blockOffset(index) - map.blockOffset(reused.at(i).block);
            const int count = map.blockBytes(index);
            BlockMap::strongSumOf(bytes + at, count, strong);
            if (memcmp(strong, map.strongSum(index), size_t(map.strongLength())) != 0) {
                qWarning() << "old copy changed since the scan, block fetched instead" << oldPath << index;
                continue;
            }
            if (!partial.seek(map.blockOffset(index)) ||
                partial.write(run.constData() + at, count) != count) {
                qWarning() << "cannot write partial file" << partialPath << map.blockOffset(index)
                           << partial.errorString();
                return {Error::CannotWrite, QStringLiteral("cannot write the partial file %1 at byte %2: %3")
                                                .arg(partialPath)
                                                .arg(map.blockOffset(index))
                                                .arg(partial.errorString())};
            }
            offsets[index] = reused.at(k).oldOffset;
            written += count;
        }
        if (progress)
            progress(written, plan->reusedBytes);
        i = end;
    }
    partial.close();
    if (!Platform::syncFile(partialPath)) {
        qWarning() << "cannot sync partial file" << partialPath;
        return {Error::CannotWrite,
                QStringLiteral("cannot put the partial file %1 on the disk").arg(partialPath)};
    }
    *plan = DeltaPlan::fromOffsets(map, offsets);
    return {};
}
