#include "patch/zipindex.h"

#include "patch/blockmap.h"
#include "platform/filenamerules.h"

#include <QDebug>
#include <QSet>
#include <QtEndian>

#include <cstring>
#include <limits>

namespace {

const char Magic[4] = {'K', 'V', 'Z', 'I'};

Result<ZipIndex::Error> malformed(const QString &why) {
    qWarning().noquote() << "refusing zip entry index:" << why;
    return {ZipIndex::Error::Malformed, QStringLiteral("zip entry index: %1").arg(why)};
}

// Reads little-endian fields from a byte array without ever passing its end.
class Reader {
public:
    explicit Reader(const QByteArray &bytes)
        : data(reinterpret_cast<const uchar *>(bytes.constData()))
        , size(bytes.size()) {}
    qint64 left() const { return size - at; }
    bool take(int n, const uchar **out) {
        if (left() < n)
            return false;
        *out = data + at;
        at += n;
        return true;
    }
    template <typename T>
    bool number(T *out) {
        const uchar *p = nullptr;
        if (!take(int(sizeof(T)), &p))
            return false;
        *out = qFromLittleEndian<T>(p);
        return true;
    }
    // A signed size or offset: the top bit set is refused with the rest of the field's bounds.
    bool offset(qint64 *out) {
        quint64 v = 0;
        if (!number(&v) || v > quint64(std::numeric_limits<qint64>::max()))
            return false;
        *out = qint64(v);
        return true;
    }

private:
    const uchar *data;
    qint64 size;
    qint64 at = 0;
};

template <typename T>
void put(QByteArray *out, T value) {
    uchar b[sizeof(T)];
    qToLittleEndian<T>(value, b);
    out->append(reinterpret_cast<const char *>(b), int(sizeof(T)));
}

} // namespace

bool ZipIndex::wantsIndex(const QString &name) {
    return name.endsWith(QLatin1String(".zip"));
}

QString ZipIndex::digestHex(const QByteArray &index) {
    return BlockMap::digestHex(index);
}

void ZipIndex::setArchive(qint64 size, qint64 directoryOffset, qint64 directorySize) {
    totalSize = size;
    centralOffset = directoryOffset;
    centralSize = directorySize;
}

qint64 ZipIndex::unpackedSize() const {
    qint64 sum = 0;
    for (const Entry &e : list)
        sum += e.size;
    return sum;
}

QByteArray ZipIndex::toBytes() const {
    QByteArray out;
    out.reserve(HeaderSize + list.size() * (EntryFixedSize + 32));
    out.append(Magic, 4);
    put<quint16>(&out, quint16(FormatVersion));
    put<quint16>(&out, 0);
    put<quint64>(&out, quint64(totalSize));
    put<quint64>(&out, quint64(centralOffset));
    put<quint64>(&out, quint64(centralSize));
    put<quint32>(&out, quint32(list.size()));
    for (const Entry &e : list) {
        const QByteArray name = e.name.toUtf8();
        put<quint16>(&out, quint16(name.size()));
        out.append(name);
        put<quint64>(&out, quint64(e.headerOffset));
        put<quint64>(&out, quint64(e.span));
        put<quint64>(&out, quint64(e.compressedSize));
        put<quint64>(&out, quint64(e.size));
        put<quint32>(&out, e.crc);
        put<quint16>(&out, e.method);
        out.append(e.hash.left(HashLength).leftJustified(HashLength, '\0'));
    }
    return out;
}

Result<ZipIndex::Error> ZipIndex::parse(const QByteArray &bytes, qint64 archiveSize,
                                        const QString &listedDigest, ZipIndex *out) {
    // Nothing of an index is read before it is known to be the listed one.
    if (bytes.size() > MaxIndexSize)
        return malformed(QStringLiteral("%1 bytes is more than %2").arg(bytes.size()).arg(MaxIndexSize));
    const QString digest = digestHex(bytes);
    if (digest != listedDigest) {
        qWarning() << "zip entry index digest mismatch" << digest << listedDigest;
        return {Error::DigestMismatch,
                QStringLiteral("zip entry index digest %1 is not the listed %2").arg(digest, listedDigest)};
    }
    Reader r(bytes);
    const uchar *magic = nullptr;
    quint16 format = 0;
    quint16 reserved = 0;
    ZipIndex index;
    quint32 count = 0;
    if (!r.take(4, &magic) || !r.number(&format) || !r.number(&reserved) || !r.offset(&index.totalSize) ||
        !r.offset(&index.centralOffset) || !r.offset(&index.centralSize) || !r.number(&count))
        return malformed(QStringLiteral("%1 bytes is shorter than its header").arg(bytes.size()));
    if (memcmp(magic, Magic, 4) != 0)
        return malformed(QStringLiteral("it does not begin with \"KVZI\""));
    if (format != FormatVersion || reserved != 0)
        return malformed(
            QStringLiteral("format %1.%2 is not %3.0").arg(format).arg(reserved).arg(FormatVersion));
    if (index.totalSize != archiveSize)
        return malformed(QStringLiteral("it describes an archive of %1 bytes, not %2")
                             .arg(index.totalSize)
                             .arg(archiveSize));
    if (index.centralOffset > archiveSize || index.centralSize > archiveSize - index.centralOffset)
        return malformed(QStringLiteral("the central directory (%1 bytes at %2) lies beyond the archive")
                             .arg(index.centralSize)
                             .arg(index.centralOffset));
    // Every entry takes at least its fixed fields and one byte of name: a count that cannot fit is
    // refused before anything is allocated for it.
    if (count > MaxEntryCount || qint64(count) * (EntryFixedSize + 1) > r.left())
        return malformed(QStringLiteral("%1 entries do not fit in %2 bytes").arg(count).arg(bytes.size()));
    index.list.reserve(int(count));
    QSet<QString> names;
    qint64 unpacked = 0;
    qint64 previousEnd = 0;
    for (quint32 i = 0; i < count; ++i) {
        Entry e;
        quint16 nameLength = 0;
        const uchar *name = nullptr;
        if (!r.number(&nameLength) || nameLength == 0 || !r.take(nameLength, &name))
            return malformed(QStringLiteral("entry %1 has no name").arg(i));
        const QByteArray raw(reinterpret_cast<const char *>(name), nameLength);
        e.name = QString::fromUtf8(raw);
        if (e.name.toUtf8() != raw || !FileNameRules::isSafeEntryName(e.name) ||
            e.name.endsWith(QLatin1Char('/')))
            return malformed(QStringLiteral("entry %1 has an unsafe name %2")
                                 .arg(i)
                                 .arg(FileNameRules::printable(e.name)));
        const QString normalized = FileNameRules::normalizedEntryName(e.name).toLower();
        if (names.contains(normalized))
            return malformed(
                QStringLiteral("entry %1 repeats the name %2").arg(i).arg(FileNameRules::printable(e.name)));
        names.insert(normalized);
        const uchar *hash = nullptr;
        if (!r.offset(&e.headerOffset) || !r.offset(&e.span) || !r.offset(&e.compressedSize) ||
            !r.offset(&e.size) || !r.number(&e.crc) || !r.number(&e.method) || !r.take(HashLength, &hash))
            return malformed(
                QStringLiteral("entry %1 (%2) is cut short").arg(i).arg(FileNameRules::printable(e.name)));
        e.hash = QByteArray(reinterpret_cast<const char *>(hash), HashLength);
        const QString which = QStringLiteral("entry %1 (%2)").arg(i).arg(FileNameRules::printable(e.name));
        if (e.method != Stored && e.method != Deflated)
            return malformed(QStringLiteral("%1 has method %2").arg(which).arg(e.method));
        if (e.method == Stored && e.compressedSize != e.size)
            return malformed(QStringLiteral("%1 is stored with %2 bytes for %3")
                                 .arg(which)
                                 .arg(e.compressedSize)
                                 .arg(e.size));
        // The span holds the local header, the name and the data at least; entries follow each
        // other without overlapping, all before the central directory.
        if (e.span < LocalHeaderSize + nameLength || e.compressedSize > e.span - LocalHeaderSize - nameLength)
            return malformed(QStringLiteral("%1 spans %2 bytes, too few for %3 bytes of data")
                                 .arg(which)
                                 .arg(e.span)
                                 .arg(e.compressedSize));
        if (e.headerOffset < previousEnd || e.headerOffset > index.centralOffset ||
            e.span > index.centralOffset - e.headerOffset)
            return malformed(
                QStringLiteral("%1 (%2 bytes at %3) overlaps another or lies beyond the entries' end %4")
                    .arg(which)
                    .arg(e.span)
                    .arg(e.headerOffset)
                    .arg(index.centralOffset));
        previousEnd = e.end();
        if (e.size > MaxUnpackedSize - unpacked)
            return malformed(QStringLiteral("the entries unpack to more than %1 bytes").arg(MaxUnpackedSize));
        unpacked += e.size;
        index.list.append(e);
    }
    if (r.left() != 0)
        return malformed(QStringLiteral("%1 bytes follow the last entry").arg(r.left()));
    *out = std::move(index);
    return {};
}
