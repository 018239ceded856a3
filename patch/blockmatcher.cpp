#include "patch/blockmatcher.h"

#include "platform/platform.h"

#include <QDebug>
#include <QFile>

#include <algorithm>
#include <cstring>

namespace {

// The old file is read this much at a time, plus one block carried over.
constexpr qint64 ReadChunk = 8 * 1024 * 1024;

} // namespace

DeltaPlan DeltaPlan::fromOffsets(const BlockMap &map, const QVector<qint64> &oldOffsets) {
    DeltaPlan plan;
    for (int i = 0; i < map.blockCount(); ++i) {
        const qint64 offset = map.blockOffset(i);
        const int bytes = map.blockBytes(i);
        if (oldOffsets.at(i) >= 0) {
            plan.reused.append({i, oldOffsets.at(i)});
            plan.reusedBytes += bytes;
            continue;
        }
        plan.requestBytes += bytes;
        if (!plan.requests.isEmpty()) {
            Range &last = plan.requests.last();
            const bool adjacent = last.offset + last.length == offset;
            const bool samePiece = last.offset / MaxRequestBytes == offset / MaxRequestBytes;
            if (adjacent && samePiece) {
                last.length += bytes;
                continue;
            }
        }
        plan.requests.append({offset, bytes});
    }
    return plan;
}

BlockMatcher::BlockMatcher(const BlockMap &map)
    : map(map) {
    const int count = map.blockCount();
    sortedIndex.fill(-1, count);
    sorted.reserve(count);
    for (int i = 0; i < count; ++i) {
        if (map.blockBytes(i) == map.blockSize())
            sorted.append({map.weakSum(i), i});
    }
    const int strongLength = map.strongLength();
    std::sort(sorted.begin(), sorted.end(), [&](const Entry &a, const Entry &b) {
        if (a.weak != b.weak)
            return a.weak < b.weak;
        const int c = memcmp(map.strongSum(a.block), map.strongSum(b.block), size_t(strongLength));
        return c != 0 ? c < 0 : a.block < b.block;
    });
    groupStart.resize(sorted.size());
    for (int i = 0; i < sorted.size(); ++i) {
        sortedIndex[sorted.at(i).block] = i;
        const bool same = i > 0 && sorted.at(i - 1).weak == sorted.at(i).weak &&
                          sameStrong(sorted.at(i - 1).block, map.strongSum(sorted.at(i).block));
        groupStart[i] = same ? groupStart.at(i - 1) : i;
    }

    // About 32 filter bits per block, so the filter of a 1 GiB file stays in the processor's cache.
    int bits = 16;
    while (bits < 26 && (qint64(1) << bits) < qint64(sorted.size()) * 32)
        ++bits;
    filterShift = 32 - bits;
    filter.fill(0, int((qint64(1) << bits) / 64));
    filterShift += 6; // the filter is indexed by word
    for (const Entry &e : qAsConst(sorted)) {
        const quint32 x = e.weak * 0x9E3779B1u;
        filter[int(x >> filterShift)] |= filterBits(x);
    }
    int slotBits = 4;
    while ((qint64(1) << slotBits) < qint64(sorted.size()) * 2)
        ++slotBits;
    slotShift = 32 - slotBits;
    bySum.fill({0, -1}, 1 << slotBits);
    const int mask = bySum.size() - 1;
    for (int i = 0; i < sorted.size(); ++i) {
        if (i > 0 && sorted.at(i - 1).weak == sorted.at(i).weak)
            continue;
        int slot = int(slotIndex(sorted.at(i).weak));
        while (bySum.at(slot).block >= 0)
            slot = (slot + 1) & mask;
        bySum[slot] = {sorted.at(i).weak, i};
    }
}

bool BlockMatcher::sameStrong(int block, const uchar *strong) const {
    return memcmp(map.strongSum(block), strong, size_t(map.strongLength())) == 0;
}

int BlockMatcher::groupEnd(int index) const {
    const int first = sorted.at(index).block;
    int end = index + 1;
    while (end < sorted.size() && sorted.at(end).weak == sorted.at(index).weak &&
           sameStrong(sorted.at(end).block, map.strongSum(first)))
        ++end;
    return end;
}

int BlockMatcher::find(quint32 weak, const uchar *window, uchar *strong, bool *strongDone) const {
    const int mask = bySum.size() - 1;
    int slot = int(slotIndex(weak));
    while (bySum.at(slot).block >= 0 && bySum.at(slot).weak != weak)
        slot = (slot + 1) & mask;
    if (bySum.at(slot).block < 0)
        return -1;
    for (auto it = sorted.cbegin() + bySum.at(slot).block; it != sorted.cend() && it->weak == weak; ++it) {
        if (!*strongDone) {
            BlockMap::strongSumOf(window, map.blockSize(), strong);
            *strongDone = true;
        }
        if (sameStrong(it->block, strong))
            return int(it - sorted.cbegin());
    }
    return -1;
}

Result<DeltaWriter::Error> BlockMatcher::record(int index, qint64 oldOffset, const uchar *bytes,
                                                QVector<qint64> *offsets, DeltaWriter *writer) const {
    // Identical blocks of the new file are all found at once.
    for (int i = index, end = groupEnd(index); i < end; ++i) {
        const int block = sorted.at(i).block;
        qint64 &offset = (*offsets)[block];
        if (offset >= 0)
            continue;
        offset = oldOffset;
        if (writer) {
            const Result<DeltaWriter::Error> put =
                writer->put(map.blockOffset(block), bytes, map.blockSize());
            if (!put.ok())
                return put;
        }
    }
    return {};
}

Result<DeltaWriter::Error> BlockMatcher::matchTail(QFile *old, QVector<qint64> *offsets,
                                                   DeltaWriter *writer) const {
    const int last = map.blockCount() - 1;
    if (last < 0 || sortedIndex.at(last) >= 0)
        return {};
    // A short last block is looked for where it would follow the block before it, at the end of the
    // old file and at its start; the rolling scan only knows full blocks.
    const int length = map.blockBytes(last);
    QVector<qint64> candidates;
    if (last > 0 && offsets->at(last - 1) >= 0)
        candidates << offsets->at(last - 1) + map.blockSize();
    candidates << old->size() - length << 0;
    QByteArray bytes(length, '\0');
    uchar strong[BlockMap::MaxStrongLength];
    for (const qint64 at : qAsConst(candidates)) {
        if (at < 0 || at + length > old->size() || !old->seek(at) ||
            old->read(bytes.data(), length) != length)
            continue;
        const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
        BlockMap::strongSumOf(data, length, strong);
        if (sameStrong(last, strong)) {
            (*offsets)[last] = at;
            return writer ? writer->put(map.blockOffset(last), data, length) : Result<DeltaWriter::Error>();
        }
    }
    return {};
}

Result<BlockMatcher::Error> BlockMatcher::match(const QString &oldPath, DeltaPlan *plan,
                                                const Progress &progress, DeltaWriter *writer) {
    *plan = DeltaPlan();
    QFile old;
    QString why;
    if (!Platform::openPlainFile(&old, oldPath, QIODevice::ReadOnly | QIODevice::Unbuffered, &why)) {
        qWarning() << "cannot read old copy" << oldPath << why;
        return {Error::CannotRead, QStringLiteral("cannot read the old copy %1: %2").arg(oldPath, why)};
    }
    const qint64 oldSize = old.size();
    const qint64 block = map.blockSize();
    QVector<qint64> offsets(map.blockCount(), -1);

    // A small old copy needs no more than itself.
    QByteArray buffer(int(qMin(ReadChunk, oldSize) + block), '\0');
    uchar *data = reinterpret_cast<uchar *>(buffer.data());
    qint64 bufStart = 0; // file offset of data[0]
    qint64 bufEnd = 0;   // file offset after the last byte held
    // Keeps the bytes from pos on and reads the next chunk behind them.
    auto refill = [&](qint64 pos) -> Result<Error> {
        if (cancelled.load()) {
            qWarning() << "block scan cancelled" << oldPath << pos;
            return {Error::Cancelled, QStringLiteral("the scan of %1 was cancelled").arg(oldPath)};
        }
        const qint64 keep = bufEnd - pos;
        memmove(data, data + (pos - bufStart), size_t(keep));
        bufStart = pos;
        const qint64 want = qMin<qint64>(buffer.size() - keep, oldSize - bufEnd);
        if (old.read(reinterpret_cast<char *>(data + keep), want) != want) {
            qWarning() << "cannot read old copy" << oldPath << bufEnd << old.errorString();
            return {Error::CannotRead, QStringLiteral("cannot read the old copy %1 at byte %2: %3")
                                           .arg(oldPath)
                                           .arg(bufEnd)
                                           .arg(old.errorString())};
        }
        bufEnd += want;
        if (progress)
            progress(bufEnd, oldSize);
        return {};
    };

    const RollingSum rolling(block);
    uchar strong[BlockMap::MaxStrongLength];
    qint64 pos = 0;
    quint32 weak = 0;
    bool haveWeak = false;
    bool looked = false;
    while (!sorted.isEmpty() && pos + block <= oldSize) {
        if (pos + block >= bufEnd && bufEnd < oldSize) {
            const Result<Error> read = refill(pos);
            if (!read.ok())
                return read;
        }
        const uchar *window = data + (pos - bufStart);
        if (!haveWeak) {
            weak = RollingSum::of(window, block);
            haveWeak = true;
            looked = false;
        }
        if (!looked) {
            looked = true;
            bool strongDone = false;
            int found = mayHold(weak) ? find(weak, window, strong, &strongDone) : -1;
            // The blocks that followed it in the new file often follow it here too: their strong sums
            // are compared straight away, without a rolling sum.
            while (found >= 0) {
                const Result<DeltaWriter::Error> put = record(found, pos, window, &offsets, writer);
                if (!put.ok())
                    return put.as(Error::CannotWrite);
                pos += block;
                haveWeak = false;
                if (pos + block > oldSize)
                    break;
                if (pos + block >= bufEnd && bufEnd < oldSize) {
                    const Result<Error> read = refill(pos);
                    if (!read.ok())
                        return read;
                }
                window = data + (pos - bufStart);
                BlockMap::strongSumOf(window, block, strong);
                const int end = groupEnd(found);
                int next = -1;
                for (int i = found; i < end && next < 0; ++i) {
                    const int candidate = sorted.at(i).block + 1;
                    if (candidate < map.blockCount() && sortedIndex.at(candidate) >= 0 &&
                        sameStrong(candidate, strong))
                        next = groupStart.at(sortedIndex.at(candidate));
                }
                found = next;
            }
            if (!haveWeak)
                continue;
        }
        // Roll byte by byte to the next window whose sum may name a block, or to the end of the buffer.
        const qint64 limit = bufEnd - block;
        if (pos >= limit) {
            if (bufEnd == oldSize)
                break;
            continue;
        }
        const uchar *p = window;
        const uchar *end = data + (limit - bufStart);
        // Locals, so that the loop keeps them in registers.
        const quint64 *words = filter.constData();
        const int shift = filterShift;
        const int length = int(block);
        while (p < end) {
            weak = rolling.rotate(weak, p[0], p[length]);
            ++p;
            const quint32 x = weak * 0x9E3779B1u;
            const quint64 bits = filterBits(x);
            if ((words[x >> shift] & bits) == bits) {
                looked = false;
                break;
            }
        }
        pos = bufStart + (p - data);
    }
    if (cancelled.load()) {
        qWarning() << "block scan cancelled" << oldPath << pos;
        return {Error::Cancelled, QStringLiteral("the scan of %1 was cancelled").arg(oldPath)};
    }
    Result<DeltaWriter::Error> written = matchTail(&old, &offsets, writer);
    if (written.ok() && writer)
        written = writer->finish();
    if (!written.ok())
        return written.as(Error::CannotWrite);
    *plan = DeltaPlan::fromOffsets(map, offsets);
    return {};
}
