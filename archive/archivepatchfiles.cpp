#include "archive/archivepatchfiles.h"

#include <QDir>
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

QString peerFolder(const QString &folder, const QString &archive) {
    return QStringLiteral("%1/%2.kestrivane-peer").arg(folder, archive);
}

QString peerEntryPath(const QString &folder, const QString &archive, const QByteArray &digest) {
    return QStringLiteral("%1/%2").arg(peerFolder(folder, archive), QString::fromLatin1(digest.toHex()));
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
    const QString peers = peerFolder(folder, archive);
    const QFileInfo peerInfo(peers);
    // A link planted in its place is removed, never followed.
    if (peerInfo.isSymLink() || peerInfo.isFile())
        QFile::remove(peers);
    else if (peerInfo.isDir())
        QDir(peers).removeRecursively();
}

QString archiveOf(const QString &fileName) {
    for (const char *suffix :
         {".kestrivane-index", ".kestrivane-plan", ".kestrivane-patch", ".kestrivane-peer"}) {
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
