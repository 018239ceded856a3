#include "launcher/installcheck.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace {
constexpr qint64 HashBlock = 1024 * 1024;
}

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
    QFile f(file.path);
    if (!f.open(QIODevice::ReadOnly)) {
        file.damage = QStringLiteral("cannot read: %1").arg(f.errorString());
        return file;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray block(int(HashBlock), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        if (file.progress && file.progress->cancelled.load()) {
            file.damage = QStringLiteral("check cancelled");
            return file;
        }
        const qint64 n = f.read(block.data(), HashBlock);
        if (n < 0) {
            file.damage = QStringLiteral("cannot read: %1").arg(f.errorString());
            return file;
        }
        if (n == 0)
            break;
        hash.addData(block.constData(), int(n));
        total += n;
        if (file.progress)
            file.progress->hashedBytes += n;
    }
    // The file may have changed size since the stat.
    if (total != file.size) {
        file.damage = QStringLiteral("size %1 read, %2 listed").arg(total).arg(file.size);
        return file;
    }
    const QString digest = QString::fromLatin1(hash.result().toHex());
    if (digest != file.md5)
        file.damage = QStringLiteral("md5 %1 on disk, %2 listed").arg(digest, file.md5);
    return file;
}
