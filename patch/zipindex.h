#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The entry index of a published zip archive: where each entry's bytes lie in the archive and a
// strong hash of what it unpacks to, so that a launcher that unpacked an earlier version can keep
// the entries it has and fetch the others alone, by range. All numbers little-endian, as in zip:
//   "KVZI" | format 1 (2) | 0 (2) | archive size (8) | central directory offset (8) and size (8) |
//   entry count (4) | per entry: name length (2), name (UTF-8), local header offset (8), span (8:
//   local header, name, extra field, data and data descriptor), compressed size (8), size (8),
//   CRC-32 (4), method (2: 0 stored, 8 deflated), BLAKE2b-256 of the unpacked content (32)
// Entries are in archive order; folders are not listed (unpacking makes them).
class ZipIndex {
public:
    enum class Error {
        None = 0,
        CannotRead,     // the archive is missing, is no zip archive, or the disk failed
        Unsupported,    // an entry the launcher does not unpack (encrypted, another method)
        DigestMismatch, // the index is not the one the version file lists
        Malformed       // not an index of this kind, or not of an archive of the listed size
    };

    struct Entry {
        QString name;
        qint64 headerOffset = 0;
        qint64 span = 0;
        qint64 compressedSize = 0;
        qint64 size = 0;
        quint32 crc = 0;
        quint16 method = 0;
        QByteArray hash; // HashLength bytes

        qint64 end() const { return headerOffset + span; }
    };

    static constexpr quint32 FormatVersion = 1;
    static constexpr int HeaderSize = 4 + 2 + 2 + 8 + 8 + 8 + 4;
    static constexpr int HashLength = 32;
    // An entry without its name; a local header alone takes 30 bytes beside the name.
    static constexpr int EntryFixedSize = 2 + 8 + 8 + 8 + 8 + 4 + 2 + HashLength;
    static constexpr int LocalHeaderSize = 30;
    static constexpr qint64 MaxIndexSize = 32 * 1024 * 1024;
    static constexpr qint64 MaxEntryCount = 1000000;
    // Far beyond any game, far below what a sum of sizes could overflow.
    static constexpr qint64 MaxUnpackedSize = qint64(1) << 50;
    static constexpr const char *RemoteSuffix = ".zipindex";
    static constexpr quint16 Stored = 0;
    static constexpr quint16 Deflated = 8;

    // Archives are published with an index: the files the launcher unpacks, named "*.zip".
    static bool wantsIndex(const QString &name);
    // The digest the version file lists for an index: BLAKE2b-256 as 64 lower-case hexadecimal digits.
    static QString digestHex(const QByteArray &index);

    // Reads an index fetched for an archive of archiveSize bytes, checking first that its digest is
    // the listed one, then every field against the bounds above: entries that do not overlap, lie
    // before the central directory and within the archive, and whose names pass the extraction's
    // name rules, each once.
    static Result<Error> parse(const QByteArray &bytes, qint64 archiveSize, const QString &listedDigest,
                               ZipIndex *out);
    QByteArray toBytes() const;

    qint64 archiveSize() const { return totalSize; }
    qint64 directoryOffset() const { return centralOffset; }
    qint64 directorySize() const { return centralSize; }
    const QVector<Entry> &entries() const { return list; }
    // What every entry unpacks to, together.
    qint64 unpackedSize() const;

    // Built by the publisher as it reads an archive.
    void setArchive(qint64 size, qint64 directoryOffset, qint64 directorySize);
    void append(const Entry &entry) { list.append(entry); }

private:
    qint64 totalSize = 0;
    qint64 centralOffset = 0;
    qint64 centralSize = 0;
    QVector<Entry> list;
};
