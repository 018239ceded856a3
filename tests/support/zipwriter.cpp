#include "support/zipwriter.h"

#include "support/testfiles.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>
#include <zlib.h>

bool writeZip(const QString &path, const QList<ZipEntry> &entries) {
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (const ZipEntry &entry : entries) {
        zip_fileinfo info = {};
        info.external_fa = entry.externalAttributes;
        const int method = entry.stored ? 0 : Z_DEFLATED;
        const int level = entry.stored ? 0 : Z_DEFAULT_COMPRESSION;
        if (zipOpenNewFileInZip4_64(
                zip, entry.name.constData(), &info, nullptr, 0, nullptr, 0, nullptr, method, level, 0,
                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                entry.password.isEmpty() ? nullptr : entry.password.constData(),
                crc32(0, reinterpret_cast<const Bytef *>(entry.data.constData()), uInt(entry.data.size())),
                entry.versionMadeBy, 0, entry.zip64 ? 1 : 0) != ZIP_OK) {
            ok = false;
            break;
        }
        if (!entry.data.isEmpty() &&
            zipWriteInFileInZip(zip, entry.data.constData(), unsigned(entry.data.size())) != ZIP_OK)
            ok = false;
        if (zipCloseFileInZip(zip) != ZIP_OK)
            ok = false;
        if (!ok)
            break;
    }
    if (zipClose(zip, nullptr) != ZIP_OK)
        ok = false;
    return ok;
}

QByteArray zipBytes(QList<ZipEntry> entries) {
    for (ZipEntry &entry : entries)
        entry.zip64 = true;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("archive.zip"));
    return dir.isValid() && writeZip(path, entries) ? TestFiles::readFile(path) : QByteArray();
}

ZipEntry unixEntry(const QByteArray &name, const QByteArray &data, unsigned long mode) {
    ZipEntry entry;
    entry.name = name;
    entry.data = data;
    entry.versionMadeBy = (3u << 8) | 30;
    entry.externalAttributes = mode << 16;
    return entry;
}
