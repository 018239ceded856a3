#pragma once

#include "download/downloadtask.h"
#include "trust/versiontable.h"
#include "workflow/archivepatchpreparer.h"
#include "workflow/installcheck.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

class LauncherConfig;

// What is installed in the game's folder: the versions "config.ini" records, held against the
// files the VersionTable lists and the files on disk, and the installed copies an update takes its
// sound blocks from.
class InstalledGame {
public:
    InstalledGame(const QString &folder, LauncherConfig *config);

    static bool isArchive(const QString &name);

    QString installedVersion(const QString &name) const;
    // Files recorded as installed in the listed version that should be on disk now, with their
    // listed size and MD5; for an unpacked archive (which is not), the files it installed.
    QList<InstallCheck::File> installedFilesOnDisk() const;
    // Forgets the record of a damaged installed file (for a file an archive installed: the
    // archive's), so that it is fetched again; false when it was forgotten before in this run.
    bool forgetDamaged(const InstallCheck::File &file);
    void forgetUnlistedFiles();
    // Files found damaged in this run.
    QSet<QString> damagedNames() const { return damagedFiles; }
    // Listed files on the disk without a record whose bytes differ: older copies for their block maps.
    void addCopiesOnDisk(const QSet<QString> &names) { copiesOnDisk += names; }
    void removeUnpackedArchives();

    // The installed older copy of a file whose line lists a block map; none for a plain download.
    DeltaSource deltaSourceFor(const RemoteFileInfo &e) const;
    ArchiveSource archiveSourceFor(const RemoteFileInfo &e) const;

private:
    QList<InstallCheck::File> filesUnpackedFrom(const RemoteFileInfo &e) const;

    QString folder;
    LauncherConfig *config;
    // Files found damaged in this run: a copy of one still on disk gives its sound blocks when the
    // file has a block map, like an older copy does.
    QSet<QString> damagedFiles;
    QHash<QString, QSet<QString>> damagedEntries; // of an archive: the files it installed found damaged
    QSet<QString> copiesOnDisk;
};
