#pragma once

#include "download/downloadtask.h"
#include "workflow/archivepatchpreparer.h"

#include <QString>

struct RemoteFileInfo;
class XDManager;

// What the pre-download of a coming file starts from, as the game's update would: the installed
// copy of a file whose line lists a block map (its blocks are taken, the rest fetched, and the new
// copy written whole into the pre-download folder), or the files an unpacked archive installed when
// its line lists an entry index (only the changed entries are fetched, staged in the pre-download
// folder). `installed`: the version the game has of the file ("" when none).
namespace PreDownloadSources {

// `olderCopy`: the game folder's copy of the file is an older version (or a damaged one) to take
// blocks from. Also what the update itself starts from.
DeltaSource delta(const QString &gameFolder, const RemoteFileInfo &e, bool olderCopy);
// The block map `e` lists, without an old copy (unset when none is listed, and for archives).
DeltaSource blockMapOf(const RemoteFileInfo &e);
// The entry index `e` lists, for an archive unpacked into `gameFolder` (unset when none is listed).
// Also what the update itself starts from.
ArchiveSource entryIndex(const QString &gameFolder, const RemoteFileInfo &e);
ArchiveSource archive(const QString &gameFolder, const RemoteFileInfo &e, const QString &installed);
// Queues `e` in `manager` (whose folder is the pre-download folder) from what it starts from; true
// when it is fetched as an archive's changed entries.
bool queue(XDManager *manager, const QString &gameFolder, const RemoteFileInfo &e, const QString &installed);

// Bytes the pre-download of `e` still writes into the folder: a copy's whole size, an archive's
// fetched entries once its plan is saved there (the listed size before), less what earlier runs
// left of either.
qint64 bytesToWrite(const QString &gameFolder, const RemoteFileInfo &e, bool byEntries);

} // namespace PreDownloadSources
