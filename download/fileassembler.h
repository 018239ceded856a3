#pragma once

#include "download/errorcode.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class PieceBuffer;
class QObject;
class QThreadPool;

// Puts one file together from its pieces. Completed pieces are handed over in any order; as the
// run of completed pieces from the first byte grows, two workers of `pool` hash it (MD5) and stream
// it into a temporary file next to the target, side by side, then let the piece buffers go. So the end of a
// large file only has its tail left, and memory holds only pieces that wait for an earlier one. On finish()
// the digest is compared: equal commits the file under its name, different discards it.
//
// The result comes back on `receiver`'s thread through a queued call of `finished`, which is
// dropped after cancel(). The receiver and the buffers' pool must outlive the thread pool's jobs
// (wait for the thread pool before deleting them).
class FileAssembler {
public:
    FileAssembler(const QString &path, qint64 size, QThreadPool *pool, QObject *receiver,
                  std::function<void(DownloadResult)> finished);
    ~FileAssembler(); // cancels
    FileAssembler(const FileAssembler &) = delete;
    FileAssembler &operator=(const FileAssembler &) = delete;

    qint64 size() const { return total; }
    // Piece `index` is complete in `buffer`; the assembler owns it now and lets it go back to its
    // pool once the piece is hashed and written.
    void pieceCompleted(int index, PieceBuffer buffer);
    // All pieces completed: compare with the lower-case hex digest and commit or discard.
    void finish(const QString &expectedMd5);
    // Stops the worker, gives the buffers back and discards the temporary file; nothing is reported.
    void cancel();

    // The file is written to `path` + TemporarySuffix and moved over `path` once verified. Only
    // the launcher makes names like that, so a leftover of a killed run is safe to remove; a
    // player's "data.backup" beside "data" never is.
    static constexpr const char *TemporarySuffix = ".kestrivane-download";
    static QString temporaryPath(const QString &path);
    // Leftover of an interrupted download of `name` in `dir`, if there is one.
    static QStringList staleTemporaries(const QString &dir, const QString &name);

    struct State;

private:
    std::shared_ptr<State> d;
    qint64 total = 0;
};
