#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

// The block map of a published file: for each block of the file a rolling (weak) sum and a strong
// sum, so that a launcher holding an older copy can find the blocks it already has, wherever they
// moved, and fetch only the rest. The format is rdiff's signature (librsync's default kind:
// RabinKarp rolling sum, BLAKE2b strong sum), all numbers big-endian:
//   magic 0x72730147 | block size (4) | strong sum length (4) | per block: weak sum (4), strong sum
// The last block may be shorter than the block size. `rdiff -b <block size> -S 8 signature FILE`
// writes the same bytes as make().
class BlockMap {
public:
    enum class Error {
        None = 0,
        CannotRead,     // the file to map is missing or the disk failed
        Stopped,        // the progress callback asked to stop
        DigestMismatch, // the map is not the one the version file lists
        Malformed       // not a map of this kind, or not of a file of the listed size
    };

    static constexpr quint32 Magic = 0x72730147;
    static constexpr int HeaderSize = 12;
    // What make() writes: 8 bytes of BLAKE2b behind a 32-bit rolling sum leave a false match of two
    // different blocks out of reach (and the whole file's MD5 is checked anyway); a map of 12 bytes
    // per block.
    static constexpr int StrongLength = 8;
    static constexpr int MinStrongLength = 8;
    static constexpr int MaxStrongLength = 32;
    // Block sizes are powers of two in this range, so a block never straddles a 4 MiB piece.
    static constexpr int MinBlockSize = 1024;
    static constexpr int MaxBlockSize = 4 * 1024 * 1024;
    // Bounds what a map from the CDN may cost in memory and time (a map of 1 TiB has 2^20 blocks).
    static constexpr qint64 MaxBlockCount = 1 << 20;
    static constexpr qint64 MaxMapSize = HeaderSize + MaxBlockCount * (4 + MaxStrongLength);
    // Smaller files are fetched whole: a map would save little.
    static constexpr qint64 MinMappedFileSize = 4 * 1024 * 1024;
    // The map of "v<version>_<name>" lies beside it as "v<version>_<name>.blockmap".
    static constexpr const char *RemoteSuffix = ".blockmap";

    // Block size for a file: the largest power of two at most sqrt(size) / 2, at least 4 KiB, and large
    // enough for at most MaxBlockCount blocks. 1 GiB: 16 KiB blocks, a map of 0.07 % of the file.
    static int blockSizeFor(qint64 fileSize);
    // Whether a published file gets a map: not a zip archive (deleted after unpacking, so no old copy
    // is left to reuse: it gets an entry index instead) and at least MinMappedFileSize.
    static bool wantsMap(const QString &name, qint64 size);

    // The map of the file at path, read once in large blocks. progress gets each block's size and
    // may stop the work by returning false.
    using Progress = std::function<bool(qint64 bytes)>;
    static Result<Error> make(const QString &path, QByteArray *map, const Progress &progress = Progress());
    // The digest the version file lists for a map: BLAKE2b-256 as 64 lower-case hexadecimal digits.
    static QString digestHex(const QByteArray &map);
    static bool isDigest(const QString &text);

    // Reads a map fetched for a file of fileSize bytes, checking first that its digest is the listed
    // one, then every field against the bounds above.
    static Result<Error> parse(const QByteArray &bytes, qint64 fileSize, const QString &listedDigest,
                               BlockMap *out);

    qint64 fileSize() const { return size; }
    int blockSize() const { return blockLength; }
    int strongLength() const { return strongLen; }
    int blockCount() const { return weak.size(); }
    qint64 blockOffset(int index) const { return qint64(index) * blockLength; }
    int blockBytes(int index) const { return int(qMin<qint64>(blockLength, size - blockOffset(index))); }
    quint32 weakSum(int index) const { return weak.at(index); }
    const uchar *strongSum(int index) const {
        return reinterpret_cast<const uchar *>(strong.constData()) + qint64(index) * strongLen;
    }

    // The sums as the map holds them; strongSumOf writes MaxStrongLength bytes.
    static quint32 weakSumOf(const uchar *data, qint64 length);
    static void strongSumOf(const uchar *data, qint64 length, uchar *out);

private:
    qint64 size = 0;
    int blockLength = 0;
    int strongLen = 0;
    QVector<quint32> weak;
    QByteArray strong;
};

// librsync's RabinKarp rolling sum over a window of fixed length: the hash of a window is
// 1 * M^n + sum of byte[i] * M^(n-1-i), modulo 2^32; moving the window by one byte costs two multiplies.
class RollingSum {
public:
    static constexpr quint32 Mult = 0x08104225u;

    explicit RollingSum(qint64 windowLength) {
        quint32 multPower = 1;
        for (qint64 i = 0; i < windowLength; ++i)
            multPower *= Mult;
        for (int out = 0; out < 256; ++out)
            outTerm[out] = multPower * (quint32(out) + Mult - 1);
    }
    static quint32 of(const uchar *data, qint64 length) {
        quint32 h = 1;
        for (qint64 i = 0; i < length; ++i)
            h = h * Mult + data[i];
        return h;
    }
    // The hash of the window one byte further: `out` leaves it, `in` enters it.
    quint32 rotate(quint32 h, uchar out, uchar in) const { return h * Mult + in - outTerm[out]; }

private:
    // What the leaving byte takes away: M^n * (byte + M - 1), the seed's share included.
    quint32 outTerm[256];
};
