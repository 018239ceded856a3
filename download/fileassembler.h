#pragma once

#include "download/errorcode.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class QObject;
class QThreadPool;

// In-memory image of one file being downloaded in pieces. As the run of completed pieces from the
// first byte grows, worker threads of `pool` hash it (MD5) and stream it into a QSaveFile next to
// the target, so that the end of a large file only has its tail left to hash and write. On
// finish() the digest is compared: equal commits the file under its name, different discards it.
//
// Results come back on `receiver`'s thread through queued calls: `imageDone` once the image is no
// longer needed (hashed and written), then `finished` with the file's result. Both are dropped
// after cancel(). The receiver must outlive the pool's jobs (wait for the pool before deleting it).
class FileAssembler {
public:
    // Bytes hashed or written per step of a worker.
    static constexpr qint64 ChunkSize = 2 * 1024 * 1024;

    FileAssembler(const QString &path, qint64 size, QThreadPool *pool, QObject *receiver,
                  std::function<void()> imageDone, std::function<void(ErrorCode)> finished);
    ~FileAssembler(); // cancels
    FileAssembler(const FileAssembler &) = delete;
    FileAssembler &operator=(const FileAssembler &) = delete;

    // False when the image could not be allocated.
    bool isValid() const;
    qint64 size() const { return total; }
    // The image, shared (writes through pieceData() show in every copy).
    QByteArray image() const;
    // Where piece `index` starts in the image.
    char *pieceData(int index) const;

    // Piece `index` holds its final bytes; they are never written again.
    void pieceCompleted(int index);
    // All pieces completed: compare with the lower-case hex digest and commit or discard.
    void finish(const QString &expectedMd5);
    // Stops the workers; the temporary file is discarded, nothing is reported.
    void cancel();

    // Leftovers of interrupted saves of `name` in `dir` (name + "." + six letters or digits).
    static QStringList staleTemporaries(const QString &dir, const QString &name);

    struct State;

private:
    std::shared_ptr<State> d;
    qint64 total = 0;
    QVector<bool> completed;
    int prefixPieces = 0;
};
