#include "download/fileassemblerdisk.h"

#include "download/fileassemblerstate.h"
#include "platform/platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QThread>

#include <atomic>

namespace {

// Small enough to keep every write cheap for the kernel: whole 4 MiB pieces in one call cost about
// twice the system time here.
constexpr qint64 BlockSize = 64 * 1024;
// A record that cannot be replaced is tried this often, waiting one step more each time.
constexpr int RecordSaveAttempts = 5;
constexpr int RecordRetryStepMs = 50;

std::atomic<qint64> records{0};
std::atomic<qint64> recordNanos{0};

} // namespace

namespace FileAssemblerDisk {

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
    // The disk takes the piece while the next ones come in: the batch's sync, and the one before
    // the file is moved into place at the end, then wait for little.
    Platform::startWriteBack(s->out.get(), offset, length);
    return true;
}

void recordRanges(State *s, const QVector<ResumeRecord::Range> &ranges) {
    QElapsedTimer clock;
    clock.start();
    const auto count = qScopeGuard([&clock] {
        ++records;
        recordNanos += clock.nsecsElapsed();
    });
    // The first record of a new download is made before its partial file.
    const bool nothingWritten = ranges.isEmpty() && !Platform::entryExists(s->partial);
    if (!nothingWritten && !Platform::syncFile(s->partial)) {
        qWarning() << "cannot flush file to disk" << s->partial;
        return;
    }
    for (const ResumeRecord::Range &r : ranges)
        s->record.setPresent(r.offset, r.length);
    s->mayLeaveCopies = true;
    // On Windows a reader of the record (a scanner, an indexer) makes its replacement fail for a
    // moment. Left at that, the record would lag behind the disk until the next batch, and a run
    // whose last pieces have arrived has none: try again shortly (this is a worker thread).
    Result<ResumeRecord::Error> saved;
    for (int attempt = 1;; ++attempt) {
        saved = s->record.save(s->path);
        if (saved.ok() || attempt == RecordSaveAttempts)
            break;
        qDebug() << "resume record busy, trying again" << s->path << saved.reason();
        QThread::msleep(RecordRetryStepMs * attempt);
    }
    if (saved.ok())
        s->recordedBytes = s->record.completeBytes();
    else
        qWarning() << "cannot write the resume record" << s->path << saved.reason();
}

QString writeFailureReason(State *s) {
    const qint64 missing = s->total - s->record.completeBytes();
    const QStorageInfo disk(QFileInfo(s->path).absolutePath());
    if (disk.isValid() && disk.bytesAvailable() >= 0 && disk.bytesAvailable() < missing) {
        qWarning() << "disk full" << s->path << missing << disk.bytesAvailable();
        return QStringLiteral("the disk holding %1 is full: %2 more bytes are needed (%3 bytes still to "
                              "write, %4 free)")
            .arg(s->path)
            .arg(missing - disk.bytesAvailable())
            .arg(missing)
            .arg(disk.bytesAvailable());
    }
    return s->writeFailure;
}

// When the move fails (the old file is held open, on Windows, or is busy), the file stays with a
// record of every piece, so that a later attempt or the next run puts it in place without fetching
// it again.
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

qint64 recordCount() {
    return records;
}

qint64 recordNanoseconds() {
    return recordNanos;
}

} // namespace FileAssemblerDisk
