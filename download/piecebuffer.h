#pragma once

#include <QtGlobal>

class PieceBufferPool;

// Memory for one piece, taken from a PieceBufferPool. Move-only: exactly one owner at a time
// (a downloader while the piece is received, then the file assembler), and the memory goes back to
// its pool when the owner lets go of it. An empty buffer (default-constructed or moved from) owns
// nothing.
class PieceBuffer {
public:
    PieceBuffer() = default;
    ~PieceBuffer() { reset(); }
    PieceBuffer(PieceBuffer &&other) noexcept;
    PieceBuffer &operator=(PieceBuffer &&other) noexcept;
    PieceBuffer(const PieceBuffer &) = delete;
    PieceBuffer &operator=(const PieceBuffer &) = delete;

    bool isNull() const { return bytes == nullptr; }
    explicit operator bool() const { return bytes != nullptr; }
    char *data() { return bytes; }
    const char *data() const { return bytes; }
    // Room in bytes (the pool's buffer size); 0 when empty.
    qint64 capacity() const;
    // Gives the memory back to the pool now.
    void reset();

private:
    friend class PieceBufferPool;
    PieceBuffer(PieceBufferPool *pool, char *bytes)
        : pool(pool)
        , bytes(bytes) {}

    PieceBufferPool *pool = nullptr;
    char *bytes = nullptr;
};
