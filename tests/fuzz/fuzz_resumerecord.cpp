// A resume record as an earlier run (or anything else) may have left it beside a file: the record
// file in its slot form or in the older form of its text alone. An accepted record lists missing
// ranges in file order, within the file and each within one piece, claims no more than the file,
// and reads back the same through its text and through a slot.

#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "fuzz/fuzzcheck.h"

#include <cstdint>

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    ResumeRecord record;
    const Result<ResumeRecord::Error> read = ResumeRecord::fromFileBytes(bytes, &record);
    FUZZ_CHECK(read.ok() || !read.reason().isEmpty());
    if (!read.ok())
        return 0;

    const qint64 fileSize = record.size();
    FUZZ_CHECK(fileSize > 0);
    const QVector<ResumeRecord::Range> missing = record.missingRanges();
    qint64 end = 0;
    qint64 missingBytes = 0;
    for (const ResumeRecord::Range &r : missing) {
        FUZZ_CHECK(r.length > 0 && r.offset >= end && r.offset + r.length <= fileSize);
        const qint64 piece = r.offset / DownloadTaskPiece::PieceSize;
        FUZZ_CHECK((r.offset + r.length - 1) / DownloadTaskPiece::PieceSize == piece);
        end = r.offset + r.length;
        missingBytes += r.length;
    }
    FUZZ_CHECK(record.completeBytes() == fileSize - missingBytes);
    FUZZ_CHECK(record.extents().size() <= ResumeRecord::MaxExtents);

    // Through its text and through a slot: the same state.
    const QByteArray text = record.toBytes();
    ResumeRecord again;
    FUZZ_CHECK(ResumeRecord::fromBytes(text, &again).ok());
    FUZZ_CHECK(again.completeBytes() == record.completeBytes());
    if (text.size() <= record.slotSize() - ResumeRecord::SlotHeaderSize) {
        QByteArray file = ResumeRecord::slot(7, text, record.slotSize());
        file.append(QByteArray(record.slotSize(), '\0'));
        ResumeRecord fromSlot;
        FUZZ_CHECK(ResumeRecord::fromFileBytes(file, &fromSlot).ok());
        FUZZ_CHECK(fromSlot.missingRanges().size() == missing.size());
    }
    return 0;
}
