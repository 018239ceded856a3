#include "download/resumerecord.h"

#include "core/atomicfile.h"
#include "download/downloadtaskpiece.h"
#include "patch/blockmap.h"
#include "platform/platform.h"
#include "trust/versiontable.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstring>

namespace {

constexpr int FormatVersion = 1;
constexpr char SlotMagic[4] = {'K', 'V', 'R', '2'};
// A slot's header: magic, sequence number (8 bytes), payload length (4), MD5 of the sequence number,
// the length and the payload (16); numbers little-endian.
constexpr int SlotLengthOffset = 12;
constexpr int SlotDigestOffset = 16;

void putLE(char *at, quint64 value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = char((value >> (8 * i)) & 0xff);
}

quint64 getLE(const char *at, int bytes) {
    quint64 value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= quint64(uchar(at[i])) << (8 * i);
    return value;
}

QByteArray slotDigest(const char *slotStart, qint64 payloadLength) {
    QCryptographicHash h(QCryptographicHash::Md5);
    h.addData(slotStart + 4, 12);
    h.addData(slotStart + ResumeRecord::SlotHeaderSize, int(payloadLength));
    return h.result();
}

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

void ResumeRecord::markWhole(qint64 begin, qint64 end) {
    if (!hasMap()) {
        const int first = int((begin + DownloadTaskPiece::PieceSize - 1) / DownloadTaskPiece::PieceSize);
        for (int i = first; i < complete.size() && pieceEnd(i, fileSize) <= end; ++i)
            complete.setBit(i);
        return;
    }
    const qint64 first = (begin + blockLength - 1) / blockLength;
    const qint64 last = end == fileSize ? blocks.size() : end / blockLength;
    for (qint64 b = first; b < last; ++b)
        blocks.setBit(int(b));
    const int firstPiece = int(begin / DownloadTaskPiece::PieceSize);
    const int lastPiece = int((end - 1) / DownloadTaskPiece::PieceSize);
    for (int i = firstPiece; i <= lastPiece; ++i)
        updatePiece(i);
}

bool ResumeRecord::coveredWhole(qint64 begin, qint64 end) const {
    if (!hasMap()) {
        for (int i = int(begin / DownloadTaskPiece::PieceSize); i < complete.size(); ++i) {
            if (qint64(i) * DownloadTaskPiece::PieceSize >= end)
                break;
            if (!complete.testBit(i))
                return false;
        }
        return true;
    }
    for (qint64 b = begin / blockLength; b < blocks.size() && b * blockLength < end; ++b) {
        if (!blockPresent(b))
            return false;
    }
    return true;
}

void ResumeRecord::addExtent(qint64 begin, qint64 end) {
    // Merged with the ranges it overlaps or touches.
    auto it = received.upperBound(begin);
    if (it != received.begin()) {
        auto before = std::prev(it);
        if (before.value() >= begin) {
            begin = before.key();
            end = qMax(end, before.value());
            received.erase(before);
        }
    }
    while (it != received.end() && it.key() <= end) {
        end = qMax(end, it.value());
        it = received.erase(it);
    }
    markWhole(begin, end);
    if (!coveredWhole(begin, end))
        received.insert(begin, end);
    while (received.size() > MaxExtents) {
        auto smallest = received.begin();
        for (auto r = received.begin(); r != received.end(); ++r) {
            if (r.value() - r.key() < smallest.value() - smallest.key())
                smallest = r;
        }
        received.erase(smallest);
    }
}

void ResumeRecord::setPresent(qint64 offset, qint64 length) {
    const qint64 end = qMin(offset + length, fileSize);
    if (offset < 0 || end <= offset)
        return;
    addExtent(offset, end);
}

QVector<ResumeRecord::Range> ResumeRecord::extents() const {
    QVector<Range> out;
    for (auto it = received.begin(); it != received.end(); ++it)
        out.append({it.key(), it.value() - it.key()});
    return out;
}

QVector<ResumeRecord::Range> ResumeRecord::missingRanges() const {
    QVector<Range> out = missingWholeRanges();
    if (received.isEmpty())
        return out;
    // Received ranges are cut out of what is missing.
    QVector<Range> rest;
    for (const Range &r : qAsConst(out)) {
        qint64 from = r.offset;
        const qint64 to = r.offset + r.length;
        auto it = received.upperBound(from);
        if (it != received.begin())
            --it;
        for (; it != received.end() && it.key() < to && from < to; ++it) {
            if (it.value() <= from)
                continue;
            if (it.key() > from)
                rest.append({from, it.key() - from});
            from = qMax(from, it.value());
        }
        if (from < to)
            rest.append({from, to - from});
    }
    return rest;
}

QVector<ResumeRecord::Range> ResumeRecord::missingWholeRanges() const {
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
    qint64 end = received.isEmpty() ? 0 : std::prev(received.end()).value();
    if (hasMap()) {
        for (qint64 b = blocks.size() - 1; b >= 0; --b) {
            if (blockPresent(b))
                return qMax(end, qMin((b + 1) * blockLength, fileSize));
        }
        return end;
    }
    for (int i = complete.size() - 1; i >= 0; --i) {
        if (complete.testBit(i))
            return qMax(end, pieceEnd(i, fileSize));
    }
    return end;
}

qint64 ResumeRecord::completeBytes() const {
    qint64 missing = 0;
    for (const Range &r : missingRanges())
        missing += r.length;
    return fileSize - missing;
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
    QStringList ranges;
    for (auto it = received.begin(); it != received.end(); ++it) {
        // Pieces completed since hold these bytes already.
        if (!coveredWhole(it.key(), it.value()))
            ranges << QStringLiteral("%1-%2").arg(it.key()).arg(it.value());
    }
    if (!ranges.isEmpty())
        o.insert(QStringLiteral("ranges"), ranges.join(QLatin1Char(',')));
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
    if (o.contains(QStringLiteral("ranges"))) {
        const QStringList ranges =
            o.value(QStringLiteral("ranges")).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
        if (ranges.size() > MaxExtents)
            return {Error::Unreadable,
                    QStringLiteral("the record lists %1 received ranges").arg(ranges.size())};
        for (const QString &range : ranges) {
            const int dash = range.indexOf(QLatin1Char('-'));
            bool beginOk = false, endOk = false;
            const qint64 begin = range.left(dash).toLongLong(&beginOk);
            const qint64 end = range.mid(dash + 1).toLongLong(&endOk);
            if (dash <= 0 || !beginOk || !endOk || begin < 0 || end <= begin || end > size)
                return {Error::Unreadable,
                        QStringLiteral("the record lists an unusable range %1").arg(range)};
            r.addExtent(begin, end);
        }
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
    const QByteArray bytes = file.read(2 * (MaxRecordSize + SlotHeaderSize) + 1);
    ResumeRecord r;
    const Result<Error> parsed = fromFileBytes(bytes, &r);
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
    const qint64 needed = r.presentEnd();
    // A record made as the download began, before its first byte.
    if (needed == 0 && !Platform::entryExists(partialPath(target))) {
        *out = r;
        return {};
    }
    QFile partial;
    if (!Platform::openPlainFile(&partial, partialPath(target), QIODevice::ReadOnly, &why))
        return {Error::Mismatch, why};
    if (partial.size() < needed)
        return {Error::Mismatch, QStringLiteral("the record claims %1 bytes of %2, which holds %3")
                                     .arg(needed)
                                     .arg(partialPath(target))
                                     .arg(partial.size())};
    *out = r;
    return {};
}

int ResumeRecord::slotSize() const {
    // The text with every piece and block present and the most received ranges there can be, each
    // as long as a range of the largest file; names escaped at worst.
    const qint64 pieceText = 2 * ((qint64(complete.size()) + 7) / 8);
    const qint64 blockText =
        hasMap() ? 4 * (((qint64(blocks.size()) + 7) / 8 + 2) / 3) + fileMap.size() + 64 : 0;
    const qint64 rangeText = qint64(MaxExtents) * 28;
    const qint64 names = 6 * (qint64(fileName.size()) + fileVersion.size() + fileMd5.size());
    const qint64 payload = 256 + pieceText + blockText + rangeText + names;
    const qint64 page = 4096;
    return int(
        qMin<qint64>((SlotHeaderSize + payload + page - 1) / page * page, MaxRecordSize + SlotHeaderSize));
}

QByteArray ResumeRecord::slot(quint64 seq, const QByteArray &payload, int size) {
    char numbers[12];
    putLE(numbers, seq, 8);
    putLE(numbers + 8, quint64(payload.size()), 4);
    QByteArray out;
    out.reserve(size);
    out.append(SlotMagic, 4);
    out.append(numbers, 12);
    out.append(QByteArray(16, '\0')); // the digest, below
    out.append(payload);
    out.append(QByteArray(qMax(0, size - out.size()), '\0'));
    out.replace(SlotDigestOffset, 16, slotDigest(out.constData(), payload.size()));
    return out;
}

Result<ResumeRecord::Error> ResumeRecord::fromFileBytes(const QByteArray &bytes, ResumeRecord *out) {
    // The older form: the record's text alone.
    if (bytes.startsWith('{'))
        return fromBytes(bytes, out);
    const qint64 size = bytes.size();
    if (size > 2 * (MaxRecordSize + SlotHeaderSize) || size % 2 != 0 || size < 2 * SlotHeaderSize)
        return {Error::Unreadable, QStringLiteral("the record file holds %1 bytes, not two slots").arg(size)};
    const int slotLength = int(size / 2);
    Result<Error> best{Error::Unreadable, QStringLiteral("neither slot of the record is sound")};
    bool found = false;
    quint64 bestSequence = 0;
    for (int i = 0; i < 2; ++i) {
        const char *at = bytes.constData() + qint64(i) * slotLength;
        if (memcmp(at, SlotMagic, 4) != 0)
            continue;
        const quint64 seq = getLE(at + 4, 8);
        const qint64 length = qint64(getLE(at + SlotLengthOffset, 4));
        if (length > slotLength - SlotHeaderSize ||
            slotDigest(at, length) != QByteArray(at + SlotDigestOffset, 16))
            continue; // torn, or not ours
        if (found && seq <= bestSequence)
            continue;
        ResumeRecord r;
        const Result<Error> parsed = fromBytes(QByteArray(at + SlotHeaderSize, int(length)), &r);
        if (!parsed.ok()) {
            if (!found)
                best = parsed;
            continue;
        }
        r.slotBytes = slotLength;
        r.sequence = seq;
        *out = r;
        best = {};
        found = true;
        bestSequence = seq;
    }
    return best;
}

Result<ResumeRecord::Error> ResumeRecord::save(const QString &target) {
    const QByteArray payload = toBytes();
    const int wanted = slotSize();
    if (payload.size() > wanted - SlotHeaderSize)
        return {Error::Unreadable, QStringLiteral("the record of %1 takes %2 bytes, more than its slot")
                                       .arg(target)
                                       .arg(payload.size())};
    const QString path = recordPath(target);
    if (slotBytes == wanted) {
        // In place: the older slot takes the new state; the newer one stays until this is on the disk.
        QFile file;
        QString why;
        if (Platform::openPlainFile(&file, path, QIODevice::ReadWrite, &why) &&
            file.size() == 2 * qint64(wanted)) {
            const quint64 next = sequence + 1;
            const QByteArray bytes = slot(next, payload, wanted);
            const bool written =
                file.seek(qint64(next % 2) * wanted) && file.write(bytes) == bytes.size() && file.flush();
            file.close();
            if (written && Platform::syncFile(path)) {
                sequence = next;
                return {};
            }
            return {Error::Unreadable,
                    QStringLiteral("cannot update %1 in place: %2").arg(path, file.errorString())};
        }
        // Gone or replaced under the launcher: made anew below.
    }
    // Made whole in one step: the first slot holds the state, the second is empty.
    QByteArray bytes = slot(0, payload, wanted);
    bytes.append(QByteArray(wanted, '\0'));
    const Result<Error> written = AtomicFile::write(path, bytes).as(Error::Unreadable);
    if (written.ok()) {
        slotBytes = wanted;
        sequence = 0;
    }
    return written;
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
