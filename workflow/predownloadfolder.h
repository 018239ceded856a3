#pragma once

#include "trust/versiontable.h"

#include <QMap>
#include <QString>

// The folder a coming release is pre-downloaded into, inside the launcher's folder and apart from
// the game: new copies of files under their own names (fetched whole, or made from the installed
// copy's blocks and the fetched rest), the staged update of an unpacked archive (its entry index,
// plan and fetched entries, ArchivePatchFiles' names), the partial files and resume records of
// those under way, and a list of the files complete there with the line each was checked against
// (version-file lines; an archive's staged update adds ":entries:<installed version it was
// planned from>", which launchers that know only copies ignore, finding no copy). Nothing of the
// game, its records or its extraction ever looks inside.
namespace PreDownloadFolder {

// A complete file of the folder.
struct Complete {
    RemoteFileInfo line;
    // An archive's staged update planned against the installed version `base`; else a whole copy.
    bool entries = false;
    QString base;
};

// Whether two lines list the same file: name, version, MD5 (in either case) and size.
bool sameLine(const RemoteFileInfo &a, const RemoteFileInfo &b);

// "<folder>/kestrivane-predownload".
QString path(const QString &folder);
// The list of complete files: "<pre-download folder>/.kestrivane-complete".
QString listPath(const QString &folder);

// The files the list names that are there: a copy at its listed size, or a staged update's three
// files. A list that cannot be read (damaged, oversized) names none.
QMap<QString, Complete> complete(const QString &folder);
// Their lines.
QMap<QString, RemoteFileInfo> completeFiles(const QString &folder);
// Adds a file that arrived (checked against `line`) to the list; false when the list cannot be written.
bool addComplete(const QString &folder, const RemoteFileInfo &line);
// Adds an archive's staged update, planned against the installed version `base`.
bool addStaged(const QString &folder, const RemoteFileInfo &line, const QString &base);

enum HandOver {
    NotHandedOver,   // nothing fit: the game's update fetches the file as usual
    CopyHandedOver,  // the download checks the copy's MD5 and puts it in place
    UpdateHandedOver // the archive's staged update waits beside it to be unpacked: nothing to fetch
};
// The game's update of `listed` takes what is complete for exactly that line. A copy is moved
// beside the target as the download's partial file, with a resume record of every piece, so the
// download only checks its MD5 and puts it in place (a copy that fails the check is fetched as
// usual). A staged update is moved beside the archive as the update's own, once its index checks
// out against the listed digest and size, its plan against the index and its fetched entries
// against the plan's size, and it was planned against `installed` (the version the game has now):
// anything that does not fit goes, and the archive is updated as if nothing were there. `complete`:
// complete() of the folder, read once for all the files of an update. Nothing is synced: what a
// power cut takes back is fetched again, never installed unchecked.
HandOver handOver(const QString &gameFolder, const RemoteFileInfo &listed,
                  const QMap<QString, Complete> &complete, const QString &installed);

// Removes everything but the files (complete, or partial with their records) pre-downloaded for a
// line of `keep`.
void keepOnly(const QString &folder, const QMap<QString, RemoteFileInfo> &keep);
void removeAll(const QString &folder);
// The lines of the coming release that the folder holds files for (recorded when its list was
// accepted); none when there is no record or it cannot be read.
QMap<QString, RemoteFileInfo> coming(const QString &folder);
bool setComing(const QString &folder, const QMap<QString, RemoteFileInfo> &lines);

// Bytes the folder's files take.
qint64 bytesOnDisk(const QString &folder);

} // namespace PreDownloadFolder
