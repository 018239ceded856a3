#pragma once

#include "trust/versiontable.h"

#include <QMap>
#include <QString>

// The folder a coming release is pre-downloaded into, inside the launcher's folder and apart from
// the game: files fetched whole under their own names, the partial files and resume records of
// those under way, and a list of the files complete there with the line each was checked against
// (version-file lines). Nothing of the game, its records or its extraction ever looks inside.
namespace PreDownloadFolder {

// Whether two lines list the same file: name, version, MD5 (in either case) and size.
bool sameLine(const RemoteFileInfo &a, const RemoteFileInfo &b);

// "<folder>/kestrivane-predownload".
QString path(const QString &folder);
// The list of complete files: "<pre-download folder>/.kestrivane-complete".
QString listPath(const QString &folder);

// The files the list names whose copy is there at its listed size. A list that cannot be read
// (damaged, oversized) names none.
QMap<QString, RemoteFileInfo> completeFiles(const QString &folder);
// Adds a file that arrived (checked against `line`) to the list; false when the list cannot be written.
bool addComplete(const QString &folder, const RemoteFileInfo &line);

// The game's download of `listed` takes the pre-downloaded copy when one is complete for exactly
// that line: it is moved beside the target as the download's partial file, with a resume record of
// every piece, so the download only checks its MD5 and puts it in place (a copy that fails the
// check is fetched as usual). False, with nothing changed, when there is no such copy. `complete`:
// completeFiles() of the folder, read once for all the files of an update. Nothing is synced: a copy
// or record that a power cut takes back is fetched again, never installed unchecked.
bool handOver(const QString &gameFolder, const RemoteFileInfo &listed,
              const QMap<QString, RemoteFileInfo> &complete);

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
