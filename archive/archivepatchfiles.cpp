#include "archive/archivepatchfiles.h"

#include <QFile>
#include <QFileInfo>

namespace ArchivePatchFiles {

QString indexPath(const QString &folder, const QString &archive) {
    return QStringLiteral("%1/%2.kestrivane-index").arg(folder, archive);
}

QString planPath(const QString &folder, const QString &archive) {
    return QStringLiteral("%1/%2.kestrivane-plan").arg(folder, archive);
}

QString fetchedPath(const QString &folder, const QString &archive) {
    return QStringLiteral("%1/%2.kestrivane-patch").arg(folder, archive);
}

bool fetched(const QString &folder, const QString &archive) {
    return QFileInfo(planPath(folder, archive)).isFile() && QFileInfo(fetchedPath(folder, archive)).isFile();
}

void removeUpdate(const QString &folder, const QString &archive) {
    const QString fetchedFile = fetchedPath(folder, archive);
    for (const QString &path : {planPath(folder, archive), fetchedFile, fetchedFile + ".kestrivane-download",
                                fetchedFile + ".kestrivane-resume"}) {
        if (QFileInfo(path).isSymLink() || QFileInfo::exists(path))
            QFile::remove(path);
    }
}

QString archiveOf(const QString &fileName) {
    for (const char *suffix : {".kestrivane-index", ".kestrivane-plan", ".kestrivane-patch"}) {
        const int at = fileName.indexOf(QLatin1String(suffix));
        if (at > 0 && (fileName.size() == at + int(qstrlen(suffix)) ||
                       fileName.at(at + int(qstrlen(suffix))) == QLatin1Char('.')))
            return fileName.left(at);
    }
    return QString();
}

void removeAll(const QString &folder, const QString &archive) {
    removeUpdate(folder, archive);
    QFile::remove(indexPath(folder, archive));
}

} // namespace ArchivePatchFiles
