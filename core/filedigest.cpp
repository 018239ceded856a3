#include "core/filedigest.h"

#include <QCryptographicHash>
#include <QFile>

namespace FileDigest {

namespace {
constexpr qint64 BlockSize = 1024 * 1024;
}

Result<Error> readBlocks(const QString &path, const std::function<void(const char *, qint64)> &consume,
                         const Progress &progress) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Error::CannotOpen, QStringLiteral("cannot open %1: %2").arg(path, file.errorString())};
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
        consume(block.constData(), n);
        total += n;
        if (progress && !progress(n))
            return {Error::Stopped, QStringLiteral("stopped reading %1 after %2 bytes").arg(path).arg(total)};
    }
    return {};
}

Result<Error> md5Hex(const QString &path, QByteArray *hex, const Progress &progress) {
    hex->clear();
    QCryptographicHash hash(QCryptographicHash::Md5);
    const Result<Error> read = readBlocks(
        path, [&hash](const char *data, qint64 size) { hash.addData(data, int(size)); }, progress);
    if (read.ok())
        *hex = hash.result().toHex();
    return read;
}

} // namespace FileDigest
