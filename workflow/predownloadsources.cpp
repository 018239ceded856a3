#include "workflow/predownloadsources.h"

#include "archive/archivepatchfiles.h"
#include "archive/archivepatchplan.h"
#include "archive/extractedfiles.h"
#include "download/resumerecord.h"
#include "download/xdmanager.h"
#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"
#include "workflow/predownloadfolder.h"

#include <QFile>
#include <QFileInfo>

namespace {

QByteArray readBounded(const QString &path, qint64 limit) {
    QFile file(path);
    if (QFileInfo(path).isSymLink() || file.size() > limit || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Of a file being written into the folder: what an earlier run left complete of it.
qint64 resumed(const QString &target, const RemoteFileInfo &listed) {
    ResumeRecord found;
    return ResumeRecord::load(target, listed, &found).ok() ? found.completeBytes() : 0;
}

} // namespace

DeltaSource PreDownloadSources::delta(const QString &gameFolder, const RemoteFileInfo &e, bool olderCopy) {
    const QString path = QStringLiteral("%1/%2").arg(gameFolder, e.name);
    DeltaSource source = blockMapOf(e);
    if (!source.hasMap() || !olderCopy || !QFileInfo(path).isFile())
        return DeltaSource();
    source.oldCopyPath = path;
    return source;
}

DeltaSource PreDownloadSources::blockMapOf(const RemoteFileInfo &e) {
    if (e.mapDigest.isEmpty() || ZipIndex::wantsIndex(e.name) || !FileNameRules::isSafeFileName(e.name))
        return DeltaSource();
    DeltaSource source;
    source.mapRemotePath =
        QStringLiteral("v%1_%2%3").arg(e.version, e.name, QLatin1String(BlockMap::RemoteSuffix));
    source.mapDigest = e.mapDigest;
    source.listedSize = e.size;
    return source;
}

ArchiveSource PreDownloadSources::entryIndex(const QString &gameFolder, const RemoteFileInfo &e) {
    if (e.mapDigest.isEmpty() || !ZipIndex::wantsIndex(e.name) || !FileNameRules::isSafeFileName(e.name))
        return ArchiveSource();
    ArchiveSource source;
    source.indexRemotePath =
        QStringLiteral("v%1_%2%3").arg(e.version, e.name, QLatin1String(ZipIndex::RemoteSuffix));
    source.indexDigest = e.mapDigest;
    source.folder = gameFolder;
    return source;
}

ArchiveSource PreDownloadSources::archive(const QString &gameFolder, const RemoteFileInfo &e,
                                          const QString &installed) {
    ArchiveSource source = entryIndex(gameFolder, e);
    if (!source.isSet() || installed.isEmpty() ||
        !QFileInfo::exists(ExtractedFiles::recordPath(gameFolder, e.name)))
        return ArchiveSource();
    source.stagingFolder = PreDownloadFolder::path(gameFolder);
    return source;
}

bool PreDownloadSources::queue(XDManager *manager, const QString &gameFolder, const RemoteFileInfo &e,
                               const QString &installed) {
    const QString remotePath = QStringLiteral("v%1_%2").arg(e.version, e.name);
    const DeltaSource copy = delta(gameFolder, e, !installed.isEmpty());
    const ArchiveSource entries = archive(gameFolder, e, installed);
    if (copy.isSet())
        manager->addFile(remotePath, e.name, copy);
    else if (entries.isSet())
        manager->addFile(remotePath, e.name, new ArchivePatchPreparer(entries));
    else
        manager->addFile(remotePath, e.name);
    return entries.isSet();
}

qint64 PreDownloadSources::bytesToWrite(const QString &gameFolder, const RemoteFileInfo &e, bool byEntries) {
    const QString dir = PreDownloadFolder::path(gameFolder);
    const qint64 whole = e.size - resumed(QStringLiteral("%1/%2").arg(dir, e.name), e);
    // Not planned yet (nothing to read: a parse would only log a mismatch).
    if (!byEntries || !QFileInfo(ArchivePatchFiles::planPath(dir, e.name)).isFile())
        return whole;
    ZipIndex index;
    ArchivePatchPlan plan;
    if (!ZipIndex::parse(readBounded(ArchivePatchFiles::indexPath(dir, e.name), ZipIndex::MaxIndexSize),
                         e.size, e.mapDigest, &index)
             .ok() ||
        !ArchivePatchPlan::fromBytes(
             readBounded(ArchivePatchFiles::planPath(dir, e.name), ArchivePatchPlan::MaxPlanBytes), index,
             e.mapDigest, &plan)
             .ok())
        return whole;
    RemoteFileInfo spans;
    spans.name = e.name;
    spans.version = e.version;
    spans.size = plan.fetchBytes();
    spans.md5 = plan.id();
    return plan.fetchBytes() - resumed(ArchivePatchFiles::fetchedPath(dir, e.name), spans);
}
