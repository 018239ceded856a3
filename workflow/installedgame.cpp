#include "workflow/installedgame.h"

#include "archive/archivepatchfiles.h"
#include "archive/extractedfiles.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "workflow/launcherconfig.h"
#include "workflow/predownloadsources.h"
#include "workflow/workflowsetup.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

InstalledGame::InstalledGame(const QString &folder, LauncherConfig *config)
    : folder(folder)
    , config(config) {}

bool InstalledGame::isArchive(const QString &name) {
    return name.endsWith(QLatin1String(".zip"));
}

QString InstalledGame::installedVersion(const QString &name) const {
    return config->installedVersion(name);
}

QList<InstallCheck::File> InstalledGame::installedFilesOnDisk() const {
    QList<InstallCheck::File> files;
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        if (e.name == QLatin1String(LauncherFileName) || installedVersion(e.name) != e.version)
            continue;
        // An unpacked archive is deleted on purpose: the files it installed stand for it, as its
        // record lists them. One still waiting to be unpacked must be there.
        if (isArchive(e.name) && !config->hasExtractionMark(e.name)) {
            files.append(filesUnpackedFrom(e));
            continue;
        }
        // An archive updated by its changed entries is never on the disk whole: its fetched entries
        // and plan wait to be unpacked instead.
        if (isArchive(e.name) && FileNameRules::isSafeFileName(e.name) &&
            ArchivePatchFiles::fetched(folder, e.name) &&
            !QFileInfo::exists(QStringLiteral("%1/%2").arg(folder, e.name)))
            continue;
        InstallCheck::File f;
        f.name = e.name;
        f.path = QStringLiteral("%1/%2").arg(folder, e.name);
        f.size = e.size;
        f.md5 = e.md5;
        files.append(f);
    }
    return files;
}

// The files an unpacked archive installed, as its record lists them; none without a record of this
// version (an archive unpacked before records were kept, or a record that cannot be read).
QList<InstallCheck::File> InstalledGame::filesUnpackedFrom(const RemoteFileInfo &e) const {
    QList<InstallCheck::File> files;
    if (!FileNameRules::isSafeFileName(e.name))
        return files;
    ExtractedFiles record;
    if (!ExtractedFiles::load(ExtractedFiles::recordPath(folder, e.name), &record).ok() ||
        record.version() != e.version)
        return files;
    for (const ExtractedFiles::File &unpacked : record.files()) {
        InstallCheck::File f;
        f.name = e.name;
        f.entry = unpacked.name;
        f.path = QStringLiteral("%1/%2").arg(folder, unpacked.name);
        f.size = qint64(unpacked.size);
        f.blake2b = unpacked.blake2b;
        files.append(f);
    }
    return files;
}

bool InstalledGame::forgetDamaged(const InstallCheck::File &file) {
    const QString &name = file.name;
    if (!file.entry.isEmpty())
        damagedEntries[name].insert(file.entry);
    // An archive is fetched again once, however many of its files are damaged.
    if (damagedFiles.contains(name))
        return false;
    config->forget(name);
    damagedFiles.insert(name);
    return true;
}

// A name the version file no longer lists keeps nothing: its extraction mark would unpack an old
// archive over the new release's files, and its installed version would stay in "config.ini" for
// good. An archive of such a name still on disk goes too; any other file stays where it is.
void InstalledGame::forgetUnlistedFiles() {
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    QStringList names = config->extractionMarks();
    // Looked up in a set: the names are as many as the game's files.
    QSet<QString> seen(names.cbegin(), names.cend());
    for (const QString &name : config->installedNames()) {
        if (!seen.contains(name)) {
            seen.insert(name);
            names.append(name);
        }
    }
    for (const QString &name : qAsConst(names)) {
        if (table.contains(name))
            continue;
        qDebug().noquote() << "dropping the record of a file no longer listed: " + name;
        config->forget(name);
        if (isArchive(name) && FileNameRules::isSafeFileName(name)) {
            ExtractedFiles::remove(folder, name);
            ArchivePatchFiles::removeAll(folder, name);
        }
        const QString path = QStringLiteral("%1/%2").arg(folder, name);
        if (isArchive(name) && FileNameRules::isSafeFileName(name) && QFileInfo::exists(path) &&
            !QFile::remove(path))
            qWarning() << "cannot remove archive no longer listed" << path;
    }
}

// A launcher stopped between clearing an archive's mark and deleting it leaves the archive on disk
// with its contents in place: recorded at the listed version and unmarked, it only goes away.
void InstalledGame::removeUnpackedArchives() {
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        if (!isArchive(e.name) || installedVersion(e.name) != e.version || config->hasExtractionMark(e.name))
            continue;
        const QString path = QStringLiteral("%1/%2").arg(folder, e.name);
        if (QFileInfo::exists(path)) {
            qDebug().noquote() << "removing unpacked archive left behind: " + e.name;
            QFile::remove(path);
        }
    }
}

// A copy recorded at another version is the older one the map's blocks are looked for in, and so are
// a copy found on the disk without a record and a damaged copy (its sound blocks are kept, only the
// damaged ones fetched). Archives have no maps: they are deleted once unpacked.
DeltaSource InstalledGame::deltaSourceFor(const RemoteFileInfo &e) const {
    return PreDownloadSources::delta(folder, e,
                                     !installedVersion(e.name).isEmpty() || damagedFiles.contains(e.name) ||
                                         copiesOnDisk.contains(e.name));
}

// An archive unpacked before (a version is recorded, or the files it installed) is brought up to
// date by its changed entries when its line lists an entry index. A first install fetches the
// archive whole: there is nothing to keep.
ArchiveSource InstalledGame::archiveSourceFor(const RemoteFileInfo &e) const {
    ArchiveSource archive = PreDownloadSources::entryIndex(folder, e);
    if (!archive.isSet() || (installedVersion(e.name).isEmpty() &&
                             !QFileInfo::exists(ExtractedFiles::recordPath(folder, e.name))))
        return ArchiveSource();
    archive.distrusted = damagedEntries.value(e.name);
    return archive;
}
