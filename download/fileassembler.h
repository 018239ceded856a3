#pragma once

#include "download/errorcode.h"
#include "download/resumerecord.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class PieceBuffer;
class QObject;
class QThreadPool;

// Puts one file together from its pieces in the partial file beside the target, resuming from
// what an earlier run (or an older copy) left there (`record`): what is fetched are the record's
// missing ranges. Completed pieces are handed over in any order. On
// workers of `pool`, a write lane puts each at its offset in the partial file and, once a batch
// holds 64 MiB or is a second old, hands it to a record lane, which flushes the file to the disk
// and only then replaces the record with one that adds the batch, while the next batch is written
// (a kill or a power cut costs at most these two batches and the pieces in flight); a hash lane computes
// the MD5 in file order, from the next piece in memory and, for pieces an earlier run left or that
// arrived ahead of an earlier one, from the partial file. A piece's buffer goes back to its pool
// once it is written and the hash lane is not about to take it, so memory holds only pieces that
// wait for the disk.
//
// On finish() the digest is compared: equal puts the partial file, cut to the listed size, in
// place of the target and removes the record; different removes both. A failed write is reported
// as soon as what was written before it is recorded (WriteError, saying how much room is missing when the
// disk is full) and the pieces recorded so far stay for the next run. A failed move into place keeps the
// verified file with a record of every piece (awaitsMove(); retryMove() tries again). Leftovers are never
// opened through a link. The result comes back on `receiver`'s thread through a queued call of `finished`,
// which is dropped after stop(). The receiver and the buffers' pool must outlive the thread pool's jobs (wait
// for the thread pool before deleting them).
class FileAssembler {
public:
    // `recordSaved` false: the record lists bytes written to the partial file but not synced yet (the
    // blocks of an older copy): the assembler syncs the file and saves the record first of all.
    // `requests`: the ranges that will be fetched, when they split the record's missing ranges
    // further (several requests within one piece); by default the missing ranges themselves.
    FileAssembler(const QString &path, const ResumeRecord &record, QThreadPool *pool, QObject *receiver,
                  std::function<void(DownloadResult)> finished, bool recordSaved = true,
                  const QVector<ResumeRecord::Range> &requests = {});
    ~FileAssembler(); // stops
    FileAssembler(const FileAssembler &) = delete;
    FileAssembler &operator=(const FileAssembler &) = delete;

    qint64 size() const { return total; }
    // Pieces that an earlier run left complete in the partial file (not to be fetched again).
    int resumedPieces() const { return resumedCount; }
    // Bytes present in the partial file when the assembler began (earlier runs, an older copy).
    qint64 resumedBytes() const { return earlierBytes; }
    // Bytes the record on the disk lists (what was written and flushed), for any thread.
    qint64 recordedBytes() const;
    // Piece `index` is complete in `buffer`; the assembler owns it now.
    void pieceCompleted(int index, PieceBuffer buffer);
    // One of the record's missing ranges is complete in `buffer` (a whole piece, or a range of a
    // piece partly present: written at its offset, the piece then hashed from the partial file).
    void rangeCompleted(qint64 offset, qint64 length, PieceBuffer buffer);
    // `bytes` arrived for the file at `offset`, of a piece still under way (cut short by a pause or a
    // close, or received for a while): written and recorded like a piece, not hashed, so that the
    // next run asks only for the rest. Ignored once the file is finishing or the work has stopped.
    void keepReceived(qint64 offset, QByteArray bytes);
    // All pieces completed: compare with the lower-case hex digest and commit or discard.
    void finish(const QString &expectedMd5);
    // All pieces completed of a file whose content the caller checks itself (planned spans): committed
    // without a digest to compare.
    void finishUnchecked();
    // A write failed (for any thread): nothing more of the file is written, and WriteError comes
    // once what was written before is recorded. Pieces that arrive meanwhile are not kept.
    bool writesFailed() const;
    // After a WriteError: whether the file verified and only its move into place failed.
    bool awaitsMove() const;
    // Tries the move again (on the pool); the result comes back as from finish().
    void retryMove();
    // Ends the work without a result: pieces already handed over are still written and recorded
    // (by the workers, in the background), so that the next run need not fetch them again.
    void stop();

    // Since the start of the process, over all files: how often a batch of pieces was flushed to
    // the disk and recorded, and the time the workers spent doing it (for the benchmark).
    static qint64 recordCount();
    static qint64 recordNanoseconds();

    struct State;

private:
    std::shared_ptr<State> d;
    qint64 total = 0;
    int resumedCount = 0;
    qint64 earlierBytes = 0;
};
