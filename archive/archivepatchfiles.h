#pragma once

#include <QString>

// The files an update of an unpacked archive keeps beside it, all named after the archive:
//   "<archive>.kestrivane-index"  the entry index of the version it brings (kept after the update,
//                                 for repairs of single entries; checked against the record's digest)
//   "<archive>.kestrivane-plan"   what is kept, copied and fetched (while the update runs)
//   "<archive>.kestrivane-patch"  the fetched entries, one after another (while the update runs)
//   "<archive>.kestrivane-peer/"  entries launchers nearby sent, unpacked, one file each named by
//                                 the 64 hex digits of its BLAKE2b (while the update runs)
namespace ArchivePatchFiles {

QString indexPath(const QString &folder, const QString &archive);
QString planPath(const QString &folder, const QString &archive);
QString fetchedPath(const QString &folder, const QString &archive);
QString peerFolder(const QString &folder, const QString &archive);
// `digest`: the entry's BLAKE2b-256, 32 bytes.
QString peerEntryPath(const QString &folder, const QString &archive, const QByteArray &digest);
// Whether a fetched update waits to be unpacked: its plan and fetched file are there.
bool fetched(const QString &folder, const QString &archive);
// Removes the plan, the fetched file (and its download leftovers) and the entries from peers; the
// index stays.
void removeUpdate(const QString &folder, const QString &archive);
// Removes everything, the index too.
void removeAll(const QString &folder, const QString &archive);
// The archive a file of these (or a download leftover of one) belongs to, by its name; empty for
// any other name.
QString archiveOf(const QString &fileName);

} // namespace ArchivePatchFiles
