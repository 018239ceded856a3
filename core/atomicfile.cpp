#include "core/atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace AtomicFile {

namespace {

// Gives up the write (the target stays as it was) and says how far it came.
Result<Error> cancel(QSaveFile *file, qint64 written, qint64 total) {
    const QString why = file->errorString();
    file->cancelWriting(); // the temporary file goes with the object
    return {Error::CannotWrite,
            QStringLiteral("cannot write %1 after %2 of %3 bytes: %4")
                .arg(file->fileName(), QString::number(written), QString::number(total), why)};
}

} // namespace

Result<Error> write(const QString &path, const QByteArray &data, bool createFolder) {
    if (createFolder) {
        const QString folder = QFileInfo(path).absolutePath();
        if (!QDir().mkpath(folder))
            return {Error::CannotCreateFolder, QStringLiteral("cannot create folder %1").arg(folder)};
    }
    QSaveFile file(path);
    // Unbuffered: a buffered write "succeeds" and fails only when close() flushes it, and commit()
    // looks at neither that flush's result nor the sync's, so a full disk would replace the old file
    // with a truncated one. Here every byte reaches the temporary file through a checked write.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return {Error::CannotOpen,
                QStringLiteral("cannot open %1 for writing: %2").arg(path, file.errorString())};
    // QIODevice::write may take fewer bytes than offered; a short or failed write cancels the file.
    qint64 written = 0;
    while (written < data.size()) {
        const qint64 n = file.write(data.constData() + written, data.size() - written);
        if (n <= 0)
            return cancel(&file, written, data.size());
        written += n;
    }
    if (!file.flush())
        return cancel(&file, written, data.size());
    if (!file.commit())
        return {Error::CannotCommit, QStringLiteral("cannot replace %1: %2").arg(path, file.errorString())};
    return {};
}

} // namespace AtomicFile
