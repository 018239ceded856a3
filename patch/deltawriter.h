#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Puts the blocks an old copy holds into the partial file of the new version, at their offsets in the
// new file, as the matcher finds them (BlockMatcher::match), so the old copy is read and hashed once.
// The partial file takes the new file's size; what is still to be fetched stays a hole. Blocks that
// follow each other in the new file go out in one write of up to 4 MiB. Used on one thread at a time.
class DeltaWriter {
public:
    enum class Error { None = 0, CannotWrite };

    // Opens the partial file at path (created when missing, never through a link) and gives it the new
    // file's size.
    Result<Error> open(const QString &path, qint64 newSize);
    // The bytes of the new file at newOffset.
    Result<Error> put(qint64 newOffset, const uchar *bytes, qint64 length);
    // Writes what is pending and closes the file. The blocks are not on the disk yet: a record may
    // list them only after the file is synced (the download's first record syncs it), so the fetch
    // of the missing ranges need not wait for the disk.
    Result<Error> finish();
    qint64 writtenBytes() const { return written; }

private:
    Result<Error> flush();
    Result<Error> failed(qint64 offset);

    QFile file;
    QString path;
    QByteArray pending;
    qint64 pendingOffset = 0;
    qint64 written = 0;
};
