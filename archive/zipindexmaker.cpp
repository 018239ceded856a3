#include "archive/zipindexmaker.h"

#include "archive/zipformat.h"
#include "archive/zipreader.h"

#include <QDebug>
#include <QFile>
#include <QtEndian>

#include <limits>
#include <memory>
#include <sodium.h>

namespace {

constexpr quint32 DescriptorSignature = 0x08074b50;
constexpr int CentralHeaderSize = 46;
constexpr quint32 Zip64Marker = 0xffffffff;

Result<ZipIndex::Error> cannotRead(const QString &path, const QString &why) {
    qWarning().noquote() << "cannot index zip archive" << path << why;
    return {ZipIndex::Error::CannotRead, QStringLiteral("cannot index %1: %2").arg(path, why)};
}

bool readAt(QFile &file, qint64 offset, int length, QByteArray *out) {
    if (!file.seek(offset))
        return false;
    *out = file.read(length);
    return out->size() == length;
}

// The Zip64 extra field's value for a header field that holds the marker: the fields it carries
// come in a fixed order, each present only when its header field is the marker.
bool zip64Field(const QByteArray &extra, int index, qint64 *value) {
    const auto *p = reinterpret_cast<const uchar *>(extra.constData());
    int at = 0;
    while (at + 4 <= extra.size()) {
        const quint16 id = qFromLittleEndian<quint16>(p + at);
        const quint16 length = qFromLittleEndian<quint16>(p + at + 2);
        if (at + 4 + length > extra.size())
            return false;
        if (id == ZipFormat::Zip64ExtraId) {
            if ((index + 1) * 8 > length)
                return false;
            const quint64 v = qFromLittleEndian<quint64>(p + at + 4 + index * 8);
            if (v > quint64(std::numeric_limits<qint64>::max()))
                return false;
            *value = qint64(v);
            return true;
        }
        at += 4 + length;
    }
    return false;
}

bool hasZip64Extra(const QByteArray &extra) {
    qint64 unused = 0;
    return zip64Field(extra, 0, &unused);
}

struct Closer {
    void operator()(void *zip) const { unzClose(static_cast<unzFile>(zip)); }
};

} // namespace

Result<ZipIndex::Error> ZipIndexMaker::make(const QString &path, ZipIndex *out) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return cannotRead(path, file.errorString());
    const std::unique_ptr<void, Closer> zip(ZipReader::open(path));
    if (!zip)
        return cannotRead(path, QStringLiteral("it is no zip archive"));
    unzFile z = static_cast<unzFile>(zip.get());

    ZipIndex index;
    qint64 directoryStart = -1;
    qint64 directoryEnd = 0;
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (int status = unzGoToFirstFile(z); status == UNZ_OK; status = unzGoToNextFile(z)) {
        unz_file_info64 info;
        QString name;
        if (!ZipReader::currentEntry(z, &info, &name))
            return cannotRead(path, QStringLiteral("an entry of its central directory cannot be read"));
        // The entry's record in the central directory gives where its local header starts.
        const qint64 recordAt = qint64(unzGetOffset64(z));
        QByteArray record;
        if (!readAt(file, recordAt, CentralHeaderSize, &record) ||
            qFromLittleEndian<quint32>(record.constData()) != ZipFormat::CentralSignature)
            return cannotRead(path, QStringLiteral("no central directory record at %1").arg(recordAt));
        const auto *r = reinterpret_cast<const uchar *>(record.constData());
        const quint16 recordName = qFromLittleEndian<quint16>(r + 28);
        const quint16 recordExtra = qFromLittleEndian<quint16>(r + 30);
        const quint16 recordComment = qFromLittleEndian<quint16>(r + 32);
        if (directoryStart < 0)
            directoryStart = recordAt;
        directoryEnd = recordAt + CentralHeaderSize + recordName + recordExtra + recordComment;
        if (name.endsWith(QLatin1Char('/')))
            continue; // a folder: unpacking makes it
        if (info.flag & 1)
            return {ZipIndex::Error::Unsupported,
                    QStringLiteral("%1: entry %2 is encrypted").arg(path, name)};
        if (info.compression_method != ZipIndex::Stored && info.compression_method != ZipIndex::Deflated)
            return {
                ZipIndex::Error::Unsupported,
                QStringLiteral("%1: entry %2 uses method %3").arg(path, name).arg(info.compression_method)};
        qint64 headerOffset = qFromLittleEndian<quint32>(r + 42);
        if (quint32(headerOffset) == Zip64Marker) {
            QByteArray extra;
            // Sizes that hold the marker come first in the Zip64 field.
            const int index64 = (qFromLittleEndian<quint32>(r + 24) == Zip64Marker ? 1 : 0) +
                                (qFromLittleEndian<quint32>(r + 20) == Zip64Marker ? 1 : 0);
            if (!readAt(file, recordAt + CentralHeaderSize + recordName, recordExtra, &extra) ||
                !zip64Field(extra, index64, &headerOffset))
                return cannotRead(path, QStringLiteral("entry %1 has no Zip64 header offset").arg(name));
        }
        QByteArray local;
        if (!readAt(file, headerOffset, ZipIndex::LocalHeaderSize, &local) ||
            qFromLittleEndian<quint32>(local.constData()) != ZipFormat::LocalSignature)
            return cannotRead(path,
                              QStringLiteral("no local header of %1 at %2").arg(name).arg(headerOffset));
        const auto *l = reinterpret_cast<const uchar *>(local.constData());
        const quint16 localName = qFromLittleEndian<quint16>(l + 26);
        const quint16 localExtraLength = qFromLittleEndian<quint16>(l + 28);
        QByteArray localExtra;
        if (!readAt(file, headerOffset + ZipIndex::LocalHeaderSize + localName, localExtraLength,
                    &localExtra))
            return cannotRead(path, QStringLiteral("the local header of %1 is cut short").arg(name));
        const qint64 dataEnd = headerOffset + ZipIndex::LocalHeaderSize + localName + localExtraLength +
                               qint64(info.compressed_size);
        qint64 end = dataEnd;
        if (info.flag & 8) {
            // A data descriptor follows the data: CRC and sizes, 8-byte sizes beside Zip64 fields, with
            // or without its signature.
            QByteArray signature;
            const bool signed_ = readAt(file, dataEnd, 4, &signature) &&
                                 qFromLittleEndian<quint32>(signature.constData()) == DescriptorSignature;
            end += (signed_ ? 4 : 0) + 4 + (hasZip64Extra(localExtra) ? 16 : 8);
        }

        ZipIndex::Entry e;
        e.name = name;
        e.headerOffset = headerOffset;
        e.span = end - headerOffset;
        e.compressedSize = qint64(info.compressed_size);
        e.size = qint64(info.uncompressed_size);
        e.crc = quint32(info.crc);
        e.method = quint16(info.compression_method);
        if (unzOpenCurrentFile(z) != UNZ_OK)
            return cannotRead(path, QStringLiteral("entry %1 cannot be opened").arg(name));
        crypto_generichash_state state;
        crypto_generichash_init(&state, nullptr, 0, ZipIndex::HashLength);
        qint64 unpacked = 0;
        for (;;) {
            const int n = unzReadCurrentFile(z, buffer.data(), unsigned(buffer.size()));
            if (n < 0) {
                unzCloseCurrentFile(z);
                return cannotRead(path,
                                  QStringLiteral("entry %1 does not unpack (error %2)").arg(name).arg(n));
            }
            if (n == 0)
                break;
            crypto_generichash_update(&state, reinterpret_cast<const uchar *>(buffer.constData()),
                                      quint64(n));
            unpacked += n;
        }
        // Closing checks the CRC of what was read.
        if (unzCloseCurrentFile(z) != UNZ_OK || unpacked != e.size)
            return cannotRead(path, QStringLiteral("entry %1 fails its CRC or size").arg(name));
        e.hash.resize(ZipIndex::HashLength);
        crypto_generichash_final(&state, reinterpret_cast<uchar *>(e.hash.data()), ZipIndex::HashLength);
        index.append(e);
    }
    if (directoryStart < 0)
        directoryStart = directoryEnd = 0;
    index.setArchive(file.size(), directoryStart, directoryEnd - directoryStart);
    // The publisher lists only an index that a launcher accepts.
    ZipIndex check;
    const QByteArray bytes = index.toBytes();
    const Result<ZipIndex::Error> parsed =
        ZipIndex::parse(bytes, file.size(), ZipIndex::digestHex(bytes), &check);
    if (!parsed.ok())
        return {parsed.code(), QStringLiteral("%1: %2").arg(path, parsed.reason())};
    *out = std::move(index);
    return {};
}
