#include "download/fileassembler.h"

#include "download/downloadtaskpiece.h"
#include "download/fileassemblerdisk.h"
#include "download/fileassemblerstate.h"
#include "platform/platform.h"

#include <QDebug>
#include <QMutexLocker>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

namespace {

using State = FileAssembler::State;

// A batch of written pieces is flushed to the disk and recorded once it holds this many bytes or
// is this old, whichever comes first: a kill or a power cut costs at most the batch and the pieces
// in flight, and a file no longer pays a flush per piece.
constexpr qint64 BatchBytes = 64 * 1024 * 1024;
constexpr int BatchMs = 1000;
// Pieces are hashed back from the partial file in chunks of this size, not a whole piece at a time.
constexpr qint64 ReadBackChunk = 512 * 1024;

void runHashLane(const std::shared_ptr<State> &s);
void runWriteLane(const std::shared_ptr<State> &s);
void runRecordLane(const std::shared_ptr<State> &s);
void finalize(const std::shared_ptr<State> &s);

// Hands the result to the receiver, once, unless the work was stopped by then. Mutex held.
void postLocked(const std::shared_ptr<State> &s, const DownloadResult &result) {
    if (s->stopped || s->reported)
        return;
    s->reported = true;
    QMetaObject::invokeMethod(
        s->receiver,
        [s, result] {
            {
                QMutexLocker locker(&s->mutex);
                if (s->stopped)
                    return;
            }
            s->finished(result);
        },
        Qt::QueuedConnection);
}

void post(const std::shared_ptr<State> &s, const DownloadResult &result) {
    QMutexLocker locker(&s->mutex);
    postLocked(s, result);
}

qint64 pieceLength(const State *s, int index) {
    const qint64 begin = qint64(index) * DownloadTaskPiece::PieceSize;
    return qMin<qint64>(DownloadTaskPiece::PieceSize, s->total - begin);
}

// Starts the record lane when there is something to record or a failure to report. Mutex held.
void startRecordLaneLocked(const std::shared_ptr<State> &s) {
    if (s->syncRunning || (s->written.isEmpty() && !s->recordPending && !s->failurePending))
        return;
    s->syncRunning = true;
    s->pool->start([s] { runRecordLane(s); });
}

// Starts whatever work is due. Called with the mutex held.
void kickLocked(const std::shared_ptr<State> &s) {
    // Never beside the final job: it owns the write lane's state.
    const bool handOverDue = !s->finalizing && ((s->unsyncedLeft && (s->syncDue || s->stopped)) ||
                                                (s->handOverWanted && !s->syncRunning));
    // A full batch that waits for the record lane holds the write lane until the lane is done.
    const bool held = s->writeHeld && s->syncRunning;
    if (!s->writeRunning && !held &&
        (handOverDue || s->nextToWrite() >= 0 || s->nextPartToWrite() >= 0 || s->nextKeptToWrite() >= 0)) {
        s->writeRunning = true;
        s->pool->start([s] { runWriteLane(s); });
    }
    // Recording goes on after a stop: what is written is kept for the next run.
    startRecordLaneLocked(s);
    if (s->stopped)
        return;
    if (!s->hashRunning && s->hashable(s->hashNext)) {
        s->hashRunning = true;
        s->pool->start([s] { runHashLane(s); });
    }
    if (s->finishing && !s->finalizing && !s->hashRunning && !s->writeRunning && !s->syncRunning &&
        s->hashNext == s->pieceCount && s->allOnDisk()) {
        s->finalizing = true;
        s->pool->start([s] { finalize(s); });
    }
}

// Queues the pieces written since the last hand-over for the record lane. Write lane, mutex held.
void queueBatchLocked(const std::shared_ptr<State> &s) {
    s->handOverWanted = false;
    s->written += s->unsynced;
    s->unsynced.clear();
    s->unsyncedBytes = 0;
    startRecordLaneLocked(s);
}

// Hands the batch to the record lane, which syncs and records it while this lane goes on writing
// the next one. While the lane is busy with the batch before, this one waits (and grows up to a
// full batch, then holds the write lane): a kill costs at most these two batches. Write lane, mutex
// held. Whether the batch was handed over.
bool handOverLocked(const std::shared_ptr<State> &s) {
    if (s->syncRunning) {
        s->handOverWanted = true;
        return false;
    }
    queueBatchLocked(s);
    return true;
}

// Syncs and records the batches handed over, one after the other, and reports a failed write
// once the batch before it is recorded (so that the record lists every byte that was written).
void runRecordLane(const std::shared_ptr<State> &s) {
    for (;;) {
        QVector<ResumeRecord::Range> ranges;
        {
            QMutexLocker locker(&s->mutex);
            ranges.swap(s->written);
            const bool pending = s->recordPending.exchange(false);
            if (ranges.isEmpty() && !pending) {
                // A file given up before any byte of it was written leaves nothing behind.
                if (s->stopped && !s->finalizing && !s->writeRunning && s->kept.empty() &&
                    s->record.completeBytes() == 0 && !Platform::entryExists(s->partial))
                    QFile::remove(ResumeRecord::recordPath(s->path));
                if (s->failurePending) {
                    s->failurePending = false;
                    postLocked(s, {WriteError, FileAssemblerDisk::writeFailureReason(s.get())});
                }
                s->syncRunning = false;
                kickLocked(s);
                return;
            }
        }
        FileAssemblerDisk::recordRanges(s.get(), ranges);
    }
}

// Ends the file at its first failed write: nothing more is written, what was written is recorded
// for the next run, and then the receiver learns why, so that no more pieces are fetched for nothing.
void failWrites(const std::shared_ptr<State> &s) {
    s->writeFailed = true;
    s->writesFailing = true;
    QMutexLocker locker(&s->mutex);
    s->failurePending = true;
    queueBatchLocked(s);
}

// Picks the next piece or range to write and marks it as being written; received bytes of a piece
// under way are moved into `keptBytes` (index -1). Mutex held.
bool pickWrite(State *s, int *index, qint64 *offset, qint64 *length, const char **data,
               QByteArray *keptBytes) {
    *index = s->nextToWrite();
    if (*index >= 0) {
        *offset = qint64(*index) * DownloadTaskPiece::PieceSize;
        *length = pieceLength(s, *index);
        *data = s->pieces.at(*index).data();
        s->writeCurrent = *index;
        return true;
    }
    *offset = s->nextPartToWrite();
    if (*offset < 0) {
        *offset = s->nextKeptToWrite();
        if (*offset < 0)
            return false;
        auto it = s->kept.begin();
        *keptBytes = std::move(it->second);
        s->kept.erase(it);
        *index = -1;
        *length = keptBytes->size();
        *data = keptBytes->constData();
        return true;
    }
    const State::Part &part = s->parts.at(*offset);
    *index = part.piece;
    *length = part.length;
    *data = part.buffer.data();
    s->writeCurrentPart = *offset;
    return true;
}

// Asks the receiver's thread (which has an event loop) to wake the write lane when the batch is
// due. Mutex held.
void armSyncTimer(const std::shared_ptr<State> &s, qint64 inMs) {
    if (s->syncTimerSet)
        return;
    s->syncTimerSet = true;
    const int delay = int(qBound<qint64>(0, inMs, BatchMs));
    QMetaObject::invokeMethod(
        s->receiver,
        [s, delay] {
            QTimer::singleShot(delay, s->receiver, [s] {
                QMutexLocker locker(&s->mutex);
                s->syncTimerSet = false;
                s->syncDue = true;
                kickLocked(s);
            });
        },
        Qt::QueuedConnection);
}

// Nothing to write for now. The batch goes to the record lane when it is due or when the work was
// stopped (nobody may be there to wake this lane later). A finished file's last batch needs no
// record: moving the file into place flushes it, and the record goes then. Otherwise the lane
// stops, and a timer wakes it when the batch is due. Returns false when the lane has stopped.
// Mutex held.
bool idleWriteLane(const std::shared_ptr<State> &s) {
    const bool last = s->finishing && s->allOnDisk();
    const bool due = s->syncDue || s->batchAge.elapsed() >= BatchMs;
    s->syncDue = false;
    s->unsyncedLeft = false;
    if (s->unsynced.isEmpty())
        return true;
    if (s->stopped || (due && !last)) {
        if (handOverLocked(s))
            return true;
        // The record lane wakes this lane when it is done with the batch before.
        s->writeRunning = false;
        kickLocked(s);
        return false;
    }
    s->unsyncedLeft = true;
    if (!last)
        armSyncTimer(s, BatchMs - s->batchAge.elapsed());
    s->writeRunning = false;
    kickLocked(s);
    return false;
}

// Writes completed pieces at their offsets, in any order, as long as there are any, and hands them
// to the record lane in batches.
void runWriteLane(const std::shared_ptr<State> &s) {
    for (;;) {
        int index;
        qint64 offset, length;
        const char *buffer;
        QByteArray keptBytes;
        {
            QMutexLocker locker(&s->mutex);
            if (s->handOverWanted && !s->syncRunning)
                queueBatchLocked(s);
            s->writeHeld = s->handOverWanted && s->unsyncedBytes >= BatchBytes;
            if (s->writeHeld) {
                s->writeRunning = false;
                kickLocked(s);
                return;
            }
            if (!pickWrite(s.get(), &index, &offset, &length, &buffer, &keptBytes)) {
                if (!idleWriteLane(s))
                    return;
                if (!pickWrite(s.get(), &index, &offset, &length, &buffer, &keptBytes)) {
                    s->writeRunning = false;
                    kickLocked(s);
                    return;
                }
            }
        }
        bool due = false;
        if (!s->writeFailed) {
            if (FileAssemblerDisk::writeRange(s.get(), offset, length, buffer)) {
                if (s->unsynced.isEmpty())
                    s->batchAge.start();
                s->unsynced.append({offset, length});
                s->unsyncedBytes += length;
                due = s->unsyncedBytes >= BatchBytes || s->batchAge.elapsed() >= BatchMs;
            } else {
                failWrites(s);
            }
        }
        QMutexLocker locker(&s->mutex);
        if (due)
            handOverLocked(s);
        // Written, or given up after a failed write: nothing waits for it.
        if (index < 0) {
            // Received bytes of a piece under way: the piece itself comes later.
        } else if (s->writeCurrentPart >= 0) {
            s->writeCurrentPart = -1;
            s->parts.erase(offset);
            if (--s->partsLeft[size_t(index)] == 0) {
                // The piece is whole on the disk now: hashed from there.
                s->onDisk[size_t(index)] = 1;
                s->fromDisk[size_t(index)] = 1;
            }
        } else {
            s->writeCurrent = -1;
            s->onDisk[size_t(index)] = 1;
            s->releaseIfUnused(index);
        }
    }
}

// Hashes the pieces in file order as long as the next one is there, in memory or on disk.
void runHashLane(const std::shared_ptr<State> &s) {
    QByteArray readBack;
    for (;;) {
        int index;
        const char *buffer = nullptr;
        {
            QMutexLocker locker(&s->mutex);
            index = s->hashNext;
            if (s->stopped || !s->hashable(index)) {
                s->hashRunning = false;
                kickLocked(s);
                return;
            }
            const auto it = s->pieces.find(index);
            if (it != s->pieces.end())
                buffer = it->second.data();
            s->hashCurrent = index;
        }
        const qint64 length = pieceLength(s.get(), index);
        if (buffer) {
            s->hash.addData(buffer, int(length));
        } else {
            // Left by an earlier run or put together from ranges: read back from the partial file.
            if (!s->reader) {
                s->reader.reset(new QFile);
                QString why;
                if (!Platform::openPlainFile(s->reader.get(), s->partial, QIODevice::ReadOnly, &why))
                    s->readFailure = QStringLiteral("cannot read %1: %2").arg(s->partial, why);
            }
            bool read = s->reader->isOpen() && s->reader->seek(qint64(index) * DownloadTaskPiece::PieceSize);
            for (qint64 done = 0; done < length;) {
                const qint64 chunk = qMin(ReadBackChunk, length - done);
                readBack.resize(int(chunk));
                read = read && s->reader->read(readBack.data(), chunk) == chunk;
                s->hash.addData(readBack.constData(), int(chunk));
                done += chunk;
            }
            if (!read && s->readFailure.isEmpty())
                s->readFailure =
                    QStringLiteral("cannot read piece %1 back from %2").arg(index).arg(s->partial);
        }
        QMutexLocker locker(&s->mutex);
        s->hashCurrent = -1;
        ++s->hashNext;
        s->releaseIfUnused(index);
    }
}

void finalize(const std::shared_ptr<State> &s) {
    QString expected;
    bool checked = true;
    {
        QMutexLocker locker(&s->mutex);
        if (s->stopped)
            return;
        expected = s->expectedMd5;
        checked = s->checkDigest;
    }
    s->reader.reset();
    const QString digest = QString::fromLatin1(s->hash.result().toHex());
    DownloadResult result;
    if (s->writeFailed) {
        // Reported when the write failed; what is recorded stays.
        result = {WriteError, s->writeFailure.isEmpty()
                                  ? QStringLiteral("nothing was written to %1").arg(s->path)
                                  : s->writeFailure};
    } else if (checked && digest != expected) {
        qWarning() << "md5 mismatch" << s->path << digest << expected << s->readFailure;
        result = {
            VerifyError,
            QStringLiteral("md5 of %1 is %2, the version file says %3%4")
                .arg(s->path, digest, expected,
                     s->readFailure.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(s->readFailure))};
        s->out.reset();
        ResumeRecord::discard(s->path);
    } else {
        // Every byte is written; moving the file into place flushes the last batch.
        if (s->out)
            s->out->close();
        if (s->out && s->out->error() != QFileDevice::NoError) {
            qWarning() << "cannot write file" << s->path << s->out->errorString();
            result = {WriteError,
                      QStringLiteral("cannot write %1: %2").arg(s->partial, s->out->errorString())};
        } else {
            s->out.reset();
            result = FileAssemblerDisk::placeFile(s.get());
        }
    }
    s->out.reset();
    post(s, result);
}

} // namespace

FileAssembler::FileAssembler(const QString &path, const ResumeRecord &record, QThreadPool *pool,
                             QObject *receiver, std::function<void(DownloadResult)> finished,
                             bool recordSaved, const QVector<ResumeRecord::Range> &requests)
    : d(std::make_shared<State>())
    , total(record.size()) {
    d->path = path;
    d->partial = ResumeRecord::partialPath(path);
    d->total = record.size();
    d->pieceCount = record.pieceCount();
    d->pool = pool;
    d->receiver = receiver;
    d->finished = std::move(finished);
    d->record = record;
    // The record file of a file of several pieces is made at its full size before any piece
    // arrives: a disk that fills up later still takes every update of it. A file of one piece
    // mostly arrives whole and needs no record at all (making one for each of thousands of small
    // files cost a sync and a look for stray copies in the folder each).
    d->recordPending =
        !recordSaved || (record.pieceCount() > 1 && record.slotSize() != record.storedSlotSize());
    d->mayLeaveCopies = !recordSaved || Platform::entryExists(d->partial) ||
                        Platform::entryExists(ResumeRecord::recordPath(path));
    d->onDisk.assign(size_t(d->pieceCount), 0);
    d->fromDisk.assign(size_t(d->pieceCount), 0);
    d->partsLeft.assign(size_t(d->pieceCount), 0);
    for (int i = 0; i < d->pieceCount; ++i) {
        if (record.isComplete(i)) {
            d->onDisk[size_t(i)] = 1;
            d->fromDisk[size_t(i)] = 1;
            ++resumedCount;
        }
    }
    // Pieces partly present come as ranges; a piece missing whole comes as one piece.
    for (const ResumeRecord::Range &r : requests.isEmpty() ? record.missingRanges() : requests) {
        const int piece = int(r.offset / DownloadTaskPiece::PieceSize);
        if (r.length != pieceLength(d.get(), piece))
            ++d->partsLeft[size_t(piece)];
    }
    earlierBytes = record.completeBytes();
    d->recordedBytes = earlierBytes;
    // Hashing what is there already need not wait for the first new piece.
    QMutexLocker locker(&d->mutex);
    kickLocked(d);
}

qint64 FileAssembler::recordedBytes() const {
    return d->recordedBytes.load();
}

qint64 FileAssembler::recordCount() {
    return FileAssemblerDisk::recordCount();
}

qint64 FileAssembler::recordNanoseconds() {
    return FileAssemblerDisk::recordNanoseconds();
}

FileAssembler::~FileAssembler() {
    stop();
}

void FileAssembler::pieceCompleted(int index, PieceBuffer buffer) {
    QMutexLocker locker(&d->mutex);
    // A piece that is not wanted simply goes back to its pool with `buffer`.
    if (d->stopped || index < 0 || index >= d->pieceCount || d->onDisk[size_t(index)] ||
        d->partsLeft[size_t(index)] > 0 || d->pieces.count(index))
        return;
    d->pieces.emplace(index, std::move(buffer));
    kickLocked(d);
}

void FileAssembler::rangeCompleted(qint64 offset, qint64 length, PieceBuffer buffer) {
    const int index = int(offset / DownloadTaskPiece::PieceSize);
    if (offset >= 0 && index < d->pieceCount && offset == qint64(index) * DownloadTaskPiece::PieceSize &&
        length == pieceLength(d.get(), index)) {
        pieceCompleted(index, std::move(buffer));
        return;
    }
    QMutexLocker locker(&d->mutex);
    if (d->stopped || offset < 0 || index >= d->pieceCount || length <= 0 ||
        offset + length > qint64(index + 1) * DownloadTaskPiece::PieceSize || offset + length > d->total ||
        d->partsLeft[size_t(index)] <= 0 || d->parts.count(offset))
        return;
    d->parts.emplace(offset, State::Part{index, length, std::move(buffer)});
    kickLocked(d);
}

void FileAssembler::keepReceived(qint64 offset, QByteArray bytes) {
    QMutexLocker locker(&d->mutex);
    const qint64 length = bytes.size();
    if (d->stopped || d->finishing || offset < 0 || length <= 0 || offset + length > d->total)
        return;
    const int index = int(offset / DownloadTaskPiece::PieceSize);
    if (d->onDisk[size_t(index)] || d->pieces.count(index))
        return; // the whole piece is here already
    auto it = d->kept.find(offset);
    if (it != d->kept.end() && it->second.size() >= length)
        return;
    d->kept[offset] = std::move(bytes);
    // Recorded without waiting for the batch's time: a close may follow at once.
    d->syncDue = true;
    kickLocked(d);
}

void FileAssembler::finish(const QString &expectedMd5) {
    QMutexLocker locker(&d->mutex);
    d->expectedMd5 = expectedMd5;
    d->finishing = true;
    kickLocked(d);
}

void FileAssembler::finishUnchecked() {
    QMutexLocker locker(&d->mutex);
    d->checkDigest = false;
    d->finishing = true;
    kickLocked(d);
}

bool FileAssembler::writesFailed() const {
    return d->writesFailing.load();
}

bool FileAssembler::awaitsMove() const {
    QMutexLocker locker(&d->mutex);
    return d->awaitingMove;
}

void FileAssembler::retryMove() {
    QMutexLocker locker(&d->mutex);
    if (d->stopped || !d->awaitingMove)
        return;
    d->awaitingMove = false;
    d->reported = false;
    const std::shared_ptr<State> s = d;
    d->pool->start([s] { post(s, FileAssemblerDisk::placeFile(s.get())); });
}

void FileAssembler::stop() {
    QMutexLocker locker(&d->mutex);
    if (d->stopped)
        return;
    d->stopped = true;
    // Pieces that were only waiting for the hash lane are on the disk: let them go.
    for (auto it = d->pieces.begin(); it != d->pieces.end();) {
        const int index = it->first;
        ++it;
        d->releaseIfUnused(index);
    }
    // A batch waiting for its time is recorded now.
    kickLocked(d);
    // The record lane also clears away a record of nothing.
    if (!d->syncRunning && !d->finalizing) {
        d->syncRunning = true;
        const std::shared_ptr<State> s = d;
        d->pool->start([s] { runRecordLane(s); });
    }
}
