#include "archive/unziparchive.h"

#include "archive/extractionjob.h"
#include "archive/extractionwriter.h"
#include "archive/zipreader.h"
#include "core/diskroom.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QThread>

#include <unzip.h>

namespace {

QDebug log() {
    return qDebug().noquote().nospace();
}

// An archive without entries: nothing but its end record (and the record's comment).
bool isEmptyArchive(const QString &path) {
    constexpr int endRecordSize = 22;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < endRecordSize ||
        file.size() > endRecordSize + 0xffff)
        return false;
    const QByteArray bytes = file.readAll();
    const auto u16 = [&bytes](int at) { return uint(uchar(bytes[at])) | uint(uchar(bytes[at + 1])) << 8; };
    if (!bytes.startsWith(QByteArray("PK\x05\x06", 4)))
        return false;
    // Disk numbers, both entry counts, directory size and offset: all zero.
    for (int at = 4; at < 20; at += 2) {
        if (u16(at) != 0)
            return false;
    }
    return int(u16(20)) == bytes.size() - endRecordSize;
}

} // namespace

bool archiveHasEntry(const QString &path, const QString &name) {
    unzFile zip = ZipReader::open(path);
    if (!zip)
        return false;
    // Compared as the entries install ("./game.exe" is "game.exe"); a refused name installs nothing.
    bool found = false;
    for (int status = unzGoToFirstFile(zip); status == UNZ_OK && !found; status = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        QString entry;
        if (!ZipReader::currentEntry(zip, &info, &entry))
            break;
        found = FileNameRules::isSafeEntryName(entry) &&
                FileNameRules::normalizedEntryName(entry).compare(name, Qt::CaseInsensitive) == 0;
    }
    unzClose(zip);
    return found;
}

bool unzipArchive(const QString &path) {
    return unzipArchive(path, Platform::launcherDir());
}

bool unzipArchive(const QString &path, const QString &targetDir) {
    return extractArchive(path, targetDir).ok();
}

Result<ExtractError> extractArchive(const QString &path, const QString &targetDir, qint64 *missingRoom,
                                    std::vector<InstalledEntry> *installed,
                                    const QHash<QString, QByteArray> *expectedDigests) {
    const QString &dir = targetDir;
    using Failure = Result<ExtractError>;
    if (missingRoom)
        *missingRoom = 0;
    const auto refuse = [&path](ExtractError code, const QString &why) {
        const Failure failure(code, QStringLiteral("%1: %2").arg(path, why));
        log() << "uncompress failed: " << failure.reason();
        return failure;
    };

    unzFile zip = ZipReader::open(path);
    if (!zip) {
        // The zip library takes an end record at offset 0 for "no end record at all".
        if (isEmptyArchive(path)) {
            log() << "empty zip file " << path;
            return {};
        }
        log() << "failed to open zip file: " << path;
        return refuse(ExtractError::CannotOpen, QStringLiteral("not a readable zip archive"));
    }

    unz_global_info64 globalInfo;
    if (unzGetGlobalInfo64(zip, &globalInfo) != UNZ_OK) {
        log() << "can not read global info of " << path;
        unzClose(zip);
        return refuse(ExtractError::CannotOpen, QStringLiteral("its central directory cannot be read"));
    }

    log() << "start uncompressing";
    // The archive is listed here, in order, and the folders it names are made; a fault found on the
    // way ranks behind the entries before it, which are still inflated first. The file entries are
    // then inflated, checked and staged on every core.
    ExtractionWriter writer;
    ExtractionJob job(path, &writer, DiskRoom::blockSize(dir));
    job.expectDigests(expectedDigests);
    for (ZPOS64_T i = 0; i < globalInfo.number_entry; ++i) {
        unz_file_info64 info;
        QString listed;
        if (!ZipReader::currentEntry(zip, &info, &listed)) {
            log() << "can not read file info";
            job.fail(i, ExtractError::Damaged, QStringLiteral("entry %1 cannot be read").arg(i));
            break;
        }
        // An entry for the target folder itself; one holding data is no folder and refused as unsafe.
        const bool folderItself = FileNameRules::isFolderItself(listed) && info.uncompressed_size == 0;
        if (!folderItself && !FileNameRules::isSafeEntryName(listed)) {
            log() << "unsafe file name in zip " << listed;
            job.fail(i, ExtractError::Refused,
                     QStringLiteral("unsafe entry name %1").arg(FileNameRules::printable(listed)));
            break;
        }
        // One spelling per file: "./a" and "a" are the same target.
        const QString name = FileNameRules::normalizedEntryName(listed);
        if (ExtractionWriter::isReservedName(name)) {
            log() << "reserved file name in zip " << listed;
            job.fail(i, ExtractError::Refused,
                     QStringLiteral("reserved entry name %1").arg(FileNameRules::printable(listed)));
            break;
        }

        // Folders included: an archive checked against a list holds the listed files and nothing else.
        if (expectedDigests && !expectedDigests->contains(name)) {
            log() << "unexpected entry in zip " << listed;
            job.fail(
                i, ExtractError::Damaged,
                QStringLiteral("entry %1 is not one its index lists").arg(FileNameRules::printable(listed)));
            break;
        }

        if (folderItself || name.endsWith(QLatin1Char('/'))) {
            // The folder itself (an empty name) is the target, which exists already.
            const QString folder = QStringLiteral("%1/%2").arg(dir, name);
            if (!writer.makeDirectory(folder)) {
                job.fail(i, ExtractError::CannotWrite, QStringLiteral("cannot write %1").arg(folder));
                break;
            }
        } else {
            ExtractionJob::Entry entry;
            entry.index = i;
            entry.name = name;
            entry.target = QStringLiteral("%1/%2").arg(dir, name);
            const int slash = name.lastIndexOf(QLatin1Char('/'));
            if (slash >= 0)
                entry.parent = QStringLiteral("%1/%2").arg(dir, name.left(slash));
            entry.size = info.uncompressed_size;
            entry.versionMadeBy = info.version;
            entry.externalAttributes = info.external_fa;
            if (unzGetFilePos64(zip, &entry.position) != UNZ_OK) {
                log() << "can not read file info";
                job.fail(i, ExtractError::Damaged, QStringLiteral("entry %1 cannot be read").arg(i));
                break;
            }
            job.add(std::move(entry));
        }

        if (i + 1 < globalInfo.number_entry && unzGoToNextFile(zip) != UNZ_OK) {
            log() << "can not read next file";
            job.fail(i + 1, ExtractError::Damaged,
                     QStringLiteral("the entry after %1 cannot be found").arg(name));
            break;
        }
    }
    unzClose(zip);

    // The installed files stay until every entry is staged: all the entries need room at once, and
    // the old files they replace give none back before that. A damaged or refused listing fails as
    // such, whatever the room.
    const ExtractError listed = job.failureCode();
    if (listed == ExtractError::None || listed == ExtractError::CannotWrite) {
        const qint64 available = DiskRoom::available(dir);
        if (available >= 0 && job.roomNeeded() > available) {
            const qint64 shortBy = job.roomNeeded() - available;
            log() << "not enough disk space to uncompress " << path << ": needs " << job.roomNeeded()
                  << " bytes in " << dir << ", " << available << " free";
            writer.discard();
            if (missingRoom)
                *missingRoom = shortBy;
            return refuse(
                ExtractError::NoRoom,
                QStringLiteral("its entries need %1 bytes in %2, %3 are free: %4 more bytes are needed")
                    .arg(job.roomNeeded())
                    .arg(dir)
                    .arg(available)
                    .arg(shortBy));
        }
    }

    if (!job.run(QThread::idealThreadCount())) {
        writer.discard(); // every installed file stays as it was
        if (job.failureCode() == ExtractError::NoRoom && missingRoom) {
            // With the staged files gone again, what the whole extraction lacks now, if that is more.
            *missingRoom = qMax(job.missingRoom(), DiskRoom::shortBy(dir, job.roomNeeded()));
        }
        return refuse(job.failureCode(), job.failureReason());
    }
    if (!writer.commit())
        return refuse(ExtractError::CannotWrite, writer.failureReason());
    if (installed)
        *installed = job.installed();
    log() << "end uncompressing";
    return {};
}
