// A zip entry index as the CDN may serve it: the first 8 bytes are the listed archive size
// (little-endian, the version file bounds it), the rest is the index. The index is offered with its
// own digest, so the parser itself is reached; an accepted index must keep every entry within the
// bounds, write back to the same bytes, and be refused under any other digest.

#include "fuzz/fuzzcheck.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"

#include <QtEndian>

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quietQtLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8)
        return 0;
    const qint64 archiveSize =
        qint64(qFromLittleEndian<quint64>(data) % quint64(VersionTable::MaxListedFileSize + 1));
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 8, int(size - 8));
    const QString digest = ZipIndex::digestHex(bytes);

    ZipIndex index;
    const Result<ZipIndex::Error> read = ZipIndex::parse(bytes, archiveSize, digest, &index);
    FUZZ_CHECK(read.ok() || !read.reason().isEmpty());
    if (!read.ok())
        return 0;
    FUZZ_CHECK(index.archiveSize() == archiveSize);
    FUZZ_CHECK(index.directoryOffset() + index.directorySize() <= archiveSize);
    FUZZ_CHECK(index.entries().size() <= ZipIndex::MaxEntryCount);
    qint64 end = 0;
    for (const ZipIndex::Entry &e : index.entries()) {
        FUZZ_CHECK(e.headerOffset >= end && e.span > 0 && e.end() <= index.directoryOffset());
        FUZZ_CHECK(e.compressedSize >= 0 && e.compressedSize < e.span && e.size >= 0);
        FUZZ_CHECK(FileNameRules::isSafeEntryName(e.name) && !e.name.endsWith(QLatin1Char('/')));
        FUZZ_CHECK(e.hash.size() == ZipIndex::HashLength);
        end = e.end();
    }
    FUZZ_CHECK(index.unpackedSize() <= ZipIndex::MaxUnpackedSize);
    FUZZ_CHECK(index.toBytes() == bytes);

    // Under any other digest the same bytes are refused before they are read.
    ZipIndex other;
    QString wrong = digest;
    wrong[0] = wrong.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    FUZZ_CHECK(ZipIndex::parse(bytes, archiveSize, wrong, &other).code() == ZipIndex::Error::DigestMismatch);
    return 0;
}
