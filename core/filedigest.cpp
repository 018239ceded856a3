#include "core/filedigest.h"

#include <QCryptographicHash>
#include <QFile>

namespace FileDigest {

namespace {
constexpr qint64 BlockSize = 1024 * 1024;
}

Result<Error> md5Hex(const QString &path, QByteArray *hex, const Progress &progress) {
    hex->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Error::CannotOpen, QStringLiteral("cannot open %1: %2").arg(path, file.errorString())};
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray block(int(BlockSize), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(block.data(), BlockSize);
        if (n < 0)
            return {Error::CannotRead, QStringLiteral("cannot read %1 after %2 bytes: %3")
                                           .arg(path)
                                           .arg(total)
                                           .arg(file.errorString())};
        if (n == 0)
            break;
        hash.addData(block.constData(), int(n));
        total += n;
        if (progress && !progress(n))
            return {Error::Stopped, QStringLiteral("stopped reading %1 after %2 bytes").arg(path).arg(total)};
    }
    *hex = hash.result().toHex();
    return {};
}

} // namespace FileDigest
