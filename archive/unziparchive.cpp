#include "archive/unziparchive.h"

#include "archive/extractionwriter.h"
#include "platform/filenamerules.h"
#include "platform/platform.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <unzip.h>

#include <limits>

namespace {

// Bytes copied per read from the zip library to the target file. Large blocks keep the number of
// write calls low; the whole archive is never held in memory.
constexpr int blockSize = 256 * 1024;
// Blocks in flight between inflating and writing.
constexpr int bufferCount = 8;

QDebug log() {
    return qDebug().noquote().nospace();
}

// The archive is read through QFile: it opens any path Qt can name, also one that the local 8-bit
// encoding cannot spell (an install folder below a user name in another script on Windows).
voidpf ZCALLBACK qtOpen(voidpf, const void *path, int mode) {
    if (!path || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    auto *file = new QFile(*static_cast<const QString *>(path));
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        return nullptr;
    }
    return file;
}

uLong ZCALLBACK qtRead(voidpf, voidpf stream, void *buffer, uLong size) {
    const qint64 count = static_cast<QFile *>(stream)->read(static_cast<char *>(buffer), qint64(size));
    return count < 0 ? 0 : uLong(count);
}

uLong ZCALLBACK qtWrite(voidpf, voidpf, const void *, uLong) {
    return 0; // read only
}

ZPOS64_T ZCALLBACK qtTell(voidpf, voidpf stream) {
    return ZPOS64_T(static_cast<QFile *>(stream)->pos());
}

long ZCALLBACK qtSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto *file = static_cast<QFile *>(stream);
    qint64 base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = file->pos();
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = file->size();
        break;
    default:
        return -1;
    }
    // Offsets come from the archive itself: a position past 2^63 or before the start is refused.
    if (offset > ZPOS64_T(std::numeric_limits<qint64>::max() - base))
        return -1;
    return file->seek(base + qint64(offset)) ? 0 : -1;
}

int ZCALLBACK qtClose(voidpf, voidpf stream) {
    delete static_cast<QFile *>(stream);
    return 0;
}

int ZCALLBACK qtError(voidpf, voidpf stream) {
    return static_cast<QFile *>(stream)->error() == QFileDevice::NoError ? 0 : 1;
}

unzFile openArchive(const QString &path) {
    zlib_filefunc64_def io;
    io.zopen64_file = qtOpen;
    io.zread_file = qtRead;
    io.zwrite_file = qtWrite;
    io.ztell64_file = qtTell;
    io.zseek64_file = qtSeek;
    io.zclose_file = qtClose;
    io.zerror_file = qtError;
    io.opaque = nullptr;
    return unzOpen2_64(&path, &io);
}

// Reads the current entry's information and its whole name, whatever its length.
bool currentEntry(unzFile zip, unz_file_info64 *info, QString *name) {
    if (unzGetCurrentFileInfo64(zip, info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    QByteArray bytes(int(info->size_filename), '\0');
    unz_file_info64 again; // the library writes the information even when only the name is wanted
    if (!bytes.isEmpty() && unzGetCurrentFileInfo64(zip, &again, bytes.data(), uLong(bytes.size()), nullptr,
                                                    0, nullptr, 0) != UNZ_OK)
        return false;
    *name = QString::fromUtf8(bytes);
    return true;
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
    unzFile zip = openArchive(path);
    if (!zip)
        return false;
    // Compared as the entries install ("./game.exe" is "game.exe"); a refused name installs nothing.
    bool found = false;
    for (int status = unzGoToFirstFile(zip); status == UNZ_OK && !found; status = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        QString entry;
        if (!currentEntry(zip, &info, &entry))
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

Result<ExtractError> extractArchive(const QString &path, const QString &targetDir) {
    const QString &dir = targetDir;
    using Failure = Result<ExtractError>;
    const auto refuse = [&path](ExtractError code, const QString &why) {
        const Failure failure(code, QStringLiteral("%1: %2").arg(path, why));
        log() << "uncompress failed: " << failure.reason();
        return failure;
    };

    unzFile zip = openArchive(path);
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
    // Inflating runs here, writing on the writer's thread: the two overlap.
    ExtractionWriter writer(bufferCount, blockSize);
    writer.start();
    const auto fail = [&](bool entryOpen, ExtractError code, QString why) {
        if (entryOpen)
            unzCloseCurrentFile(zip);
        unzClose(zip);
        writer.finish();
        if (why.isEmpty())
            why = writer.failureReason();
        writer.discard(); // every installed file stays as it was
        return refuse(code, why);
    };
    QString lastParent;

    for (ZPOS64_T i = 0; i < globalInfo.number_entry; ++i) {
        unz_file_info64 info;
        QString listed;
        if (!currentEntry(zip, &info, &listed)) {
            log() << "can not read file info";
            return fail(false, ExtractError::Damaged, QStringLiteral("entry %1 cannot be read").arg(i));
        }
        // An entry for the target folder itself; one holding data is no folder and refused as unsafe.
        const bool folderItself = FileNameRules::isFolderItself(listed) && info.uncompressed_size == 0;
        if (!folderItself && !FileNameRules::isSafeEntryName(listed)) {
            log() << "unsafe file name in zip " << listed;
            return fail(false, ExtractError::Refused,
                        QStringLiteral("unsafe entry name %1").arg(FileNameRules::printable(listed)));
        }
        // One spelling per file: "./a" and "a" are the same target.
        const QString name = FileNameRules::normalizedEntryName(listed);
        if (ExtractionWriter::isReservedName(name)) {
            log() << "reserved file name in zip " << listed;
            return fail(false, ExtractError::Refused,
                        QStringLiteral("reserved entry name %1").arg(FileNameRules::printable(listed)));
        }

        if (folderItself || name.endsWith(QLatin1Char('/'))) {
            // The folder itself (an empty name) is the target, which exists already.
            writer.makeDirectory(QStringLiteral("%1/%2").arg(dir, name));
        } else {
            const int slash = name.lastIndexOf(QLatin1Char('/'));
            if (slash >= 0) {
                const QString parent = QStringLiteral("%1/%2").arg(dir, name.left(slash));
                // Entries of one folder usually follow each other; skip the check for a known folder.
                if (parent != lastParent) {
                    writer.makeDirectory(parent);
                    lastParent = parent;
                }
            }

            if (unzOpenCurrentFile(zip) != UNZ_OK) {
                log() << "cannot open file in zip " << name;
                return fail(false, ExtractError::Damaged,
                            QStringLiteral("entry %1 cannot be opened").arg(name));
            }
            writer.openFile(QStringLiteral("%1/%2").arg(dir, name));

            ZPOS64_T written = 0;
            for (;;) {
                const int buffer = writer.takeBuffer();
                if (buffer < 0) // the writer failed and said why
                    return fail(true, ExtractError::CannotWrite, QString());
                const int count = unzReadCurrentFile(zip, writer.bufferData(buffer), unsigned(blockSize));
                if (count < 0) {
                    log() << "cannot read zip file " << name << ", error code is " << count;
                    writer.write(buffer, 0);
                    return fail(
                        true, ExtractError::Damaged,
                        QStringLiteral("entry %1 cannot be inflated (zip error %2)").arg(name).arg(count));
                }
                writer.write(buffer, count);
                if (count == 0)
                    break;
                written += ZPOS64_T(count);
            }
            // A damaged stream can end early without an error; its checksum is then never compared.
            if (written != info.uncompressed_size) {
                log() << "size mismatch in zip file " << name << ", " << written << " of "
                      << info.uncompressed_size << " bytes";
                return fail(true, ExtractError::Damaged,
                            QStringLiteral("entry %1 holds %2 bytes, its header says %3")
                                .arg(name)
                                .arg(written)
                                .arg(info.uncompressed_size));
            }

            // Closing an entry that was read to its end compares its checksum.
            const int closed = unzCloseCurrentFile(zip);
            if (closed == UNZ_CRCERROR) {
                log() << "crc error in zip file " << name;
                return fail(false, ExtractError::Damaged,
                            QStringLiteral("entry %1 fails its checksum").arg(name));
            }
            if (closed != UNZ_OK) {
                log() << "cannot close file in zip " << name << ", error code is " << closed;
                return fail(false, ExtractError::Damaged,
                            QStringLiteral("entry %1 cannot be closed (zip error %2)").arg(name).arg(closed));
            }
            writer.closeFile(info.version, info.external_fa);
        }
        if (writer.failed())
            return fail(false, ExtractError::CannotWrite, QString());

        if (i + 1 < globalInfo.number_entry && unzGoToNextFile(zip) != UNZ_OK) {
            log() << "can not read next file";
            return fail(false, ExtractError::Damaged,
                        QStringLiteral("the entry after %1 cannot be found").arg(name));
        }
    }

    unzClose(zip);
    if (!writer.finish()) {
        const QString why = writer.failureReason();
        writer.discard();
        return refuse(ExtractError::CannotWrite, why);
    }
    if (!writer.commit())
        return refuse(ExtractError::CannotWrite, writer.failureReason());
    log() << "end uncompressing";
    return {};
}
