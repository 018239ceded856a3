#pragma once

#include <QMetaType>
#include <QtGlobal>

struct DownloadTask;

// One ranged piece of a file. Created and deleted by XDManager; downloaders only point to it.
struct DownloadTaskPiece {
    static constexpr qint32 PieceSize = 4194304;

    DownloadTask *downloadTask = nullptr; // not owned
    qint32 index = 0;                     // the piece starts at index * PieceSize
    qint64 end = 0;                       // offset of the piece's last byte, inclusive
    qint32 retryCount = 0;                // failed attempts so far

    qint64 begin() const { return qint64(index) * PieceSize; }
    qint64 length() const { return qint64(end) - begin() + 1; }
};

Q_DECLARE_METATYPE(DownloadTaskPiece)
Q_DECLARE_METATYPE(DownloadTaskPiece *)
