// A block map as the CDN may serve it: the first 8 bytes are the listed file size (little-endian, the
// version file bounds it), the rest is the map. The map is offered with its own digest, so the parser
// itself is reached; an accepted map must describe the listed size within the bounds, be refused under
// any other digest, and give the matcher a plan that covers the file exactly, requests within pieces.

#include "fuzz/fuzzcheck.h"
#include "patch/blockmap.h"
#include "patch/blockmatcher.h"
#include "trust/versiontable.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdint>

namespace {

// One scratch folder for the run: the old copy the matcher scans.
QString oldCopy() {
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("old"));
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quietQtLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8)
        return 0;
    const qint64 fileSize =
        qint64(qFromLittleEndian<quint64>(data) % quint64(VersionTable::MaxListedFileSize + 1));
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 8, int(size - 8));
    const QString digest = BlockMap::digestHex(bytes);
    FUZZ_CHECK(BlockMap::isDigest(digest));

    BlockMap map;
    const Result<BlockMap::Error> read = BlockMap::parse(bytes, fileSize, digest, &map);
    FUZZ_CHECK(read.ok() || !read.reason().isEmpty());
    if (!read.ok())
        return 0;
    const int block = map.blockSize();
    FUZZ_CHECK(block >= BlockMap::MinBlockSize && block <= BlockMap::MaxBlockSize &&
               (block & (block - 1)) == 0);
    FUZZ_CHECK(map.strongLength() >= BlockMap::MinStrongLength &&
               map.strongLength() <= BlockMap::MaxStrongLength);
    FUZZ_CHECK(map.blockCount() == (fileSize + block - 1) / block &&
               map.blockCount() <= BlockMap::MaxBlockCount);
    FUZZ_CHECK(map.fileSize() == fileSize);
    if (map.blockCount() > 0)
        FUZZ_CHECK(map.blockBytes(map.blockCount() - 1) >= 1 &&
                   map.blockBytes(map.blockCount() - 1) <= block);

    // Under any other digest the same bytes are refused before they are read.
    BlockMap other;
    QString wrong = digest;
    wrong[0] = wrong.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    FUZZ_CHECK(BlockMap::parse(bytes, fileSize, wrong, &other).code() == BlockMap::Error::DigestMismatch);

    // The map's own bytes as the old copy: whatever it finds, the plan covers the new file once.
    QFile old(oldCopy());
    FUZZ_CHECK(old.open(QIODevice::WriteOnly | QIODevice::Truncate) && old.write(bytes) == bytes.size());
    old.close();
    BlockMatcher matcher(map);
    DeltaPlan plan;
    FUZZ_CHECK(matcher.match(oldCopy(), &plan).ok());
    FUZZ_CHECK(plan.reusedBytes + plan.requestBytes == fileSize);
    qint64 end = 0;
    for (const DeltaPlan::Range &r : plan.requests) {
        FUZZ_CHECK(r.offset >= end && r.length > 0 && r.length <= DeltaPlan::MaxRequestBytes);
        FUZZ_CHECK(r.offset / DeltaPlan::MaxRequestBytes ==
                   (r.offset + r.length - 1) / DeltaPlan::MaxRequestBytes);
        end = r.offset + r.length;
    }
    FUZZ_CHECK(end <= fileSize);
    for (const DeltaPlan::Reuse &u : plan.reused)
        FUZZ_CHECK(u.oldOffset >= 0 && u.oldOffset + map.blockBytes(u.block) <= bytes.size());
    return 0;
}
