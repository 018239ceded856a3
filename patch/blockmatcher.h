#pragma once

#include "core/result.h"
#include "patch/blockmap.h"
#include "patch/deltawriter.h"

#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

// What an older copy gives towards a new file: the new file's blocks found in it, and the rest of the
// new file as ranged requests.
struct DeltaPlan {
    // Requests never cross a 4 MiB piece of the new file, so each belongs to one piece of a download.
    static constexpr qint64 MaxRequestBytes = 4 * 1024 * 1024;

    struct Reuse {
        int block = 0;        // index in the map; its bytes start at block * block size in the new file
        qint64 oldOffset = 0; // where the old copy holds them
    };
    struct Range {
        qint64 offset = 0;
        qint64 length = 0;
    };
    QVector<Reuse> reused;   // in block order
    QVector<Range> requests; // in file order; adjacent missing blocks merged
    qint64 reusedBytes = 0;  // bytes of the new file the old copy holds
    qint64 requestBytes = 0; // bytes of the new file to fetch

    // The plan for the old offsets found per block (-1 for a block not found).
    static DeltaPlan fromOffsets(const BlockMap &map, const QVector<qint64> &oldOffsets);
};

// Finds the blocks of a new file (given by its map) in an old file, wherever they moved: one pass
// over the old file with a rolling sum, a strong sum where the rolling sum names a block. Reads in
// bounded chunks, so memory stays a few MiB beyond the map whatever the file sizes. Meant to run on
// a worker thread (QtConcurrent::run); cancel() may be called from any thread.
class BlockMatcher {
public:
    enum class Error { None = 0, CannotRead, CannotWrite, Cancelled };
    // Scanned bytes of the old file and its size; called from the scanning thread every chunk.
    using Progress = std::function<void(qint64 scanned, qint64 total)>;

    // The map must outlive the matcher.
    explicit BlockMatcher(const BlockMap &map);

    // Scans the old copy. A short last block of the new file is looked for where it would follow the
    // block before it, at the old copy's end and at its start, not at every offset. With a writer
    // (opened on the partial file) every block found goes into it at once, from the bytes just
    // compared, and the writer is finished (the file on the disk) before the plan is given. After a
    // failure the partial file holds an unknown part of the blocks: no record may list any of them.
    Result<Error> match(const QString &oldPath, DeltaPlan *plan, const Progress &progress = Progress(),
                        DeltaWriter *writer = nullptr);
    // Stops a running match() at its next chunk; every later match() is cancelled too.
    void cancel() { cancelled.store(true); }
    bool isCancelled() const { return cancelled.load(); }

private:
    struct Entry {
        quint32 weak;
        int block;
    };
    // Two bits of one filter word per weak sum: about one window in 300 of changed bytes gets past it.
    // One product gives the word (its top bits) and the two bits (its low twelve).
    bool mayHold(quint32 weak) const {
        const quint32 x = weak * 0x9E3779B1u;
        const quint64 bits = filterBits(x);
        return (filter[int(x >> filterShift)] & bits) == bits;
    }
    static quint64 filterBits(quint32 x) {
        return (quint64(1) << (x & 63)) | (quint64(1) << ((x >> 6) & 63));
    }
    quint32 slotIndex(quint32 weak) const { return (weak * 0x85EBCA6Bu) >> slotShift; }
    // The first sorted entry of the identical blocks that the window holds, or -1.
    int find(quint32 weak, const uchar *window, uchar *strong, bool *strongDone) const;
    bool sameStrong(int block, const uchar *strong) const;
    int groupEnd(int sortedIndex) const;
    // Marks the identical blocks of a group found at oldOffset, writing the newly found ones.
    Result<DeltaWriter::Error> record(int sortedIndex, qint64 oldOffset, const uchar *bytes,
                                      QVector<qint64> *offsets, DeltaWriter *writer) const;
    Result<DeltaWriter::Error> matchTail(class QFile *old, QVector<qint64> *offsets,
                                         DeltaWriter *writer) const;

    const BlockMap &map;
    QVector<Entry> sorted;    // full-size blocks by weak sum, then strong sum, then index
    QVector<int> sortedIndex; // per block its place in sorted, -1 for a short last block
    QVector<int> groupStart;  // per sorted entry the first entry of its identical blocks
    QVector<quint64> filter;  // a Bloom filter of the weak sums present
    int filterShift = 32;
    // Open addressing by weak sum: the sum and its first sorted entry (-1: an empty slot), so that a
    // lookup touches one cache line.
    QVector<Entry> bySum;
    int slotShift = 32;
    std::atomic<bool> cancelled{false};
};
