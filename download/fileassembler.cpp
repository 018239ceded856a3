#include "download/fileassembler.h"

#include "download/downloadtaskpiece.h"
#include "download/piecebufferpool.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThreadPool>

struct FileAssembler::State {
    QString path;
    qint64 total = 0;
    QThreadPool *pool = nullptr;
    PieceBufferPool *buffers = nullptr;
    QObject *receiver = nullptr;
    std::function<void(ErrorCode)> finished;

    QMutex mutex;
    QMap<int, char *> waiting; // completed pieces not yet taken by the worker
    int nextIndex = 0;         // first piece not yet hashed and written
    qint64 done = 0;           // bytes hashed and handed to the file
    bool running = false;
    bool finishing = false;
    bool finalizing = false;
    bool cancelled = false;
    QString expectedMd5;

    // Touched by one worker at a time (the running job, then the final job).
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::unique_ptr<QSaveFile> out;
    bool writeFailed = false;

    ~State() {
        for (char *b : qAsConst(waiting))
            buffers->release(b);
    }
};

namespace {

using State = FileAssembler::State;

// Small enough to stay in the processor cache between the write and the hash, and to keep
// every write cheap for the kernel.
constexpr qint64 BlockSize = 64 * 1024;

void drain(const std::shared_ptr<State> &s);
void finalize(const std::shared_ptr<State> &s);

// Starts whatever work is due. Called with the mutex held.
void kickLocked(const std::shared_ptr<State> &s) {
    if (s->cancelled)
        return;
    if (!s->running && s->waiting.contains(s->nextIndex)) {
        s->running = true;
        s->pool->start([s] { drain(s); });
    }
    if (s->finishing && !s->finalizing && !s->running && s->done == s->total) {
        s->finalizing = true;
        s->pool->start([s] { finalize(s); });
    }
}

void writeBlock(State *s, const char *data, qint64 length) {
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
    qint64 pos = 0;
    while (pos < length) {
        const qint64 n = s->out->write(data + pos, length - pos);
        if (n <= 0) {
            qWarning() << "cannot write file" << s->path << s->out->errorString();
            s->writeFailed = true;
            return;
        }
        pos += n;
    }
}

// Writes and hashes the completed pieces in file order as long as the next one is there.
void drain(const std::shared_ptr<State> &s) {
    for (;;) {
        char *buffer = nullptr;
        qint64 begin = 0;
        {
            QMutexLocker locker(&s->mutex);
            if (s->cancelled || !s->waiting.contains(s->nextIndex)) {
                s->running = false;
                kickLocked(s);
                return;
            }
            buffer = s->waiting.take(s->nextIndex);
            begin = qint64(s->nextIndex) * DownloadTaskPiece::PieceSize;
        }
        const qint64 length = qMin<qint64>(DownloadTaskPiece::PieceSize, s->total - begin);
        for (qint64 pos = 0; pos < length; pos += BlockSize) {
            const qint64 n = qMin(BlockSize, length - pos);
            writeBlock(s.get(), buffer + pos, n);
            s->hash.addData(buffer + pos, int(n));
        }
        s->buffers->release(buffer);
        QMutexLocker locker(&s->mutex);
        ++s->nextIndex;
        s->done = begin + length;
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
    ErrorCode code = NoError;
    if (digest != expected) {
        qWarning() << "md5 mismatch" << s->path << digest << expected;
        if (s->out)
            s->out->cancelWriting();
        code = VerifyError;
    } else if (s->writeFailed || !s->out) {
        code = WriteError;
    } else if (!s->out->commit()) {
        qWarning() << "cannot commit file" << s->path << s->out->errorString();
        code = WriteError;
    }
    s->out.reset();
    {
        QMutexLocker locker(&s->mutex);
        if (s->cancelled)
            return;
    }
    const std::function<void(ErrorCode)> finished = s->finished;
    QMetaObject::invokeMethod(
        s->receiver, [finished, code] { finished(code); }, Qt::QueuedConnection);
}

} // namespace

FileAssembler::FileAssembler(const QString &path, qint64 size, QThreadPool *pool, PieceBufferPool *buffers,
                             QObject *receiver, std::function<void(ErrorCode)> finished)
    : d(std::make_shared<State>())
    , total(size) {
    d->path = path;
    d->total = size;
    d->pool = pool;
    d->buffers = buffers;
    d->receiver = receiver;
    d->finished = std::move(finished);
}

FileAssembler::~FileAssembler() {
    cancel();
}

void FileAssembler::pieceCompleted(int index, char *buffer) {
    QMutexLocker locker(&d->mutex);
    if (d->cancelled || index < d->nextIndex || d->waiting.contains(index)) {
        d->buffers->release(buffer);
        return;
    }
    d->waiting.insert(index, buffer);
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
    for (char *b : qAsConst(d->waiting))
        d->buffers->release(b);
    d->waiting.clear();
}

QStringList FileAssembler::staleTemporaries(const QString &dir, const QString &name) {
    const QRegularExpression pattern(
        QStringLiteral("^%1\\.[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(name)));
    QStringList found;
    const QStringList entries =
        QDir(dir).entryList({name + QStringLiteral(".??????")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries) {
        if (pattern.match(entry).hasMatch())
            found.append(entry);
    }
    return found;
}
