#include "archive/archivepatcher.h"

#include "archive/entrypermissions.h"
#include "archive/extractedfiles.h"
#include "archive/extractionwriter.h"
#include "archive/zipentrymodes.h"
#include "archive/zipformat.h"
#include "core/diskroom.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QtEndian>

#include <sodium.h>

namespace {

constexpr quint32 EndSignature = 0x06054b50;
constexpr quint32 Zip64EndSignature = 0x06064b50;
constexpr quint32 Zip64LocatorSignature = 0x07064b50;
constexpr qint64 Max32 = 0xffffffff;
constexpr qint64 Max16 = 0xffff;
constexpr quint16 Zip64Version = 45;
constexpr quint16 EncryptedFlag = 0x0001;
constexpr qint64 CopyBlock = 1024 * 1024;
// Central directory bytes gathered before they are written.
constexpr int WriteBlock = 1024 * 1024;

const QLatin1String CopySuffix(".kestrivane-copy");

Result<ExtractError> failure(ExtractError code, const QString &why) {
    qWarning().noquote() << "cannot patch the installed archive:" << why;
    return {code, why};
}

template <typename T>
void put(QByteArray *out, T value) {
    uchar b[sizeof(T)];
    qToLittleEndian<T>(value, b);
    out->append(reinterpret_cast<const char *>(b), int(sizeof(T)));
}

template <typename T>
T at(const QByteArray &bytes, int offset) {
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// The fields of a fetched local header that its central directory record repeats.
struct LocalHeader {
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 time = 0;
    quint16 date = 0;
};

// Reads the local header of index entry `e` at `offset` in the fetched file and checks that it is the
// header of that entry: a span fetched from the wrong place, or a server's other file, is refused here.
Result<ExtractError> readLocalHeader(QFile &file, qint64 offset, const ZipIndex::Entry &e, LocalHeader *out) {
    const QString what = QStringLiteral("%1: the fetched bytes of entry %2").arg(file.fileName(), e.name);
    QByteArray fixed;
    if (file.seek(offset))
        fixed = file.read(ZipIndex::LocalHeaderSize);
    if (fixed.size() != ZipIndex::LocalHeaderSize)
        return failure(ExtractError::Damaged, QStringLiteral("%1 end inside their local header").arg(what));
    if (at<quint32>(fixed, 0) != ZipFormat::LocalSignature)
        return failure(ExtractError::Damaged, QStringLiteral("%1 begin with no local header").arg(what));
    out->versionNeeded = at<quint16>(fixed, 4);
    out->flags = at<quint16>(fixed, 6);
    out->method = at<quint16>(fixed, 8);
    out->time = at<quint16>(fixed, 10);
    out->date = at<quint16>(fixed, 12);
    const qint64 nameLength = at<quint16>(fixed, 26);
    const qint64 extraLength = at<quint16>(fixed, 28);
    if (ZipIndex::LocalHeaderSize + nameLength + extraLength + e.compressedSize > e.span)
        return failure(ExtractError::Damaged,
                       QStringLiteral("%1 hold a header and data longer than the entry's %2 bytes")
                           .arg(what)
                           .arg(e.span));
    const QByteArray name = file.read(nameLength);
    if (name != e.name.toUtf8())
        return failure(ExtractError::Damaged,
                       QStringLiteral("%1 begin with the header of %2")
                           .arg(what, FileNameRules::printable(QString::fromUtf8(name))));
    if (out->method != e.method || (out->flags & EncryptedFlag))
        return failure(ExtractError::Damaged,
                       QStringLiteral("%1 use method %2, flags %3; the index lists method %4 unencrypted")
                           .arg(what)
                           .arg(out->method)
                           .arg(out->flags)
                           .arg(e.method));
    return {};
}

QByteArray centralRecord(const ZipIndex::Entry &e, const LocalHeader &h, qint64 offset,
                         const ZipEntryModes::Mode &mode) {
    const QByteArray name = e.name.toUtf8();
    // Zip64 values come in this order, each only when its field holds the marker.
    QByteArray zip64;
    if (e.size >= Max32)
        put<quint64>(&zip64, quint64(e.size));
    if (e.compressedSize >= Max32)
        put<quint64>(&zip64, quint64(e.compressedSize));
    if (offset >= Max32)
        put<quint64>(&zip64, quint64(offset));
    QByteArray r;
    r.reserve(46 + name.size() + 4 + zip64.size());
    put<quint32>(&r, ZipFormat::CentralSignature);
    put<quint16>(&r, mode.versionMadeBy);
    put<quint16>(&r, zip64.isEmpty() ? h.versionNeeded : qMax(h.versionNeeded, Zip64Version));
    put<quint16>(&r, h.flags);
    put<quint16>(&r, h.method);
    put<quint16>(&r, h.time);
    put<quint16>(&r, h.date);
    put<quint32>(&r, e.crc);
    put<quint32>(&r, quint32(qMin(e.compressedSize, Max32)));
    put<quint32>(&r, quint32(qMin(e.size, Max32)));
    put<quint16>(&r, quint16(name.size()));
    put<quint16>(&r, quint16(zip64.isEmpty() ? 0 : 4 + zip64.size()));
    put<quint16>(&r, 0); // comment
    put<quint16>(&r, 0); // disk
    put<quint16>(&r, 0); // internal attributes
    put<quint32>(&r, mode.externalAttributes);
    put<quint32>(&r, quint32(qMin(offset, Max32)));
    r.append(name);
    if (!zip64.isEmpty()) {
        put<quint16>(&r, ZipFormat::Zip64ExtraId);
        put<quint16>(&r, quint16(zip64.size()));
        r.append(zip64);
    }
    return r;
}

QByteArray endRecords(qint64 count, qint64 directoryOffset, qint64 directorySize) {
    QByteArray r;
    const bool zip64 = count >= Max16 || directoryOffset >= Max32 || directorySize >= Max32;
    if (zip64) {
        const qint64 recordAt = directoryOffset + directorySize;
        put<quint32>(&r, Zip64EndSignature);
        put<quint64>(&r, 44); // the record's size after this field
        put<quint16>(&r, Zip64Version);
        put<quint16>(&r, Zip64Version);
        put<quint32>(&r, 0);
        put<quint32>(&r, 0);
        put<quint64>(&r, quint64(count));
        put<quint64>(&r, quint64(count));
        put<quint64>(&r, quint64(directorySize));
        put<quint64>(&r, quint64(directoryOffset));
        put<quint32>(&r, Zip64LocatorSignature);
        put<quint32>(&r, 0);
        put<quint64>(&r, quint64(recordAt));
        put<quint32>(&r, 1);
    }
    put<quint32>(&r, EndSignature);
    put<quint16>(&r, 0);
    put<quint16>(&r, 0);
    put<quint16>(&r, quint16(qMin(count, Max16)));
    put<quint16>(&r, quint16(qMin(count, Max16)));
    put<quint32>(&r, quint32(qMin(directorySize, Max32)));
    put<quint32>(&r, quint32(qMin(directoryOffset, Max32)));
    put<quint16>(&r, 0); // comment
    return r;
}

// The modes the archive's central directory (fetched after the entries) gives its entries.
QHash<int, ZipEntryModes::Mode> fetchedModes(QFile &file, const ZipIndex &index,
                                             const ArchivePatchPlan &plan) {
    if (plan.directoryAt() < 0)
        return {};
    QByteArray directory;
    if (file.seek(plan.directoryAt()))
        directory = file.read(plan.directoryBytes());
    const QHash<int, ZipEntryModes::Mode> modes = ZipEntryModes::read(directory, index);
    if (modes.isEmpty())
        qWarning().noquote() << "no entry's mode in the fetched central directory of" << file.fileName();
    return modes;
}

// Turns the fetched file into a zip archive of the fetched entries: cut to the spans (a directory a
// killed try appended goes), then a central directory built from the index and the local headers.
// Each entry takes the mode the archive's directory gives it, else the mode of the file it replaces;
// `modes` receives the archive's.
Result<ExtractError> assemble(const QString &path, const QString &folder, const ZipIndex &index,
                              const ArchivePatchPlan &plan, QHash<int, ZipEntryModes::Mode> *modes) {
    QFile file(path);
    // Checked first: opening for writing would make a missing file.
    if (!QFileInfo(path).isFile())
        return failure(ExtractError::CannotOpen,
                       QStringLiteral("%1 is missing: no fetched entries to unpack").arg(path));
    if (!file.open(QIODevice::ReadWrite))
        return failure(ExtractError::CannotOpen,
                       QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    const qint64 spans = plan.fetchBytes();
    if (file.size() < spans)
        return failure(ExtractError::Damaged,
                       QStringLiteral("%1 holds %2 bytes, fewer than the %3 of its spans")
                           .arg(path)
                           .arg(file.size())
                           .arg(spans));
    if (file.size() > spans && !file.resize(spans))
        return failure(
            ExtractError::CannotWrite,
            QStringLiteral("cannot cut %1 to %2 bytes: %3").arg(path).arg(spans).arg(file.errorString()));

    *modes = fetchedModes(file, index, plan);

    qint64 writeAt = spans;
    QByteArray pending;
    const auto flush = [&] {
        if (!file.seek(writeAt) || file.write(pending) != pending.size())
            return false;
        writeAt += pending.size();
        pending.clear();
        return true;
    };
    const auto cannotWrite = [&] {
        return failure(ExtractError::CannotWrite,
                       QStringLiteral("cannot write the directory of %1: %2").arg(path, file.errorString()));
    };
    qint64 count = 0;
    const QVector<ZipIndex::Entry> &entries = index.entries();
    for (int i = 0; i < entries.size(); ++i) {
        if (plan.action(i) != ArchivePatchPlan::Action::Fetch)
            continue;
        LocalHeader header;
        const Result<ExtractError> read =
            readLocalHeader(file, plan.fetchedOffset(i), entries.at(i), &header);
        if (!read.ok())
            return read;
        ZipEntryModes::Mode mode = modes->value(i);
        if (!mode.givesMode())
            mode = ZipEntryModes::ofFile(
                QStringLiteral("%1/%2").arg(folder, FileNameRules::normalizedEntryName(entries.at(i).name)));
        pending += centralRecord(entries.at(i), header, plan.fetchedOffset(i), mode);
        ++count;
        if (pending.size() >= WriteBlock && !flush())
            return cannotWrite();
    }
    pending += endRecords(count, spans, writeAt - spans + pending.size());
    if (!flush() || !file.flush())
        return cannotWrite();
    return {};
}

// A copied entry, staged beside its target until the extraction succeeded.
struct StagedCopy {
    QString staged;
    QString target;
};

// Folders made for copies, outermost first, so that a failure can take the empty ones away again.
bool makeParent(const QString &target, QStringList *created) {
    QString folder = QFileInfo(target).absolutePath();
    QStringList missing;
    while (!QFileInfo::exists(folder)) {
        missing.prepend(folder);
        folder = QFileInfo(folder).absolutePath();
    }
    for (const QString &f : qAsConst(missing)) {
        if (!QDir().mkdir(f))
            return false;
        created->append(f);
    }
    return true;
}

void dropCopies(const std::vector<StagedCopy> &copies, const QStringList &created) {
    for (const StagedCopy &c : copies) {
        if (QFileInfo::exists(c.staged) && !QFile::remove(c.staged))
            qWarning().noquote() << "cannot remove a staged copy" << c.staged;
    }
    for (int i = created.size() - 1; i >= 0; --i)
        QDir().rmdir(created.at(i)); // only when empty: another file may have arrived meanwhile
}

// Whether the file at `path` holds the entry's content already.
bool holds(const QString &path, const ZipIndex::Entry &e) {
    QByteArray digest;
    return QFileInfo(path).isFile() && QFileInfo(path).size() == e.size &&
           ExtractedFiles::digestOf(path, &digest).ok() && digest == e.hash;
}

// Whether a kept file still holds its entry: the plan was made perhaps days ago, or elsewhere, so a
// file whose size or time is not the one the plan saw is hashed again. `checkedMs` receives its time
// as it was looked at, before any hashing.
bool stillHolds(const QString &path, const ZipIndex::Entry &e, const ArchivePatchPlan::Seen &seen,
                qint64 *checkedMs) {
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    *checkedMs = info.lastModified().toMSecsSinceEpoch();
    return (info.size() == seen.size && *checkedMs == seen.modifiedMs) || holds(path, e);
}

// Copies `source` to `staged`, hashing what it reads: the copy is kept only with the entry's
// content, whatever happened to the source since the plan was made.
Result<ExtractError> copyChecked(const QString &source, const QString &staged, const ZipIndex::Entry &e,
                                 const ZipEntryModes::Mode &mode, qint64 roomLeft, qint64 *missingRoom) {
    QFile in(source);
    QFile out(staged);
    if (!in.open(QIODevice::ReadOnly))
        return failure(
            ExtractError::CannotOpen,
            QStringLiteral("cannot read %1, the source of %2: %3").arg(source, e.name, in.errorString()));
    const auto cannotWrite = [&] {
        const QString why = out.errorString();
        out.close();
        QFile::remove(staged);
        const qint64 lacking = DiskRoom::shortBy(staged, roomLeft);
        if (lacking > 0) {
            if (missingRoom)
                *missingRoom = lacking;
            return failure(ExtractError::NoRoom,
                           QStringLiteral("the disk holding %1 is full: %2 more bytes are needed")
                               .arg(staged)
                               .arg(lacking));
        }
        return failure(ExtractError::CannotWrite, QStringLiteral("cannot write %1: %2").arg(staged, why));
    };
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return cannotWrite();
    crypto_generichash_state hash;
    crypto_generichash_init(&hash, nullptr, 0, ZipIndex::HashLength);
    QByteArray block(int(CopyBlock), Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const qint64 n = in.read(block.data(), block.size());
        if (n < 0) {
            out.close();
            QFile::remove(staged);
            return failure(ExtractError::CannotOpen, QStringLiteral("cannot read %1 after %2 bytes: %3")
                                                         .arg(source)
                                                         .arg(copied)
                                                         .arg(in.errorString()));
        }
        if (n == 0)
            break;
        if (out.write(block.constData(), n) != n)
            return cannotWrite();
        crypto_generichash_update(&hash, reinterpret_cast<const uchar *>(block.constData()), quint64(n));
        copied += n;
    }
    if (!out.flush())
        return cannotWrite();
    out.close();
    QByteArray digest(ZipIndex::HashLength, '\0');
    crypto_generichash_final(&hash, reinterpret_cast<uchar *>(digest.data()), ZipIndex::HashLength);
    if (copied != e.size || digest != e.hash) {
        QFile::remove(staged);
        return failure(ExtractError::Damaged,
                       QStringLiteral("%1 no longer holds the content of entry %2").arg(source, e.name));
    }
    // Without the archive's mode for the entry, the file it was copied from had the right one.
    if (mode.givesMode())
        applyEntryPermissions(staged, mode.versionMadeBy, mode.externalAttributes);
    else
        QFile::setPermissions(staged, QFile::permissions(source));
    return {};
}

// The last entry to use what a peer sent takes the file itself, checked once more: the update may
// be applied long after it arrived.
Result<ExtractError> movePeerEntry(const QString &sent, const QString &staged, const ZipIndex::Entry &e,
                                   const ZipEntryModes::Mode &mode, const ArchivePatchPlan::Seen &seen) {
    if (QFileInfo(staged).isSymLink() || QFileInfo::exists(staged))
        QFile::remove(staged);
    if (QFileInfo(sent).isSymLink() || !QFile::rename(sent, staged))
        return failure(
            ExtractError::CannotOpen,
            QStringLiteral("cannot move %1, entry %2 from a peer, to %3").arg(sent, e.name, staged));
    // A move keeps the time: unchanged since it was checked as it arrived, it is not read again.
    const QFileInfo moved(staged);
    const bool unchanged =
        moved.size() == seen.size && moved.lastModified().toMSecsSinceEpoch() == seen.modifiedMs;
    if (!unchanged && !holds(staged, e)) {
        QFile::remove(staged);
        return failure(ExtractError::Damaged,
                       QStringLiteral("%1 no longer holds the content of entry %2").arg(sent, e.name));
    }
    if (mode.givesMode())
        applyEntryPermissions(staged, mode.versionMadeBy, mode.externalAttributes);
    return {};
}

} // namespace

Result<ExtractError> ArchivePatcher::apply(const QString &folder, const ZipIndex &index,
                                           const ArchivePatchPlan &plan, const QString &fetchedPath,
                                           std::vector<InstalledEntry> *installed, qint64 *missingRoom,
                                           const QString &peerFolder) {
    if (missingRoom)
        *missingRoom = 0;
    const QVector<ZipIndex::Entry> &entries = index.entries();
    if (plan.entryCount() != entries.size() || plan.archiveSize() != index.archiveSize())
        return failure(ExtractError::Damaged,
                       QStringLiteral("the plan for %1 was made for another index than %2")
                           .arg(fetchedPath, plan.indexDigest()));
    if (sodium_init() < 0)
        return failure(ExtractError::CannotOpen, QStringLiteral("the cryptography library failed to start"));
    if (peerFolder.isEmpty() && plan.fromPeers().entries > 0)
        return failure(
            ExtractError::Damaged,
            QStringLiteral("the plan for %1 takes entries from peers, which are nowhere").arg(fetchedPath));

    // What an extraction killed half way left beside the files: a file set aside while its new
    // version moved in, or a staged one. The plan may keep the file that moved in, and then nothing
    // would ever touch its leftover again.
    for (const ZipIndex::Entry &e : entries) {
        const QString target =
            QStringLiteral("%1/%2").arg(folder, FileNameRules::normalizedEntryName(e.name));
        for (const QLatin1String &suffix :
             {ExtractionWriter::backupSuffix, ExtractionWriter::stagingSuffix}) {
            if (QFileInfo(target + suffix).isFile() && !QFile::remove(target + suffix))
                qWarning() << "cannot remove what a killed extraction left" << target + suffix;
        }
    }

    QVector<QString> names(entries.size());
    QSet<QString> lowerNames;
    QHash<QString, QByteArray> expected;
    // An entry a peer sent is moved into place by its last user; the others copy it.
    QHash<QByteArray, int> lastPeerUse;
    qint64 copyRoom = 0;
    const qint64 block = DiskRoom::blockSize(folder);
    for (int i = 0; i < entries.size(); ++i) {
        names[i] = FileNameRules::normalizedEntryName(entries.at(i).name);
        lowerNames.insert(names.at(i).toLower());
        if (plan.action(i) == ArchivePatchPlan::Action::Fetch) {
            expected.insert(names.at(i), entries.at(i).hash); // a later entry of the name wins
        } else if (plan.action(i) == ArchivePatchPlan::Action::Copy) {
            copyRoom += DiskRoom::onDisk(entries.at(i).size, block);
        } else if (plan.action(i) == ArchivePatchPlan::Action::Peer) {
            if (lastPeerUse.contains(entries.at(i).hash))
                copyRoom += DiskRoom::onDisk(entries.at(i).size, block);
            lastPeerUse.insert(entries.at(i).hash, i);
        }
    }
    // A staged copy must not take the place of a file the archive installs.
    for (int i = 0; i < entries.size(); ++i) {
        const ArchivePatchPlan::Action action = plan.action(i);
        if ((action == ArchivePatchPlan::Action::Copy || action == ArchivePatchPlan::Action::Peer) &&
            (lowerNames.contains((names.at(i) + CopySuffix).toLower()) ||
             (action == ArchivePatchPlan::Action::Copy &&
              !FileNameRules::isSafeEntryName(plan.copySource(i)))))
            return failure(ExtractError::Refused, QStringLiteral("entry %1 cannot be copied in %2")
                                                      .arg(FileNameRules::printable(names.at(i)), folder));
    }

    // Nothing is recorded as kept that is not checked; a kept file that changed fails the update as
    // it stands, so that it is planned again from the files as they are now.
    QVector<qint64> keptTimes(entries.size(), -1);
    for (int i = 0; i < entries.size(); ++i) {
        if (plan.action(i) == ArchivePatchPlan::Action::Keep &&
            !stillHolds(QStringLiteral("%1/%2").arg(folder, names.at(i)), entries.at(i), plan.seen(i),
                        &keptTimes[i]))
            return failure(ExtractError::Damaged,
                           QStringLiteral("the kept file %1 in %2 changed since the update was planned: it "
                                          "no longer holds its entry")
                               .arg(FileNameRules::printable(names.at(i)), folder));
    }

    QHash<int, ZipEntryModes::Mode> modes;
    if (!expected.isEmpty()) {
        const Result<ExtractError> assembled = assemble(fetchedPath, folder, index, plan, &modes);
        if (!assembled.ok())
            return assembled;
    } else if (plan.directoryAt() >= 0) {
        // Only entries from peers: the fetched file is the central directory alone, for their modes.
        QFile directory(fetchedPath);
        if (directory.open(QIODevice::ReadOnly))
            modes = fetchedModes(directory, index, plan);
    }

    // Copies first, from the files as they are before anything is replaced: a source may be an entry
    // that the extraction replaces.
    const qint64 lacking = DiskRoom::shortBy(folder, copyRoom);
    if (lacking > 0) {
        if (missingRoom)
            *missingRoom = lacking;
        return failure(ExtractError::NoRoom,
                       QStringLiteral("the copied entries need %1 bytes in %2: %3 more are needed")
                           .arg(copyRoom)
                           .arg(folder)
                           .arg(lacking));
    }
    std::vector<StagedCopy> copies;
    QStringList created;
    for (int i = 0; i < entries.size(); ++i) {
        const bool fromPeer = plan.action(i) == ArchivePatchPlan::Action::Peer;
        if (plan.action(i) != ArchivePatchPlan::Action::Copy && !fromPeer)
            continue;
        const QString target = QStringLiteral("%1/%2").arg(folder, names.at(i));
        const StagedCopy copy{target + CopySuffix, target};
        if (QFileInfo(target).isDir() || !makeParent(target, &created)) {
            dropCopies(copies, created);
            return failure(ExtractError::CannotWrite, QStringLiteral("cannot write %1").arg(target));
        }
        // A try killed after its extraction left the copy staged, or already in place, while its
        // source may be replaced by now: either is taken as it is.
        if (holds(copy.staged, entries.at(i))) {
            copies.push_back(copy);
            continue;
        }
        Result<ExtractError> copied;
        if (fromPeer) {
            // Without the archive's mode, the file it replaces had the right one.
            ZipEntryModes::Mode mode = modes.value(i);
            if (!mode.givesMode())
                mode = ZipEntryModes::ofFile(target);
            const QString sent =
                QStringLiteral("%1/%2").arg(peerFolder, QString::fromLatin1(entries.at(i).hash.toHex()));
            if (lastPeerUse.value(entries.at(i).hash) == i) {
                copied = movePeerEntry(sent, copy.staged, entries.at(i), mode, plan.seen(i));
            } else {
                copied = copyChecked(sent, copy.staged, entries.at(i), mode, copyRoom, missingRoom);
                copyRoom -= DiskRoom::onDisk(entries.at(i).size, block);
            }
        } else {
            copied = copyChecked(QStringLiteral("%1/%2").arg(folder, plan.copySource(i)), copy.staged,
                                 entries.at(i), modes.value(i), copyRoom, missingRoom);
            copyRoom -= DiskRoom::onDisk(entries.at(i).size, block);
        }
        const bool sourceGone =
            copied.code() == ExtractError::Damaged || copied.code() == ExtractError::CannotOpen;
        if (sourceGone && holds(target, entries.at(i)))
            continue;
        if (!copied.ok()) {
            dropCopies(copies, created);
            return copied;
        }
        copies.push_back(copy);
    }

    std::vector<InstalledEntry> extracted;
    if (!expected.isEmpty()) {
        const Result<ExtractError> unpacked =
            extractArchive(fetchedPath, folder, missingRoom, &extracted, &expected);
        if (!unpacked.ok()) {
            dropCopies(copies, created);
            return unpacked;
        }
    }
    for (size_t c = 0; c < copies.size(); ++c) {
        QString why;
        if (!Platform::replaceFile(copies[c].staged, copies[c].target, &why)) {
            dropCopies(std::vector<StagedCopy>(copies.begin() + qint64(c), copies.end()), QStringList());
            return failure(ExtractError::CannotWrite,
                           QStringLiteral("cannot replace %1: %2").arg(copies[c].target, why));
        }
    }

    if (installed) {
        QHash<QString, InstalledEntry> fetched;
        for (const InstalledEntry &e : extracted)
            fetched.insert(e.name, e);
        installed->clear();
        QHash<QString, size_t> placed;
        for (int i = 0; i < entries.size(); ++i) {
            const bool isFetched = plan.action(i) == ArchivePatchPlan::Action::Fetch;
            // Kept, copied and sent by a peer alike: the index's content, checked above.
            if (isFetched && !fetched.contains(names.at(i)))
                continue; // cannot be: the extraction installs every name it was given
            const InstalledEntry entry = isFetched ? fetched.value(names.at(i))
                                                   : InstalledEntry{names.at(i), quint64(entries.at(i).size),
                                                                    entries.at(i).hash, keptTimes.at(i)};
            const auto earlier = placed.constFind(entry.name);
            if (earlier != placed.constEnd()) {
                (*installed)[*earlier] = entry;
            } else {
                placed.insert(entry.name, installed->size());
                installed->push_back(entry);
            }
        }
    }
    return {};
}
