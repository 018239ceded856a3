#pragma once

#include "core/result.h"

#include <QBitArray>
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

struct RemoteFileInfo;

// What an unfinished download left on disk: the partial file beside the target
// ("<name>.kestrivane-download", received pieces at their offsets) and this record beside it
// ("<name>.kestrivane-resume"), which lists the pieces complete in the partial file and the listed
// name, version, size and MD5 they belong to. The record is written only after the bytes it adds
// are on the disk, so it never claims a byte the partial file does not hold.
//
// The record file is made once at its full size and then updated in place, so that recording
// progress never needs new room on a disk that has filled up meanwhile: it holds two slots of
// equal size, each a header (magic, sequence number, length, MD5 of the rest) and the record's
// text; a save writes the slot that does not hold the newest state, and a load takes the newest
// slot whose MD5 holds, so a write torn by a power cut leaves the state before it. A record of
// older launchers (the text alone) is still read.
class ResumeRecord {
public:
    enum class Error {
        None = 0,
        Missing,    // no record (and maybe a partial file without one)
        Unreadable, // not a record this launcher wrote, or damaged
        Mismatch    // for another listed file, or the partial file lacks bytes it claims
    };

    static constexpr const char *PartialSuffix = ".kestrivane-download";
    static constexpr const char *RecordSuffix = ".kestrivane-resume";
    // A record of a file of 1 TiB lists 262144 pieces in 64 KiB; anything larger is not ours.
    static constexpr qint64 MaxRecordSize = 256 * 1024;
    // Received ranges that are not whole pieces (or blocks) kept in a record: pieces cut short by a
    // pause or a close. Past this many the smallest are forgotten (fetched again).
    static constexpr int MaxExtents = 256;
    static constexpr int SlotHeaderSize = 32;

    struct Range {
        qint64 offset = 0;
        qint64 length = 0;
    };

    ResumeRecord() = default;
    // A record of no complete piece for the listed file.
    ResumeRecord(const QString &name, const QString &version, qint64 size, const QString &md5);

    const QString &name() const { return fileName; }
    qint64 size() const { return fileSize; }
    int pieceCount() const { return int(complete.size()); }
    bool isComplete(int index) const {
        return index >= 0 && index < complete.size() && complete.testBit(index);
    }
    void setComplete(int index);
    int completeCount() const { return complete.count(true); }
    // Bytes present in the partial file (complete pieces, and with a map the present blocks).
    qint64 completeBytes() const;
    bool isFor(const RemoteFileInfo &listed) const;

    // Tracks present blocks of blockSize bytes from now on (a power of two of at most a piece).
    void setMap(const QString &digest, int blockSize);
    const QString &mapDigest() const { return fileMap; }
    bool hasMap() const { return !fileMap.isEmpty(); }
    // Marks the range present: the blocks (without a map: the whole pieces) wholly inside it, and
    // the bytes around them as a received range of their own.
    void setPresent(qint64 offset, qint64 length);
    // What is not present, in file order, adjacent bytes merged but never across a piece.
    QVector<Range> missingRanges() const;
    // Received ranges that are not whole pieces or blocks, in file order.
    QVector<Range> extents() const;
    // Bytes the older copy gave (kept for the report at the end).
    qint64 reusedBytes() const { return reused; }
    void setReusedBytes(qint64 bytes) { reused = bytes; }

    QByteArray toBytes() const;
    static Result<Error> fromBytes(const QByteArray &bytes, ResumeRecord *out);
    // A record file's content: the newest sound slot, or the older form (the text alone).
    static Result<Error> fromFileBytes(const QByteArray &bytes, ResumeRecord *out);
    // A slot of `size` bytes holding `payload` as state `seq`.
    static QByteArray slot(quint64 seq, const QByteArray &payload, int size);

    // Reads the record beside `target` and checks it against the listed file and the partial
    // file: Missing when there is none, otherwise ok only when everything it claims is there.
    // Either of them being a link or anything but a plain file makes the record unusable.
    static Result<Error> load(const QString &target, const RemoteFileInfo &listed, ResumeRecord *out);
    // Records this state beside `target`: in the older slot of the record file, or (the first time,
    // or when the file is not in the slot form of this record's size) as a new record file in one
    // step.
    Result<Error> save(const QString &target);
    // The slot size this record's file gets: room for every piece, block and received range.
    int slotSize() const;
    // The slot size of the record file this state was loaded from or saved to (0: none yet).
    int storedSlotSize() const { return slotBytes; }
    // Removes the partial file and the record of `target` (whatever of them exists).
    static void discard(const QString &target);
    // Whether a partial file or a record of `target` exists (as a link to nothing, too).
    static bool exists(const QString &target);

    static QString partialPath(const QString &target);
    static QString recordPath(const QString &target);
    // Leftovers of record writes that a killed launcher could not finish, beside `target`.
    static QStringList strayRecordCopies(const QString &target);

private:
    qint64 presentEnd() const;
    // What is missing of the pieces (with a map: the blocks), received ranges not taken off.
    QVector<Range> missingWholeRanges() const;
    bool blockPresent(qint64 block) const { return blocks.testBit(int(block)); }
    void updatePiece(int index);
    // Marks the pieces (with a map: the blocks) wholly inside [begin, end) present.
    void markWhole(qint64 begin, qint64 end);
    // Whether every byte of [begin, end) is in a present piece or block.
    bool coveredWhole(qint64 begin, qint64 end) const;
    void addExtent(qint64 begin, qint64 end);

    QString fileName;
    QString fileVersion;
    QString fileMd5;
    qint64 fileSize = 0;
    QBitArray complete;
    QString fileMap;
    int blockLength = 0;
    QBitArray blocks;
    QMap<qint64, qint64> received; // begin -> end of received ranges; disjoint, never adjacent
    qint64 reused = 0;
    // The record file this state was loaded from or saved to: its slot size (0: none, or the older
    // form) and the sequence number of its newest slot.
    int slotBytes = 0;
    quint64 sequence = 0;
};
