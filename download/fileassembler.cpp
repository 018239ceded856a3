#include "download/fileassembler.h"

#include "download/downloadtaskpiece.h"
#include "download/piecebuffer.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QThreadPool>

#include <map>

struct FileAssembler::State {
    enum Lane { HashLane = 0, WriteLane = 1, LaneCount = 2 };

    QString path;
    qint64 total = 0;
    int pieceCount = 0;
    QThreadPool *pool = nullptr;
    QObject *receiver = nullptr;
    std::function<void(DownloadResult)> finished;

    QMutex mutex;
    std::map<int, PieceBuffer> pieces; // completed pieces that a lane still needs
    int next[LaneCount] = {0, 0};      // first piece the lane has not processed
    int current[LaneCount] = {-1, -1}; // piece the lane is processing outside the lock
    bool running[LaneCount] = {false, false};
    bool finishing = false;
    bool finalizing = false;
    bool cancelled = false;
    QString expectedMd5;

    // Each touched by its own lane only, then by the final job.
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::unique_ptr<QFile> out; // the temporary file beside the target
    bool writeFailed = false;
    QString writeFailure; // why, for the result

    // Gives back the buffer of piece `index` once no lane needs it any more. Mutex held.
    void releaseIfUnused(int index) {
        if (current[HashLane] == index || current[WriteLane] == index)
            return;
        if (!cancelled && (next[HashLane] <= index || next[WriteLane] <= index))
            return;
        pieces.erase(index);
    }

    // Removes the temporary file unless it has been put in place.
    void discardTemporary() {
        if (!out)
            return;
        out->close();
        out->remove();
        out.reset();
    }

    ~State() { discardTemporary(); }

    bool has(int index) const { return pieces.find(index) != pieces.end(); }
};

namespace {

using State = FileAssembler::State;

// Small enough to keep every write cheap for the kernel.
constexpr qint64 BlockSize = 64 * 1024;

void runLane(const std::shared_ptr<State> &s, int lane);
void finalize(const std::shared_ptr<State> &s);

// Starts whatever work is due. Called with the mutex held.
void kickLocked(const std::shared_ptr<State> &s) {
    if (s->cancelled)
        return;
    for (int lane = 0; lane < State::LaneCount; ++lane) {
        if (!s->running[lane] && s->has(s->next[lane])) {
            s->running[lane] = true;
            s->pool->start([s, lane] { runLane(s, lane); });
        }
    }
    if (s->finishing && !s->finalizing && !s->running[State::HashLane] && !s->running[State::WriteLane] &&
        s->next[State::HashLane] == s->pieceCount && s->next[State::WriteLane] == s->pieceCount) {
        s->finalizing = true;
        s->pool->start([s] { finalize(s); });
    }
}

void writeBlock(State *s, const char *data, qint64 length) {
    if (s->writeFailed)
        return;
    if (!s->out) {
        s->out.reset(new QFile(FileAssembler::temporaryPath(s->path)));
        if (!s->out->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            s->writeFailure = QStringLiteral("cannot open %1 for writing: %2")
                                  .arg(s->out->fileName(), s->out->errorString());
            qWarning() << "cannot open file for writing" << s->path << s->out->errorString();
            s->writeFailed = true;
            return;
        }
    }
    qint64 pos = 0;
    while (pos < length) {
        const qint64 n = s->out->write(data + pos, length - pos);
        if (n <= 0) {
            s->writeFailure = QStringLiteral("cannot write %1: %2").arg(s->path, s->out->errorString());
            qWarning() << "cannot write file" << s->path << s->out->errorString();
            s->writeFailed = true;
            return;
        }
        pos += n;
    }
}

// Hashes, or writes, the completed pieces in file order as long as the next one is there. The two
// lanes run side by side; a piece's buffer goes back to the pool when both are past it.
void runLane(const std::shared_ptr<State> &s, int lane) {
    for (;;) {
        int index;
        const char *buffer;
        {
            QMutexLocker locker(&s->mutex);
            index = s->next[lane];
            if (s->cancelled || !s->has(index)) {
                s->running[lane] = false;
                kickLocked(s);
                return;
            }
            buffer = s->pieces.at(index).data();
            s->current[lane] = index;
        }
        const qint64 begin = qint64(index) * DownloadTaskPiece::PieceSize;
        const qint64 length = qMin<qint64>(DownloadTaskPiece::PieceSize, s->total - begin);
        if (lane == State::HashLane) {
            s->hash.addData(buffer, int(length));
        } else {
            for (qint64 pos = 0; pos < length; pos += BlockSize)
                writeBlock(s.get(), buffer + pos, qMin(BlockSize, length - pos));
        }
        QMutexLocker locker(&s->mutex);
        s->current[lane] = -1;
        ++s->next[lane];
        s->releaseIfUnused(index);
    }
}

void finalize(const std::shared_ptr<State> &s) {
    QString expected;
    {
        QMutexLocker locker(&s->mutex);
        if (s->cancelled)
            return;
        expected = s->expectedMd5;
    }
    const QString digest = QString::fromLatin1(s->hash.result().toHex());
    DownloadResult result;
    if (digest != expected) {
        qWarning() << "md5 mismatch" << s->path << digest << expected;
        result = {VerifyError,
                  QStringLiteral("md5 of %1 is %2, the version file says %3").arg(s->path, digest, expected)};
    } else if (s->writeFailed || !s->out) {
        result = {WriteError, s->writeFailure.isEmpty()
                                  ? QStringLiteral("nothing was written to %1").arg(s->path)
                                  : s->writeFailure};
    } else {
        // The bytes are in the temporary file already; this syncs it and puts it under its name.
        qDebug().noquote().nospace() << "writeDataToFile " << s->path << ", " << s->total;
        s->out->close();
        if (s->out->error() != QFileDevice::NoError) {
            qWarning() << "cannot write file" << s->path << s->out->errorString();
            result = {WriteError,
                      QStringLiteral("cannot write %1: %2").arg(s->out->fileName(), s->out->errorString())};
        } else if (!Platform::replaceFile(s->out->fileName(), s->path)) {
            qWarning() << "cannot put the file in place" << s->path;
            result = {WriteError,
                      QStringLiteral("cannot put %1 in place of %2").arg(s->out->fileName(), s->path)};
        } else {
            s->out.reset();
        }
    }
    s->discardTemporary();
    {
        QMutexLocker locker(&s->mutex);
        if (s->cancelled)
            return;
    }
    const std::function<void(DownloadResult)> finished = s->finished;
    QMetaObject::invokeMethod(
        s->receiver, [finished, result] { finished(result); }, Qt::QueuedConnection);
}

} // namespace

FileAssembler::FileAssembler(const QString &path, qint64 size, QThreadPool *pool, QObject *receiver,
                             std::function<void(DownloadResult)> finished)
    : d(std::make_shared<State>())
    , total(size) {
    d->path = path;
    d->total = size;
    d->pieceCount = int((size + DownloadTaskPiece::PieceSize - 1) / DownloadTaskPiece::PieceSize);
    d->pool = pool;
    d->receiver = receiver;
    d->finished = std::move(finished);
}

FileAssembler::~FileAssembler() {
    cancel();
}

void FileAssembler::pieceCompleted(int index, PieceBuffer buffer) {
    QMutexLocker locker(&d->mutex);
    // A piece that is not wanted simply goes back to its pool with `buffer`.
    if (d->cancelled || index < 0 || index >= d->pieceCount || index < d->next[State::HashLane] ||
        d->has(index))
        return;
    d->pieces.emplace(index, std::move(buffer));
    kickLocked(d);
}

void FileAssembler::finish(const QString &expectedMd5) {
    QMutexLocker locker(&d->mutex);
    d->expectedMd5 = expectedMd5;
    d->finishing = true;
    kickLocked(d);
}

void FileAssembler::cancel() {
    QMutexLocker locker(&d->mutex);
    d->cancelled = true;
    for (auto it = d->pieces.begin(); it != d->pieces.end();) {
        const int index = it->first;
        ++it;
        d->releaseIfUnused(index);
    }
}

QString FileAssembler::temporaryPath(const QString &path) {
    return path + QLatin1String(TemporarySuffix);
}

QStringList FileAssembler::staleTemporaries(const QString &dir, const QString &name) {
    const QString temporary = name + QLatin1String(TemporarySuffix);
    if (QFileInfo(QDir(dir).filePath(temporary)).isFile())
        return {temporary};
    return {};
}
