#include "download/piecebuffer.h"

#include "download/piecebufferpool.h"

#include <utility>

PieceBuffer::PieceBuffer(PieceBuffer &&other) noexcept
    : pool(std::exchange(other.pool, nullptr))
    , bytes(std::exchange(other.bytes, nullptr)) {}

PieceBuffer &PieceBuffer::operator=(PieceBuffer &&other) noexcept {
    if (this != &other) {
        reset();
        pool = std::exchange(other.pool, nullptr);
        bytes = std::exchange(other.bytes, nullptr);
    }
    return *this;
}

qint64 PieceBuffer::capacity() const {
    return bytes ? pool->bufferSize() : 0;
}

void PieceBuffer::reset() {
    if (!bytes)
        return;
    PieceBufferPool *owner = std::exchange(pool, nullptr);
    owner->release(std::exchange(bytes, nullptr));
}
