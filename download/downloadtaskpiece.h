#pragma once

#include <QMetaType>
#include <QtGlobal>

struct DownloadTask;
class FetchedFile;

// One ranged request of a file: a whole 4 MiB piece, or (when the rest of the piece is on the disk
// already) a range inside one piece. Created and deleted by XDManager; downloaders only point to it.
struct DownloadTaskPiece {
    static constexpr qint32 PieceSize = 4194304;

    DownloadTask *downloadTask = nullptr; // not owned
    FetchedFile *file = nullptr;          // the file it is fetched for, in a manager's run; not owned
    qint32 index = 0;                     // the piece it belongs to starts at index * PieceSize
    qint64 end = 0;                       // offset of the request's last byte, inclusive
    qint32 retryCount = 0;                // failed attempts so far
    qint64 offset = -1;                   // offset of its first byte; -1: the piece's start
    bool takenOver = false;               // moved to a faster host at the end of a run (once at most)

    qint64 begin() const { return offset >= 0 ? offset : qint64(index) * PieceSize; }
    qint64 length() const { return qint64(end) - begin() + 1; }
};

Q_DECLARE_METATYPE(DownloadTaskPiece)
Q_DECLARE_METATYPE(DownloadTaskPiece *)
