#include "download/piecebufferpool.h"

#include "platform/platform.h"

#include <QMutexLocker>

PieceBufferPool::PieceBufferPool(int capacity, qint64 bufferSize)
    : capacity(capacity)
    , size(bufferSize) {}

PieceBufferPool::~PieceBufferPool() {
    Q_ASSERT(out == 0);
    for (char *b : qAsConst(freeBuffers))
        Platform::freeBuffer(b);
}

PieceBuffer PieceBufferPool::acquire() {
    QMutexLocker locker(&mutex);
    char *b = nullptr;
    if (!freeBuffers.isEmpty()) {
        b = freeBuffers.takeLast();
    } else if (allocated < capacity) {
        b = Platform::allocateBuffer(size);
        if (b)
            ++allocated;
    }
    if (!b) {
        starved = true;
        return PieceBuffer();
    }
    ++out;
    return PieceBuffer(this, b);
}

void PieceBufferPool::release(char *buffer) {
    if (!buffer)
        return;
    std::function<void()> notify;
    {
        QMutexLocker locker(&mutex);
        freeBuffers.append(buffer);
        --out;
        if (starved) {
            starved = false;
            notify = starvationEnded;
        }
    }
    if (notify)
        notify();
}

bool PieceBufferPool::hasFree() const {
    QMutexLocker locker(&mutex);
    return !freeBuffers.isEmpty() || allocated < capacity;
}

int PieceBufferPool::inUse() const {
    QMutexLocker locker(&mutex);
    return out;
}

void PieceBufferPool::setStarvationEnded(std::function<void()> callback) {
    QMutexLocker locker(&mutex);
    starvationEnded = std::move(callback);
}
