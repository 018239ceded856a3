#include "patch/deltawriter.h"

#include "platform/platform.h"

#include <QDebug>

#include <cstring>

namespace {

constexpr int MaxWriteBytes = 4 * 1024 * 1024;

} // namespace

Result<DeltaWriter::Error> DeltaWriter::open(const QString &partialPath, qint64 newSize) {
    path = partialPath;
    QString why;
    if (!Platform::openPlainFile(&file, path, QIODevice::ReadWrite | QIODevice::Unbuffered, &why) ||
        !file.resize(newSize)) {
        if (why.isEmpty())
            why = file.errorString();
        qWarning() << "cannot write partial file" << path << why;
        return {Error::CannotWrite, QStringLiteral("cannot write the partial file %1: %2").arg(path, why)};
    }
    pending.reserve(MaxWriteBytes);
    return {};
}

Result<DeltaWriter::Error> DeltaWriter::put(qint64 newOffset, const uchar *bytes, qint64 length) {
    if (!file.isOpen())
        return failed(newOffset);
    const bool follows = !pending.isEmpty() && pendingOffset + pending.size() == newOffset;
    if (!follows || pending.size() + length > MaxWriteBytes) {
        const Result<Error> flushed = flush();
        if (!flushed.ok())
            return flushed;
        pendingOffset = newOffset;
    }
    if (length > MaxWriteBytes) {
        if (!file.seek(newOffset) || file.write(reinterpret_cast<const char *>(bytes), length) != length)
            return failed(newOffset);
        written += length;
        return {};
    }
    pending.append(reinterpret_cast<const char *>(bytes), int(length));
    return {};
}

Result<DeltaWriter::Error> DeltaWriter::flush() {
    if (pending.isEmpty())
        return {};
    if (!file.seek(pendingOffset) || file.write(pending) != pending.size())
        return failed(pendingOffset);
    written += pending.size();
    pending.clear();
    return {};
}

Result<DeltaWriter::Error> DeltaWriter::finish() {
    const Result<Error> flushed = flush();
    if (!flushed.ok())
        return flushed;
    file.close();
    return {};
}

Result<DeltaWriter::Error> DeltaWriter::failed(qint64 offset) {
    const QString why = file.isOpen() ? file.errorString() : QStringLiteral("not open");
    qWarning() << "cannot write partial file" << path << offset << why;
    pending.clear();
    file.close();
    return {Error::CannotWrite,
            QStringLiteral("cannot write the partial file %1 at byte %2: %3").arg(path).arg(offset).arg(why)};
}
