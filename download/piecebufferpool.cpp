#include "download/piecebufferpool.h"

#include "platform/platform.h"

#include <QMutexLocker>

#include <atomic>

namespace {

std::atomic<bool> failingAllocations{false};

char *allocate(qint64 size, bool whole) {
    return failingAllocations.load() ? nullptr : Platform::allocateBuffer(size, whole);
}

} // namespace

void PieceBufferPool::setFailingAllocations(bool failing) {
    failingAllocations.store(failing);
}

bool PieceBufferPool::exhausted() const {
    QMutexLocker locker(&mutex);
    return out == 0 && freeBuffers.isEmpty() && !preparing && allocationFailed;
}

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
    } else if (!preparing && allocated < capacity) {
        b = allocate(size, false); // for pieces of small files mostly
        allocationFailed = !b;
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
    {
        QMutexLocker locker(&mutex);
        --out;
    }
    addFree(buffer);
}

void PieceBufferPool::addFree(char *buffer) {
    // Called under the lock: once setStarvationEnded(nullptr) returns, no call is under way.
    QMutexLocker locker(&mutex);
    if (buffer)
        freeBuffers.append(buffer);
    if (starved) {
        starved = false;
        if (starvationEnded)
            starvationEnded();
    }
}

void PieceBufferPool::prepare(int count, QThreadPool *workers) {
    const int target = qMin(count, capacity);
    {
        QMutexLocker locker(&mutex);
        if (preparing || allocated >= target)
            return;
        preparing = true;
        preparationCancelled = false;
    }
    workers->start([this, target] { prepareBuffers(target); });
}

void PieceBufferPool::prepareBuffers(int count) {
    for (;;) {
        {
            QMutexLocker locker(&mutex);
            if (preparationCancelled || allocated >= count) {
                preparing = false;
                break;
            }
        }
        char *b = allocate(size, true);
        if (b) {
            // One write per small page: the kernel clears each page (or huge page) here, not later
            // on the thread that fills the buffer.
            for (qint64 at = 0; at < size; at += 4096)
                b[at] = 0;
        }
        {
            QMutexLocker locker(&mutex);
            if (b)
                ++allocated;
            else
                preparing = false; // acquire() tries again itself and reports the shortage
            allocationFailed = !b;
        }
        addFree(b);
        if (!b)
            return;
    }
    // Whoever waited for a prepared buffer may allocate its own now.
    addFree(nullptr);
}

void PieceBufferPool::cancelPreparation() {
    QMutexLocker locker(&mutex);
    preparationCancelled = true;
}

int PieceBufferPool::inUse() const {
    QMutexLocker locker(&mutex);
    return out;
}

void PieceBufferPool::setStarvationEnded(std::function<void()> callback) {
    QMutexLocker locker(&mutex);
    starvationEnded = std::move(callback);
}
