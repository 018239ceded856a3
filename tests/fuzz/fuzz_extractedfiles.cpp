// The record of the files an archive installed, as anything may have left it in the launcher's folder.
// An accepted record names only files below the folder, each a normalized entry name with a 32-byte
// digest, and reads back the same through its text.

#include "archive/extractedfiles.h"
#include "fuzz/fuzzcheck.h"
#include "platform/filenamerules.h"

#include <cstdint>

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    ExtractedFiles record;
    const Result<ExtractedFiles::Error> read = ExtractedFiles::fromBytes(bytes, &record);
    FUZZ_CHECK(read.ok() || !read.reason().isEmpty());
    if (!read.ok())
        return 0;
    FUZZ_CHECK(!record.version().isEmpty());
    FUZZ_CHECK(record.indexDigest().isEmpty() || record.indexDigest().size() == 64);
    FUZZ_CHECK(record.files().size() <= ExtractedFiles::MaxFiles);
    for (const ExtractedFiles::File &f : record.files()) {
        FUZZ_CHECK(f.blake2b.size() == 32);
        FUZZ_CHECK(FileNameRules::isSafeEntryName(f.name) && !f.name.endsWith(QLatin1Char('/')));
        FUZZ_CHECK(FileNameRules::normalizedEntryName(f.name) == f.name);
    }
    // What it accepts is exactly what it writes.
    FUZZ_CHECK(record.toBytes() == bytes);
    return 0;
}
