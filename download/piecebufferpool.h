#pragma once

#include "download/piecebuffer.h"

#include <QMutex>
#include <QThreadPool>
#include <QVector>
#include <QtGlobal>

#include <functional>

// Fixed-size piece buffers, reused from piece to piece so that memory stays bounded whatever the
// size of the files, and is not handed back to and fetched again from the system for every piece.
// They come from Platform::allocateBuffer. Those that whole pieces will fill are best made ahead of
// their use with prepare() (in huge pages where the system has them): the thread that first fills a
// new buffer pays for the kernel clearing its pages (about a millisecond per MiB here), and the
// network thread filling them waited tens of milliseconds at every start. Those acquire() makes
// itself serve small files mostly: only what their pieces use takes memory.
// Thread-safe: buffers are taken on the GUI thread, filled on the network thread and given back by
// the hashing workers. The pool must outlive every buffer it handed out and its preparation (wait
// for the thread pool).
class PieceBufferPool {
public:
    PieceBufferPool(int capacity, qint64 bufferSize);
    ~PieceBufferPool();
    PieceBufferPool(const PieceBufferPool &) = delete;
    PieceBufferPool &operator=(const PieceBufferPool &) = delete;

    // A buffer of bufferSize() bytes, or an empty one while all `capacity` buffers are in use or,
    // during a preparation, while none is ready yet (each one that gets ready ends the starvation).
    PieceBuffer acquire();
    // Makes buffers on `workers` until `count` of them exist (at most `capacity`), their pages
    // touched so that filling them faults no more.
    void prepare(int count, QThreadPool *workers);
    // Ends a preparation at its next buffer.
    void cancelPreparation();
    int inUse() const;
    qint64 bufferSize() const { return size; }
    // No buffer can be had, nor will one come back: none is out or free, none is being made, and
    // the last attempt to make one failed (the process is out of memory).
    bool exhausted() const;
    // Every attempt to make a buffer fails from now on, or no longer (tests: a process out of memory).
    static void setFailingAllocations(bool failing);

    // Called (on the releasing or preparing thread, with the pool locked: it must not call the
    // pool) when a buffer comes back or gets ready after acquire() had found none.
    void setStarvationEnded(std::function<void()> callback);

private:
    friend class PieceBuffer;
    void release(char *buffer);
    void prepareBuffers(int count);
    // Gives `buffer` to the free ones and ends a starvation.
    void addFree(char *buffer);

    mutable QMutex mutex;
    QVector<char *> freeBuffers;
    int capacity = 0;
    int allocated = 0;
    int out = 0;
    qint64 size = 0;
    bool starved = false;
    bool allocationFailed = false;
    bool preparing = false;
    bool preparationCancelled = false;
    std::function<void()> starvationEnded;
};
