#include "patch/blockmap.h"

#include "patch/zipindex.h"

#include <QDebug>
#include <QFile>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <sodium.h>

namespace {

constexpr int MinRuleBlockSize = 4096;
// make() reads this much at a time (a whole number of blocks of any size).
constexpr qint64 ReadChunk = 8 * 1024 * 1024;

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

Result<BlockMap::Error> malformed(const QString &what) {
    qWarning() << "block map refused:" << what;
    return {BlockMap::Error::Malformed, QStringLiteral("block map refused: %1").arg(what)};
}

} // namespace

int BlockMap::blockSizeFor(qint64 fileSize) {
    const double half = std::sqrt(double(qMax<qint64>(fileSize, 0))) / 2;
    qint64 block = MinRuleBlockSize;
    while (block * 2 <= half || (fileSize + block - 1) / block > MaxBlockCount)
        block *= 2;
    return int(qMin<qint64>(block, MaxBlockSize));
}

bool BlockMap::wantsMap(const QString &name, qint64 size) {
    return size >= MinMappedFileSize && !ZipIndex::wantsIndex(name);
}

quint32 BlockMap::weakSumOf(const uchar *data, qint64 length) {
    return RollingSum::of(data, length);
}

void BlockMap::strongSumOf(const uchar *data, qint64 length, uchar *out) {
    sodiumReady();
    crypto_generichash(out, MaxStrongLength, data, static_cast<unsigned long long>(length), nullptr, 0);
}

Result<BlockMap::Error> BlockMap::make(const QString &path, QByteArray *map, const Progress &progress) {
    map->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qWarning() << "cannot read file to map" << path << file.errorString();
        return {Error::CannotRead,
                QStringLiteral("cannot read %1 to map it: %2").arg(path, file.errorString())};
    }
    const qint64 size = file.size();
    const int block = blockSizeFor(size);
    const qint64 count = (size + block - 1) / block;
    QByteArray out(int(HeaderSize + count * (4 + StrongLength)), '\0');
    uchar *p = reinterpret_cast<uchar *>(out.data());
    qToBigEndian<quint32>(Magic, p);
    qToBigEndian<quint32>(quint32(block), p + 4);
    qToBigEndian<quint32>(quint32(StrongLength), p + 8);
    p += HeaderSize;

    const qint64 chunkSize = qMax<qint64>(ReadChunk, block);
    QByteArray chunk(int(chunkSize), '\0');
    qint64 done = 0;
    while (done < size) {
        const qint64 want = qMin(chunkSize, size - done);
        if (file.read(chunk.data(), want) != want) {
            qWarning() << "cannot read file to map" << path << done << file.errorString();
            return {Error::CannotRead, QStringLiteral("cannot read %1 at byte %2 to map it: %3")
                                           .arg(path)
                                           .arg(done)
                                           .arg(file.errorString())};
        }
        const uchar *data = reinterpret_cast<const uchar *>(chunk.constData());
        for (qint64 at = 0; at < want; at += block) {
            const qint64 length = qMin<qint64>(block, want - at);
            uchar digest[MaxStrongLength];
            strongSumOf(data + at, length, digest);
            qToBigEndian<quint32>(weakSumOf(data + at, length), p);
            memcpy(p + 4, digest, StrongLength);
            p += 4 + StrongLength;
        }
        done += want;
        if (progress && !progress(want)) {
            qWarning() << "block map stopped" << path << done;
            return {Error::Stopped, QStringLiteral("mapping %1 was stopped at byte %2").arg(path).arg(done)};
        }
    }
    *map = out;
    return {};
}

QString BlockMap::digestHex(const QByteArray &map) {
    sodiumReady();
    uchar digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const uchar *>(map.constData()),
                       static_cast<unsigned long long>(map.size()), nullptr, 0);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

bool BlockMap::isDigest(const QString &text) {
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

Result<BlockMap::Error> BlockMap::parse(const QByteArray &bytes, qint64 fileSize, const QString &listedDigest,
                                        BlockMap *out) {
    // Nothing of a map is read before it is known to be the listed one.
    if (bytes.size() > MaxMapSize)
        return malformed(QStringLiteral("%1 bytes is more than %2").arg(bytes.size()).arg(MaxMapSize));
    const QString digest = digestHex(bytes);
    if (digest != listedDigest) {
        qWarning() << "block map digest mismatch" << digest << listedDigest;
        return {Error::DigestMismatch,
                QStringLiteral("block map digest %1 is not the listed %2").arg(digest, listedDigest)};
    }
    if (bytes.size() < HeaderSize)
        return malformed(QStringLiteral("%1 bytes is shorter than its header").arg(bytes.size()));
    const uchar *p = reinterpret_cast<const uchar *>(bytes.constData());
    const quint32 magic = qFromBigEndian<quint32>(p);
    const quint32 block = qFromBigEndian<quint32>(p + 4);
    const quint32 strongLength = qFromBigEndian<quint32>(p + 8);
    if (magic != Magic)
        return malformed(QStringLiteral("magic %1 is not %2").arg(magic, 0, 16).arg(Magic, 0, 16));
    if (block < quint32(MinBlockSize) || block > quint32(MaxBlockSize) || (block & (block - 1)) != 0)
        return malformed(QStringLiteral("block size %1 is not a power of two from %2 to %3")
                             .arg(block)
                             .arg(MinBlockSize)
                             .arg(MaxBlockSize));
    if (strongLength < quint32(MinStrongLength) || strongLength > quint32(MaxStrongLength))
        return malformed(QStringLiteral("strong sum length %1 is not from %2 to %3")
                             .arg(strongLength)
                             .arg(MinStrongLength)
                             .arg(MaxStrongLength));
    if (fileSize < 0 || fileSize > MaxBlockCount * qint64(block))
        return malformed(QStringLiteral("a file of %1 bytes needs more than %2 blocks of %3")
                             .arg(fileSize)
                             .arg(MaxBlockCount)
                             .arg(block));
    const qint64 count = (fileSize + block - 1) / block;
    const qint64 expected = HeaderSize + count * (4 + strongLength);
    if (bytes.size() != expected)
        return malformed(QStringLiteral("%1 bytes is not the %2 of a map of %3 bytes in blocks of %4")
                             .arg(bytes.size())
                             .arg(expected)
                             .arg(fileSize)
                             .arg(block));
    BlockMap map;
    map.size = fileSize;
    map.blockLength = int(block);
    map.strongLen = int(strongLength);
    map.weak.resize(int(count));
    map.strong.resize(int(count * strongLength));
    p += HeaderSize;
    for (int i = 0; i < count; ++i) {
        map.weak[i] = qFromBigEndian<quint32>(p);
        memcpy(map.strong.data() + qint64(i) * strongLength, p + 4, strongLength);
        p += 4 + strongLength;
    }
    *out = std::move(map);
    return {};
}
