#pragma once

#include "patch/zipindex.h"

#include <QByteArray>
#include <QHash>
#include <QString>

// The mode of an entry as its central directory record gives it: the host that made it (the high
// byte of "version made by") and its external attributes, which applyEntryPermissions() reads.
namespace ZipEntryModes {

struct Mode {
    quint16 versionMadeBy = 20; // made on DOS: no mode
    quint32 externalAttributes = 0;

    bool givesMode() const;
};

// The modes the central directory `directory` (the bytes of the range the index lists) gives the
// entries of `index`, by their place in it. The directory is not signed: a record counts only when
// its name, CRC, sizes and local header offset are the ones the index lists for that entry; reading
// stops at the first bytes that are no whole record.
QHash<int, Mode> read(const QByteArray &directory, const ZipIndex &index);

// The mode an entry made on Unix would give the file at `path` now; none when there is no such file.
Mode ofFile(const QString &path);

} // namespace ZipEntryModes
