#include "zipmaker.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>

bool makeZip(const QString &path, const QList<QPair<QByteArray, QByteArray>> &entries) {
    zipFile zf = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zf)
        return false;
    bool ok = true;
    for (const auto &entry : entries) {
        zip_fileinfo info = {};
        if (zipOpenNewFileInZip64(zf, entry.first.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1) != ZIP_OK) {
            ok = false;
            break;
        }
        if (!entry.second.isEmpty() &&
            zipWriteInFileInZip(zf, entry.second.constData(), unsigned(entry.second.size())) != ZIP_OK)
            ok = false;
        if (zipCloseFileInZip(zf) != ZIP_OK)
            ok = false;
        if (!ok)
            break;
    }
    if (zipClose(zf, nullptr) != ZIP_OK)
        ok = false;
    return ok;
}

QByteArray zipBytes(const QList<QPair<QByteArray, QByteArray>> &entries) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("archive.zip"));
    if (!makeZip(path, entries))
        return QByteArray();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}
