#include "archive/unziparchive.h"

#include "archive/entrypermissions.h"
#include "platform/platform.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <unzip.h>

namespace {

// Bytes copied per read from the zip library to the target file. Large blocks keep the number of
// write calls low; the whole archive is never held in memory.
constexpr int blockSize = 256 * 1024;

QDebug log() {
    return qDebug().noquote().nospace();
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

bool makeDirectory(const QString &dir) {
    if (QDir(dir).exists())
        return true;
    return QDir().mkpath(dir);
}

} // namespace

bool isSafeEntryName(const QString &name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    // A backslash may be a separator on Windows, a colon a drive letter or a stream name.
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':')) || name.contains(QChar(0)))
        return false;
    const QVector<QStringRef> segments = name.splitRef(QLatin1Char('/'));
    for (const QStringRef &segment : segments) {
        if (segment == QLatin1String(".."))
            return false;
    }
    return true;
}

bool unzipArchive(const QString &path) {
    return unzipArchive(path, Platform::launcherDir());
}

bool unzipArchive(const QString &path, const QString &targetDir) {
    const QString &dir = targetDir;

    unzFile zip = unzOpen(QFile::encodeName(path).constData());
    if (!zip) {
        log() << "failed to open zip file: " << path;
        return false;
    }

    unz_global_info globalInfo;
    if (unzGetGlobalInfo(zip, &globalInfo) != UNZ_OK) {
        log() << "can not read global info of " << path;
        unzClose(zip);
        return false;
    }

    log() << "start uncompressing";
    QByteArray buffer(blockSize, Qt::Uninitialized);
    QString lastParent;

    for (uLong i = 0; i < globalInfo.number_entry; ++i) {
        unz_file_info64 info;
        QString name;
        if (!currentEntry(zip, &info, &name)) {
            log() << "can not read file info";
            unzClose(zip);
            return false;
        }
        if (!isSafeEntryName(name)) {
            log() << "unsafe file name in zip " << name;
            unzClose(zip);
            return false;
        }

        if (name.endsWith(QLatin1Char('/'))) {
            const QString directory = QStringLiteral("%1/%2").arg(dir, name);
            if (!makeDirectory(directory)) {
                log() << "cannot create " << directory;
                unzClose(zip);
                return false;
            }
        } else {
            const int slash = name.lastIndexOf(QLatin1Char('/'));
            if (slash >= 0) {
                const QString parent = QStringLiteral("%1/%2").arg(dir, name.left(slash));
                // Entries of one folder usually follow each other; skip the check for a known folder.
                if (parent != lastParent) {
                    if (!makeDirectory(parent)) {
                        log() << "cannot create " << parent;
                        unzClose(zip);
                        return false;
                    }
                    lastParent = parent;
                }
            }

            if (unzOpenCurrentFile(zip) != UNZ_OK) {
                log() << "cannot open file in zip " << name;
                unzClose(zip);
                return false;
            }

            const QString targetPath = QStringLiteral("%1/%2").arg(dir, name);
            QFile target(targetPath);
            if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
                log() << "cannot open target file " << targetPath;
                unzCloseCurrentFile(zip);
                unzClose(zip);
                return false;
            }

            ZPOS64_T written = 0;
            for (;;) {
                const int count = unzReadCurrentFile(zip, buffer.data(), unsigned(buffer.size()));
                if (count < 0) {
                    log() << "cannot read zip file " << name << ", error code is " << count;
                    unzCloseCurrentFile(zip);
                    unzClose(zip);
                    return false;
                }
                if (count == 0)
                    break;
                if (target.write(buffer.constData(), count) != count) {
                    log() << "cannot write target file " << targetPath << ", " << target.errorString();
                    unzCloseCurrentFile(zip);
                    unzClose(zip);
                    return false;
                }
                written += ZPOS64_T(count);
            }
            target.close();
            if (target.error() != QFileDevice::NoError) {
                log() << "cannot write target file " << targetPath << ", " << target.errorString();
                unzCloseCurrentFile(zip);
                unzClose(zip);
                return false;
            }
            // A damaged stream can end early without an error; its checksum is then never compared.
            if (written != info.uncompressed_size) {
                log() << "size mismatch in zip file " << name << ", " << written << " of "
                      << info.uncompressed_size << " bytes";
                unzCloseCurrentFile(zip);
                unzClose(zip);
                return false;
            }
            if (!applyEntryPermissions(targetPath, info.version, info.external_fa))
                log() << "cannot set permissions of " << targetPath;

            // Closing an entry that was read to its end compares its checksum.
            const int closed = unzCloseCurrentFile(zip);
            if (closed == UNZ_CRCERROR) {
                log() << "crc error in zip file " << name;
                unzClose(zip);
                return false;
            }
            if (closed != UNZ_OK) {
                log() << "cannot close file in zip " << name << ", error code is " << closed;
                unzClose(zip);
                return false;
            }
        }

        if (i + 1 < globalInfo.number_entry && unzGoToNextFile(zip) != UNZ_OK) {
            log() << "can not read next file";
            unzClose(zip);
            return false;
        }
    }

    log() << "end uncompressing";
    unzClose(zip);
    return true;
}
