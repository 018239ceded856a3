#include "download/fileassembler.h"

#include "download/downloadtaskpiece.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThreadPool>

#include <limits>
#include <new>

struct FileAssembler::State {
    enum Lane { HashLane = 0, WriteLane = 1, LaneCount = 2 };

    QString path;
    qint64 total = 0;
    QThreadPool *pool = nullptr;
    QObject *receiver = nullptr;
    std::function<void()> imageDone;
    std::function<void(ErrorCode)> finished;

    QByteArray image;
    const char *base = nullptr;

    QMutex mutex;
    qint64 ready = 0; // bytes of the completed run of pieces from the first byte
    qint64 laneDone[LaneCount] = {0, 0};
    bool laneRunning[LaneCount] = {false, false};
    bool finishing = false;
    bool finalizing = false;
    bool cancelled = false;
    QString expectedMd5;

    // Touched by one worker at a time (the lane's own job, then the final job).
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::unique_ptr<QSaveFile> out;
    bool writeFailed = false;
};

namespace {

using State = FileAssembler::State;

void runLane(const std::shared_ptr<State> &s, int lane);
void finalize(const std::shared_ptr<State> &s);

// Starts whatever work is due. Called with the mutex held.
void kickLocked(const std::shared_ptr<State> &s) {
    if (s->cancelled)
        return;
    for (int lane = 0; lane < State::LaneCount; ++lane) {
        if (!s->laneRunning[lane] && s->laneDone[lane] < s->ready) {
            s->laneRunning[lane] = true;
            s->pool->start([s, lane] { runLane(s, lane); });
        }
    }
    if (s->finishing && !s->finalizing && !s->laneRunning[State::HashLane] &&
        !s->laneRunning[State::WriteLane] && s->laneDone[State::HashLane] == s->total &&
        s->laneDone[State::WriteLane] == s->total) {
        s->finalizing = true;
        s->pool->start([s] { finalize(s); });
    }
}

void writeRange(State *s, qint64 from, qint64 to) {
    if (s->writeFailed)
        return;
    if (!s->out) {
        s->out.reset(new QSaveFile(s->path));
        if (!s->out->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            qWarning() << "cannot open file for writing" << s->path << s->out->errorString();
            s->writeFailed = true;
            return;
        }
    }
    qint64 pos = from;
    while (pos < to) {
        const qint64 n = s->out->write(s->base + pos, to - pos);
        if (n <= 0) {
            qWarning() << "cannot write file" << s->path << s->out->errorString();
            s->writeFailed = true;
            return;
        }
        pos += n;
    }
}

void runLane(const std::shared_ptr<State> &s, int lane) {
    for (;;) {
        qint64 from;
        qint64 to;
        {
            QMutexLocker locker(&s->mutex);
            from = s->laneDone[lane];
            if (s->cancelled || from >= s->ready) {
                s->laneRunning[lane] = false;
                kickLocked(s);
                return;
            }
            to = qMin(s->ready, from + FileAssembler::ChunkSize);
        }
        if (lane == State::HashLane)
            s->hash.addData(s->base + from, int(to - from));
        else
            writeRange(s.get(), from, to);
        QMutexLocker locker(&s->mutex);
        s->laneDone[lane] = to;
    }
}

void post(const std::shared_ptr<State> &s, std::function<void()> call) {
    QMetaObject::invokeMethod(s->receiver, std::move(call), Qt::QueuedConnection);
}

void finalize(const std::shared_ptr<State> &s) {
    const QString digest = QString::fromLatin1(s->hash.result().toHex());
    QString expected;
    {
        QMutexLocker locker(&s->mutex);
        if (s->cancelled)
            return;
        expected = s->expectedMd5;
    }
    const bool match = (digest == expected);
    if (!match) {
        qWarning() << "md5 mismatch" << s->path << digest << expected;
        if (s->out)
            s->out->cancelWriting();
        s->out.reset();
    }
    // The bytes are hashed and handed to the file; the image can go before the file is synced.
    s->image = QByteArray();
    s->base = nullptr;
    post(s, s->imageDone);

    ErrorCode code = VerifyError;
    if (match) {
        if (s->writeFailed || !s->out || !s->out->commit()) {
            if (s->out && !s->writeFailed)
                qWarning() << "cannot commit file" << s->path << s->out->errorString();
            code = WriteError;
        } else {
            code = NoError;
        }
        s->out.reset();
    }
    {
        QMutexLocker locker(&s->mutex);
        if (s->cancelled)
            return;
    }
    const std::function<void(ErrorCode)> finished = s->finished;
    post(s, [finished, code] { finished(code); });
}

} // namespace

FileAssembler::FileAssembler(const QString &path, qint64 size, QThreadPool *pool, QObject *receiver,
                             std::function<void()> imageDone, std::function<void(ErrorCode)> finished)
    : d(std::make_shared<State>())
    , total(size) {
    d->path = path;
    d->total = size;
    d->pool = pool;
    d->receiver = receiver;
    d->imageDone = std::move(imageDone);
    d->finished = std::move(finished);
    const int pieces = int((size + DownloadTaskPiece::PieceSize - 1) / DownloadTaskPiece::PieceSize);
    completed.fill(false, pieces);
    if (size > 0 && size < qint64(std::numeric_limits<int>::max()) - 64) {
        try {
            // Uninitialised: pages are only touched as the pieces arrive.
            d->image = QByteArray(int(size), Qt::Uninitialized);
            d->base = d->image.constData();
        } catch (const std::bad_alloc &) {
            qWarning() << "cannot allocate file image" << path << size;
            d->image = QByteArray();
        }
    }
}

FileAssembler::~FileAssembler() {
    cancel();
}

bool FileAssembler::isValid() const {
    return d->base != nullptr;
}

QByteArray FileAssembler::image() const {
    return d->image;
}

char *FileAssembler::pieceData(int index) const {
    return const_cast<char *>(d->base) + qint64(index) * DownloadTaskPiece::PieceSize;
}

void FileAssembler::pieceCompleted(int index) {
    if (index < 0 || index >= completed.size() || completed.at(index))
        return;
    completed[index] = true;
    const int before = prefixPieces;
    while (prefixPieces < completed.size() && completed.at(prefixPieces))
        ++prefixPieces;
    if (prefixPieces == before)
        return;
    QMutexLocker locker(&d->mutex);
    d->ready = qMin(total, qint64(prefixPieces) * DownloadTaskPiece::PieceSize);
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
}

QStringList FileAssembler::staleTemporaries(const QString &dir, const QString &name) {
    const QRegularExpression pattern(
        QStringLiteral("^%1\\.[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(name)));
    QStringList found;
    const QStringList entries =
        QDir(dir).entryList({name + QStringLiteral(".??????")}, QDir::Files | QDir::Hidden);
    for (const QString &entry : entries) {
        if (pattern.match(entry).hasMatch())
            found.append(entry);
    }
    return found;
}
