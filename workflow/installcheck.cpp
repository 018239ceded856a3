#include "workflow/installcheck.h"

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
    QByteArray md5;
    qint64 total = 0;
    const Result<FileDigest::Error> hashed = FileDigest::md5Hex(file.path, &md5, [&](qint64 n) {
        total += n;
        if (file.progress)
            file.progress->hashedBytes += n;
        return !cancelled();
    });
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
    const QString digest = QString::fromLatin1(md5);
    if (digest != file.md5)
        file.damage = QStringLiteral("md5 %1 on disk, %2 listed").arg(digest, file.md5);
    return file;
}
