#include "workflow/installcheck.h"

#include "archive/extractedfiles.h"
#include "core/filedigest.h"

#include <QFileInfo>

QString InstallCheck::sizeDamage(const QString &path, qint64 listedSize) {
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("missing");
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    if (info.size() != listedSize)
        return QStringLiteral("size %1 on disk, %2 listed").arg(info.size()).arg(listedSize);
    return QString();
}

InstallCheck::File InstallCheck::hashCheck(File file) {
    file.damage = sizeDamage(file.path, file.size);
    if (!file.damage.isEmpty())
        return file;
    const auto cancelled = [&file]() { return file.progress && file.progress->cancelled.load(); };
    if (cancelled()) {
        file.damage = QStringLiteral("check cancelled");
        return file;
    }
    QByteArray digest;
    qint64 total = 0;
    const auto progress = [&](qint64 n) {
        total += n;
        if (file.progress)
            file.progress->hashedBytes += n;
        return !cancelled();
    };
    const Result<FileDigest::Error> hashed = file.blake2b.isEmpty()
                                                 ? FileDigest::md5Hex(file.path, &digest, progress)
                                                 : ExtractedFiles::digestOf(file.path, &digest, progress);
    if (!hashed.ok()) {
        file.damage =
            hashed.code() == FileDigest::Error::Stopped ? QStringLiteral("check cancelled") : hashed.reason();
        return file;
    }
    // The file may have changed size since the stat.
    if (total != file.size) {
        file.damage = QStringLiteral("size %1 read, %2 listed").arg(total).arg(file.size);
        return file;
    }
    if (!file.blake2b.isEmpty()) {
        if (digest != file.blake2b)
            file.damage =
                QStringLiteral("BLAKE2b %1 on disk, %2 when unpacked")
                    .arg(QString::fromLatin1(digest.toHex()), QString::fromLatin1(file.blake2b.toHex()));
        return file;
    }
    const QString md5 = QString::fromLatin1(digest);
    if (md5 != file.md5)
        file.damage = QStringLiteral("md5 %1 on disk, %2 listed").arg(md5, file.md5);
    return file;
}
