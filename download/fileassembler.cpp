#include "download/fileassembler.h"

#include "download/downloadtaskpiece.h"
#include "download/piecebuffer.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <map>
#include <vector>

struct FileAssembler::State {
    QString path;
    QString partial;
    qint64 total = 0;
    int pieceCount = 0;
    QThreadPool *pool = nullptr;
    QObject *receiver = nullptr;
    std::function<void(DownloadResult)> finished;

    QMutex mutex;
    struct Part {
        int piece = 0;
        qint64 length = 0;
        PieceBuffer buffer;
    };
    std::map<int, PieceBuffer> pieces; // completed pieces that a lane still needs
    std::map<qint64, Part> parts;      // received ranges of partly present pieces, by offset, until written
    std::vector<int> partsLeft;        // per partly present piece: ranges not written yet
    std::vector<char> onDisk;          // written by an earlier run, or by the write lane
    std::vector<char> fromDisk;        // hashed from the partial file (present when this run began,
                                       // or put together there from ranges)
    int hashNext = 0;                  // first piece not hashed yet
    int hashCurrent = -1;              // piece the hash lane is reading outside the lock
    int writeCurrent = -1;             // piece the write lane is writing outside the lock
    qint64 writeCurrentPart = -1;      // range the write lane is writing outside the lock
    bool hashRunning = false;
    bool writeRunning = false;
    bool finishing = false;
    bool finalizing = false;
    bool stopped = false;
    bool reported = false;     // a result is on its way to the receiver
    bool awaitingMove = false; // verified, but the move into place failed
    bool unsyncedLeft = false; // the write lane went idle with pieces not recorded yet
    bool syncDue = false;      // the batch's time is up
    bool syncTimerSet = false;
    QString expectedMd5;

    // Hash lane only (then the final job).
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::unique_ptr<QFile> reader;
    QString readFailure;

    // Write lane only (then the final job).
    std::unique_ptr<QFile> out;
    ResumeRecord record;                   // what the record on disk says
    QVector<ResumeRecord::Range> unsynced; // written since the last record
    qint64 unsyncedBytes = 0;
    QElapsedTimer batchAge;                 // since the batch's first write
    std::atomic<bool> recordPending{false}; // the record lists bytes not synced yet
    // A partial file was there when the work began, or a record was written since: a killed record
    // write may have left its temporary copy beside the file.
    bool mayLeaveCopies = false;
    bool writeFailed = false;
    QString writeFailure;

    bool hashable(int index) const {
        return index < pieceCount && (pieces.count(index) || fromDisk[size_t(index)]);
    }
    // A received range the write lane has not written yet (lowest first), or -1.
    qint64 nextPartToWrite() const {
        for (const auto &p : parts) {
            if (p.first != writeCurrentPart)
                return p.first;
        }
        return -1;
    }
    // A piece in memory the write lane has not written yet (lowest first), or -1.
    int nextToWrite() const {
        for (const auto &p : pieces) {
            if (!onDisk[size_t(p.first)] && p.first != writeCurrent)
                return p.first;
        }
        return -1;
    }
    // Lets the buffer of piece `index` go once no lane needs it any more. Mutex held.
    void releaseIfUnused(int index) {
        if (index == hashCurrent || index == writeCurrent)
            return;
        const bool hashed = stopped || hashNext > index;
        if (hashed && onDisk[size_t(index)])
            pieces.erase(index);
    }
    bool allOnDisk() const {
        for (char c : onDisk) {
            if (!c)
                return false;
        }
        return true;
    }
};

namespace {

using State = FileAssembler::State;

// Small enough to keep every write cheap for the kernel.
constexpr qint64 BlockSize = 64 * 1024;
// A batch of written pieces is flushed to the disk and recorded once it holds this many bytes or
// is this old, whichever comes first: a kill or a power cut costs at most the batch and the pieces
// in flight, and a file no longer pays a flush per piece.
constexpr qint64 BatchBytes = 64 * 1024 * 1024;
constexpr int BatchMs = 1000;

std::atomic<qint64> records{0};
std::atomic<qint64> recordNanos{0};

void runHashLane(const std::shared_ptr<State> &s);
void runWriteLane(const std::shared_ptr<State> &s);
void finalize(const std::shared_ptr<State> &s);

// Hands the result to the receiver, once, unless the work was stopped by then.
void post(const std::shared_ptr<State> &s, const DownloadResult &result) {
    {
        QMutexLocker locker(&s->mutex);
        if (s->stopped || s->reported)
            return;
        s->reported = true;
    }
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

qint64 pieceLength(const State *s, int index) {
    const qint64 begin = qint64(index) * DownloadTaskPiece::PieceSize;
    return qMin<qint64>(DownloadTaskPiece::PieceSize, s->total - begin);
}

// Starts whatever work is due. Called with the mutex held.
void kickLocked(const std::shared_ptr<State> &s) {
    // Never beside the final job: it owns the write lane's state.
    const bool recordDue = s->unsyncedLeft && !s->finalizing && (s->syncDue || s->stopped);
    if (!s->writeRunning &&
        (s->recordPending || recordDue || s->nextToWrite() >= 0 || s->nextPartToWrite() >= 0)) {
        s->writeRunning = true;
        s->pool->start([s] { runWriteLane(s); });
    }
    if (s->stopped)
        return;
    if (!s->hashRunning && s->hashable(s->hashNext)) {
        s->hashRunning = true;
        s->pool->start([s] { runHashLane(s); });
    }
    if (s->finishing && !s->finalizing && !s->hashRunning && !s->writeRunning &&
        s->hashNext == s->pieceCount && s->allOnDisk()) {
        s->finalizing = true;
        s->pool->start([s] { finalize(s); });
    }
}

bool openOutput(State *s) {
    if (s->out)
        return true;
    // Read-write: an existing partial file of an earlier run keeps its bytes. Never through a link.
    s->out.reset(new QFile);
    QString why;
    if (!Platform::openPlainFile(s->out.get(), s->partial, QIODevice::ReadWrite | QIODevice::Unbuffered,
                                 &why)) {
        s->writeFailure = QStringLiteral("cannot open %1 for writing: %2").arg(s->partial, why);
        qWarning() << "cannot open file for writing" << s->partial << why;
        s->out.reset();
        return false;
    }
    // Bytes past the listed size (a stale or planted tail) are no part of the file.
    if (s->out->size() > s->total && !s->out->resize(s->total))
        qWarning() << "cannot cut file to its listed size" << s->partial << s->out->errorString();
    return true;
}

bool writeRange(State *s, qint64 offset, qint64 length, const char *data) {
    if (!openOutput(s))
        return false;
    if (!s->out->seek(offset)) {
        s->writeFailure = QStringLiteral("cannot seek in %1: %2").arg(s->partial, s->out->errorString());
        return false;
    }
    for (qint64 pos = 0; pos < length;) {
        const qint64 n = s->out->write(data + pos, qMin(BlockSize, length - pos));
        if (n <= 0) {
            s->writeFailure = QStringLiteral("cannot write %1: %2").arg(s->path, s->out->errorString());
            qWarning() << "cannot write file" << s->path << s->out->errorString();
            return false;
        }
        pos += n;
    }
    return true;
}

// The pieces written since the last record go on the disk, then into the record: a record never
// claims bytes that a power cut could still take away.
void recordWritten(State *s) {
    const bool pending = s->recordPending.exchange(false);
    if ((s->unsynced.isEmpty() && !pending) || s->writeFailed)
        return;
    s->unsyncedBytes = 0;
    QElapsedTimer clock;
    clock.start();
    const auto count = qScopeGuard([&clock] {
        ++records;
        recordNanos += clock.nsecsElapsed();
    });
    if (!Platform::syncFile(s->partial)) {
        qWarning() << "cannot flush file to disk" << s->partial;
        s->unsynced.clear();
        s->unsyncedBytes = 0;
        return;
    }
    for (const ResumeRecord::Range &r : qAsConst(s->unsynced))
        s->record.setPresent(r.offset, r.length);
    s->unsynced.clear();
    s->mayLeaveCopies = true;
    const Result<ResumeRecord::Error> saved = s->record.save(s->path);
    if (!saved.ok())
        qWarning() << "cannot write the resume record" << s->path << saved.reason();
}

// Ends the file at its first failed write: what is recorded stays for the next run, nothing more
// is written, and the receiver learns why at once so that no more pieces are fetched for nothing.
void failWrites(const std::shared_ptr<State> &s) {
    recordWritten(s.get());
    s->writeFailed = true;
    QString reason = s->writeFailure;
    const qint64 missing = s->total - s->record.completeBytes();
    const QStorageInfo disk(QFileInfo(s->path).absolutePath());
    if (disk.isValid() && disk.bytesAvailable() >= 0 && disk.bytesAvailable() < missing) {
        qWarning() << "disk full" << s->path << missing << disk.bytesAvailable();
        reason =
            QStringLiteral("the disk holding %1 is full: %2 more bytes are needed (%3 bytes still to write, "
                           "%4 free)")
                .arg(s->path)
                .arg(missing - disk.bytesAvailable())
                .arg(missing)
                .arg(disk.bytesAvailable());
    }
    post(s, {WriteError, reason});
}

// Writes completed pieces at their offsets, in any order, as long as there are any; flushes and
// records them after every batch.
// Picks the next piece or range to write and marks it as being written. Mutex held.
bool pickWrite(State *s, int *index, qint64 *offset, qint64 *length, const char **data) {
    *index = s->nextToWrite();
    if (*index >= 0) {
        *offset = qint64(*index) * DownloadTaskPiece::PieceSize;
        *length = pieceLength(s, *index);
        *data = s->pieces.at(*index).data();
        s->writeCurrent = *index;
        return true;
    }
    *offset = s->nextPartToWrite();
    if (*offset < 0)
        return false;
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

// Nothing to write for now. The batch is recorded when it is due, when recording was asked for,
// or when the work was stopped (nobody may be there to wake the lane later). A finished file's last
// batch needs no record: moving the file into place flushes it, and the record goes then.
// Otherwise the lane stops, and a timer wakes it when the batch is due. Returns false when the lane
// has stopped. Mutex held (released while recording).
bool idleWriteLane(const std::shared_ptr<State> &s, QMutexLocker &locker) {
    const bool pending = s->recordPending.load();
    const bool last = s->finishing && s->allOnDisk();
    const bool due = s->syncDue || s->batchAge.elapsed() >= BatchMs;
    s->syncDue = false;
    s->unsyncedLeft = false;
    if (s->unsynced.isEmpty() && !pending)
        return true;
    if (pending || s->stopped || (due && !last)) {
        locker.unlock();
        recordWritten(s.get());
        locker.relock();
        return true;
    }
    s->unsyncedLeft = true;
    if (!last)
        armSyncTimer(s, BatchMs - s->batchAge.elapsed());
    s->writeRunning = false;
    kickLocked(s);
    return false;
}

void runWriteLane(const std::shared_ptr<State> &s) {
    for (;;) {
        int index;
        qint64 offset, length;
        const char *buffer;
        {
            QMutexLocker locker(&s->mutex);
            if (!pickWrite(s.get(), &index, &offset, &length, &buffer)) {
                if (!idleWriteLane(s, locker))
                    return;
                if (!pickWrite(s.get(), &index, &offset, &length, &buffer)) {
                    s->writeRunning = false;
                    kickLocked(s);
                    return;
                }
            }
        }
        if (!s->writeFailed) {
            if (writeRange(s.get(), offset, length, buffer)) {
                if (s->unsynced.isEmpty())
                    s->batchAge.start();
                s->unsynced.append({offset, length});
                s->unsyncedBytes += length;
            } else {
                failWrites(s);
            }
        }
        if (s->unsyncedBytes >= BatchBytes || (!s->unsynced.isEmpty() && s->batchAge.elapsed() >= BatchMs))
            recordWritten(s.get());
        QMutexLocker locker(&s->mutex);
        // Written, or given up after a failed write: nothing waits for it.
        if (s->writeCurrentPart >= 0) {
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
            readBack.resize(int(length));
            if (!s->reader->isOpen() || !s->reader->seek(qint64(index) * DownloadTaskPiece::PieceSize) ||
                s->reader->read(readBack.data(), length) != length) {
                if (s->readFailure.isEmpty())
                    s->readFailure =
                        QStringLiteral("cannot read piece %1 back from %2").arg(index).arg(s->partial);
            }
            s->hash.addData(readBack.constData(), int(length));
        }
        QMutexLocker locker(&s->mutex);
        s->hashCurrent = -1;
        ++s->hashNext;
        s->releaseIfUnused(index);
    }
}

// Puts the verified partial file in place of the target, cut to the listed size. When the move
// fails (the old file is held open, on Windows, or is busy), the file stays with a record of every
// piece, so that a later attempt or the next run puts it in place without fetching it again.
DownloadResult placeFile(State *s) {
    QString why;
    {
        QFile file;
        if (!Platform::openPlainFile(&file, s->partial, QIODevice::ReadWrite, &why)) {
            qWarning() << "cannot open file for writing" << s->partial << why;
            ResumeRecord::discard(s->path);
            return {WriteError, why};
        }
        if (file.size() > s->total && !file.resize(s->total)) {
            qWarning() << "cannot cut file to its listed size" << s->partial << file.errorString();
            return {WriteError, QStringLiteral("cannot cut %1 to %2 bytes: %3")
                                    .arg(s->partial)
                                    .arg(s->total)
                                    .arg(file.errorString())};
        }
        if (file.size() != s->total) {
            qWarning() << "file has the wrong size" << s->partial << file.size() << s->total;
            ResumeRecord::discard(s->path);
            return {WriteError, QStringLiteral("%1 holds %2 bytes, the version file lists %3")
                                    .arg(s->partial)
                                    .arg(file.size())
                                    .arg(s->total)};
        }
    }
    qDebug().noquote().nospace() << "writeDataToFile " << s->path << ", " << s->total;
    // Once the partial file is moved the record must not outlive it, so it goes first.
    const QString recordPath = ResumeRecord::recordPath(s->path);
    if (Platform::entryExists(recordPath) && !QFile::remove(recordPath)) {
        qWarning() << "cannot remove file" << recordPath;
        return {WriteError, QStringLiteral("cannot remove %1").arg(recordPath)};
    }
    if (!Platform::replaceFile(s->partial, s->path, &why)) {
        qWarning() << "cannot put the file in place" << s->path << why;
        if (Platform::syncFile(s->partial)) {
            for (int i = 0; i < s->pieceCount; ++i)
                s->record.setComplete(i);
            s->mayLeaveCopies = true;
            const Result<ResumeRecord::Error> saved = s->record.save(s->path);
            if (!saved.ok())
                qWarning() << "cannot write the resume record" << s->path << saved.reason();
        }
        QMutexLocker locker(&s->mutex);
        s->awaitingMove = true;
        return {WriteError, why};
    }
    // Leftovers of record writes, if there can be any: looking for them lists the whole folder,
    // which holds every file of the game.
    if (s->mayLeaveCopies)
        ResumeRecord::discard(s->path);
    return {};
}

void finalize(const std::shared_ptr<State> &s) {
    QString expected;
    {
        QMutexLocker locker(&s->mutex);
        if (s->stopped)
            return;
        expected = s->expectedMd5;
    }
    s->reader.reset();
    const QString digest = QString::fromLatin1(s->hash.result().toHex());
    DownloadResult result;
    if (s->writeFailed) {
        // Reported when the write failed; what is recorded stays.
        result = {WriteError, s->writeFailure.isEmpty()
                                  ? QStringLiteral("nothing was written to %1").arg(s->path)
                                  : s->writeFailure};
    } else if (digest != expected) {
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
            result = placeFile(s.get());
        }
    }
    s->out.reset();
    post(s, result);
}

} // namespace

FileAssembler::FileAssembler(const QString &path, const ResumeRecord &record, QThreadPool *pool,
                             QObject *receiver, std::function<void(DownloadResult)> finished,
                             bool recordSaved)
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
    d->recordPending = !recordSaved;
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
    for (const ResumeRecord::Range &r : record.missingRanges()) {
        const int piece = int(r.offset / DownloadTaskPiece::PieceSize);
        if (r.length != pieceLength(d.get(), piece))
            ++d->partsLeft[size_t(piece)];
    }
    earlierBytes = record.completeBytes();
    // Hashing what is there already need not wait for the first new piece.
    QMutexLocker locker(&d->mutex);
    kickLocked(d);
}

qint64 FileAssembler::recordCount() {
    return records;
}

qint64 FileAssembler::recordNanoseconds() {
    return recordNanos;
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

void FileAssembler::finish(const QString &expectedMd5) {
    QMutexLocker locker(&d->mutex);
    d->expectedMd5 = expectedMd5;
    d->finishing = true;
    kickLocked(d);
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
    d->pool->start([s] { post(s, placeFile(s.get())); });
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
}
