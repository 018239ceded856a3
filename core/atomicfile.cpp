#include "core/atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace AtomicFile {

Result<Error> write(const QString &path, const QByteArray &data, bool createFolder) {
    if (createFolder) {
        const QString folder = QFileInfo(path).absolutePath();
        if (!QDir().mkpath(folder))
            return {Error::CannotCreateFolder, QStringLiteral("cannot create folder %1").arg(folder)};
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {Error::CannotOpen,
                QStringLiteral("cannot open %1 for writing: %2").arg(path, file.errorString())};
    // QIODevice::write may take fewer bytes than offered; a short or failed write cancels the file.
    qint64 written = 0;
    while (written < data.size()) {
        const qint64 n = file.write(data.constData() + written, data.size() - written);
        if (n <= 0) {
            const QString why = file.errorString();
            file.cancelWriting();
            return {Error::CannotWrite, QStringLiteral("cannot write %1 after %2 of %3 bytes: %4")
                                            .arg(path)
                                            .arg(written)
                                            .arg(data.size())
                                            .arg(why)};
        }
        written += n;
    }
    if (!file.commit())
        return {Error::CannotCommit, QStringLiteral("cannot replace %1: %2").arg(path, file.errorString())};
    return {};
}

} // namespace AtomicFile
