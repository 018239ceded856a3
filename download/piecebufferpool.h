#pragma once

#include "download/piecebuffer.h"

#include <QMutex>
#include <QVector>
#include <QtGlobal>

#include <functional>

// Fixed-size piece buffers, reused from piece to piece so that memory stays bounded whatever the
// size of the files, and is not handed back to and fetched again from the system for every piece.
// They come from Platform::allocateBuffer: the downloaders fill them on the GUI thread, and a fault
// per 4 KiB page of a new buffer there made the thread the slowest part of the download.
// Thread-safe: buffers are taken on the GUI thread and given back by the hashing workers. The
// pool must outlive every buffer it handed out.
class PieceBufferPool {
public:
    PieceBufferPool(int capacity, qint64 bufferSize);
    ~PieceBufferPool();
    PieceBufferPool(const PieceBufferPool &) = delete;
    PieceBufferPool &operator=(const PieceBufferPool &) = delete;

    // A buffer of bufferSize() bytes, or an empty one while all `capacity` buffers are in use.
    PieceBuffer acquire();
    bool hasFree() const;
    int inUse() const;
    qint64 bufferSize() const { return size; }

    // Called (on the releasing thread) when a buffer comes back after acquire() had found none.
    void setStarvationEnded(std::function<void()> callback);

private:
    friend class PieceBuffer;
    void release(char *buffer);

    mutable QMutex mutex;
    QVector<char *> freeBuffers;
    int capacity = 0;
    int allocated = 0;
    int out = 0;
    qint64 size = 0;
    bool starved = false;
    std::function<void()> starvationEnded;
};
