#include "download/resumerecord.h"

#include "core/atomicfile.h"
#include "download/blockmap.h"
#include "download/downloadtaskpiece.h"
#include "download/versiontable.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int FormatVersion = 1;

int piecesOf(qint64 size) {
    return int((size + DownloadTaskPiece::PieceSize - 1) / DownloadTaskPiece::PieceSize);
}

qint64 pieceEnd(int index, qint64 size) {
    return qMin(qint64(index + 1) * DownloadTaskPiece::PieceSize, size);
}

} // namespace

ResumeRecord::ResumeRecord(const QString &name, const QString &version, qint64 size, const QString &md5)
    : fileName(name)
    , fileVersion(version)
    , fileMd5(md5)
    , fileSize(size)
    , complete(piecesOf(size)) {}

void ResumeRecord::setComplete(int index) {
    complete.setBit(index);
    if (!hasMap())
        return;
    const qint64 first = qint64(index) * DownloadTaskPiece::PieceSize / blockLength;
    const qint64 last = (pieceEnd(index, fileSize) + blockLength - 1) / blockLength;
    for (qint64 b = first; b < last; ++b)
        blocks.setBit(int(b));
}

void ResumeRecord::updatePiece(int index) {
    const qint64 first = qint64(index) * DownloadTaskPiece::PieceSize / blockLength;
    const qint64 last = (pieceEnd(index, fileSize) + blockLength - 1) / blockLength;
    for (qint64 b = first; b < last; ++b) {
        if (!blockPresent(b))
            return;
    }
    complete.setBit(index);
}

void ResumeRecord::setMap(const QString &digest, int blockSize) {
    fileMap = digest;
    blockLength = blockSize;
    blocks = QBitArray(int((fileSize + blockSize - 1) / blockSize));
    for (int i = 0; i < complete.size(); ++i) {
        if (complete.testBit(i))
            setComplete(i);
    }
}

void ResumeRecord::setPresent(qint64 offset, qint64 length) {
    const qint64 end = qMin(offset + length, fileSize);
    if (offset < 0 || end <= offset)
        return;
    if (!hasMap()) {
        for (int i = 0; i < complete.size(); ++i) {
            if (qint64(i) * DownloadTaskPiece::PieceSize >= offset && pieceEnd(i, fileSize) <= end)
                complete.setBit(i);
        }
        return;
    }
    // Only blocks wholly inside: a record never claims a byte that was not written.
    const qint64 first = (offset + blockLength - 1) / blockLength;
    const qint64 last = end == fileSize ? blocks.size() : end / blockLength;
    for (qint64 b = first; b < last; ++b)
        blocks.setBit(int(b));
    const int firstPiece = int(offset / DownloadTaskPiece::PieceSize);
    const int lastPiece = int((end - 1) / DownloadTaskPiece::PieceSize);
    for (int i = firstPiece; i <= lastPiece; ++i)
        updatePiece(i);
}

QVector<ResumeRecord::Range> ResumeRecord::missingRanges() const {
    QVector<Range> out;
    for (int i = 0; i < complete.size(); ++i) {
        if (complete.testBit(i))
            continue;
        const qint64 begin = qint64(i) * DownloadTaskPiece::PieceSize;
        const qint64 end = pieceEnd(i, fileSize);
        if (!hasMap()) {
            out.append({begin, end - begin});
            continue;
        }
        for (qint64 b = begin / blockLength; b * blockLength < end; ++b) {
            if (blockPresent(b))
                continue;
            const qint64 from = b * blockLength;
            const qint64 to = qMin((b + 1) * blockLength, end);
            if (!out.isEmpty() && out.last().offset + out.last().length == from && from != begin)
                out.last().length += to - from;
            else
                out.append({from, to - from});
        }
    }
    return out;
}

qint64 ResumeRecord::presentEnd() const {
    if (hasMap()) {
        for (qint64 b = blocks.size() - 1; b >= 0; --b) {
            if (blockPresent(b))
                return qMin((b + 1) * blockLength, fileSize);
        }
        return 0;
    }
    for (int i = complete.size() - 1; i >= 0; --i) {
        if (complete.testBit(i))
            return pieceEnd(i, fileSize);
    }
    return 0;
}

qint64 ResumeRecord::completeBytes() const {
    if (hasMap()) {
        qint64 bytes = 0;
        for (qint64 b = 0; b < blocks.size(); ++b) {
            if (blockPresent(b))
                bytes += qMin((b + 1) * blockLength, fileSize) - b * blockLength;
        }
        return bytes;
    }
    qint64 bytes = 0;
    for (int i = 0; i < complete.size(); ++i) {
        if (complete.testBit(i))
            bytes += pieceEnd(i, fileSize) - qint64(i) * DownloadTaskPiece::PieceSize;
    }
    return bytes;
}

bool ResumeRecord::isFor(const RemoteFileInfo &listed) const {
    return fileName == listed.name && fileVersion == listed.version && fileMd5 == listed.md5 &&
           fileSize == qint64(listed.size) && (fileMap.isEmpty() || fileMap == listed.mapDigest);
}

QByteArray ResumeRecord::toBytes() const {
    // One bit per piece, piece 0 in the lowest bit of the first byte.
    QByteArray bits((complete.size() + 7) / 8, '\0');
    for (int i = 0; i < complete.size(); ++i) {
        if (complete.testBit(i))
            bits[i / 8] = char(uchar(bits.at(i / 8)) | (1u << (i % 8)));
    }
    QJsonObject o;
    o.insert(QStringLiteral("format"), FormatVersion);
    o.insert(QStringLiteral("name"), fileName);
    o.insert(QStringLiteral("version"), fileVersion);
    o.insert(QStringLiteral("size"), QString::number(fileSize));
    o.insert(QStringLiteral("md5"), fileMd5);
    o.insert(QStringLiteral("pieces"), QString::fromLatin1(bits.toHex()));
    if (hasMap()) {
        QByteArray present((blocks.size() + 7) / 8, '\0');
        for (int i = 0; i < blocks.size(); ++i) {
            if (blocks.testBit(i))
                present[i / 8] = char(uchar(present.at(i / 8)) | (1u << (i % 8)));
        }
        o.insert(QStringLiteral("map"), fileMap);
        o.insert(QStringLiteral("blocksize"), blockLength);
        o.insert(QStringLiteral("blocks"), QString::fromLatin1(present.toBase64()));
        o.insert(QStringLiteral("reused"), QString::number(reused));
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

Result<ResumeRecord::Error> ResumeRecord::fromBytes(const QByteArray &bytes, ResumeRecord *out) {
    if (bytes.size() > MaxRecordSize)
        return {Error::Unreadable, QStringLiteral("the record holds %1 bytes").arg(bytes.size())};
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (!doc.isObject())
        return {Error::Unreadable,
                QStringLiteral("the record is not readable: %1").arg(parseError.errorString())};
    const QJsonObject o = doc.object();
    if (o.value(QStringLiteral("format")).toInt() != FormatVersion)
        return {Error::Unreadable, QStringLiteral("the record has an unknown format")};
    bool sizeOk = false;
    const qint64 size = o.value(QStringLiteral("size")).toString().toLongLong(&sizeOk);
    // Sizes past 2^40 are refused by the version file too; the piece count must fit an int.
    if (!sizeOk || size <= 0 || size > (qint64(1) << 40))
        return {Error::Unreadable, QStringLiteral("the record lists no usable size")};
    ResumeRecord r(o.value(QStringLiteral("name")).toString(), o.value(QStringLiteral("version")).toString(),
                   size, o.value(QStringLiteral("md5")).toString());
    const QByteArray hex = o.value(QStringLiteral("pieces")).toString().toLatin1();
    const QByteArray bits = QByteArray::fromHex(hex);
    if (hex.size() != 2 * ((r.pieceCount() + 7) / 8) || bits.size() * 2 != hex.size())
        return {Error::Unreadable,
                QStringLiteral("the record's piece list does not fit %1 pieces").arg(r.pieceCount())};
    for (int i = 0; i < r.pieceCount(); ++i) {
        if (uchar(bits.at(i / 8)) & (1u << (i % 8)))
            r.setComplete(i);
    }
    if (o.contains(QStringLiteral("map"))) {
        const QString digest = o.value(QStringLiteral("map")).toString();
        const int blockSize = o.value(QStringLiteral("blocksize")).toInt();
        if (!BlockMap::isDigest(digest) || blockSize < BlockMap::MinBlockSize ||
            blockSize > BlockMap::MaxBlockSize || (blockSize & (blockSize - 1)) != 0 ||
            (size + blockSize - 1) / blockSize > BlockMap::MaxBlockCount)
            return {Error::Unreadable, QStringLiteral("the record names no usable block map")};
        r.setMap(digest, blockSize);
        const QByteArray present =
            QByteArray::fromBase64(o.value(QStringLiteral("blocks")).toString().toLatin1());
        if (present.size() != (r.blocks.size() + 7) / 8)
            return {Error::Unreadable,
                    QStringLiteral("the record's block list does not fit %1 blocks").arg(r.blocks.size())};
        for (int i = 0; i < r.blocks.size(); ++i) {
            if (uchar(present.at(i / 8)) & (1u << (i % 8)))
                r.blocks.setBit(i);
        }
        for (int i = 0; i < r.pieceCount(); ++i)
            r.updatePiece(i);
        bool reusedOk = false;
        r.reused = o.value(QStringLiteral("reused")).toString().toLongLong(&reusedOk);
        if (!reusedOk || r.reused < 0 || r.reused > size)
            return {Error::Unreadable, QStringLiteral("the record lists no usable count of reused bytes")};
    }
    *out = r;
    return {};
}

Result<ResumeRecord::Error> ResumeRecord::load(const QString &target, const RemoteFileInfo &listed,
                                               ResumeRecord *out) {
    if (!Platform::entryExists(recordPath(target)))
        return {Error::Missing, QStringLiteral("there is no record of its pieces")};
    // Leftovers are never read through a link.
    QFile file;
    QString why;
    if (!Platform::openPlainFile(&file, recordPath(target), QIODevice::ReadOnly, &why))
        return {Error::Unreadable, why};
    // One byte more than allowed tells a record that is too large.
    const QByteArray bytes = file.read(MaxRecordSize + 1);
    ResumeRecord r;
    const Result<Error> parsed = fromBytes(bytes, &r);
    if (!parsed.ok())
        return parsed;
    if (!r.isFor(listed))
        return {Error::Mismatch,
                QStringLiteral("the record is for %1 version %2 of %3 bytes with md5 %4, the version "
                               "file lists version %5 of %6 bytes with md5 %7")
                    .arg(r.fileName, r.fileVersion)
                    .arg(r.fileSize)
                    .arg(r.fileMd5, listed.version)
                    .arg(qint64(listed.size))
                    .arg(listed.md5)};
    QFile partial;
    if (!Platform::openPlainFile(&partial, partialPath(target), QIODevice::ReadOnly, &why))
        return {Error::Mismatch, why};
    const qint64 needed = r.presentEnd();
    if (partial.size() < needed)
        return {Error::Mismatch, QStringLiteral("the record claims %1 bytes of %2, which holds %3")
                                     .arg(needed)
                                     .arg(partialPath(target))
                                     .arg(partial.size())};
    *out = r;
    return {};
}

Result<ResumeRecord::Error> ResumeRecord::save(const QString &target) const {
    return AtomicFile::write(recordPath(target), toBytes()).as(Error::Unreadable);
}

void ResumeRecord::discard(const QString &target) {
    // The record goes first: killed between the two, a partial file without a record is merely
    // fetched again, while a record without its partial file would claim bytes that are gone.
    // A leftover that is a link goes itself; what it leads to is left alone.
    QFile::remove(recordPath(target));
    for (const QString &stray : strayRecordCopies(target))
        QFile::remove(stray);
    QFile::remove(partialPath(target));
}

bool ResumeRecord::exists(const QString &target) {
    return Platform::entryExists(partialPath(target)) || Platform::entryExists(recordPath(target));
}

QString ResumeRecord::partialPath(const QString &target) {
    return target + QLatin1String(PartialSuffix);
}

QString ResumeRecord::recordPath(const QString &target) {
    return target + QLatin1String(RecordSuffix);
}

QStringList ResumeRecord::strayRecordCopies(const QString &target) {
    // The atomic write's temporary file: the record's name, a dot and six characters.
    const QFileInfo record(recordPath(target));
    const QString prefix = record.fileName() + QLatin1Char('.');
    QStringList out;
    const QStringList names = record.dir().entryList(QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        if (name.size() == prefix.size() + 6 && name.startsWith(prefix))
            out << record.dir().filePath(name);
    }
    return out;
}
