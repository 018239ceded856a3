#pragma once

#include "archive/archivepatchplan.h"
#include "archive/unziparchive.h"
#include "core/result.h"
#include "patch/zipindex.h"

#include <QString>

#include <vector>

// Brings the files an archive installed to the version of a new entry index, from a plan, the
// fetched file (the plan's spans, one after another) and, for entries that launchers nearby sent,
// `peerFolder` (one file each, named by the hex digits of its BLAKE2b). Blocking; meant for a worker
// thread.
//
// The plan may be old, or made elsewhere: a kept file whose size or time is not the one the plan
// saw (any kept file of a plan that noted none) is hashed again first, and one that no longer holds
// its entry fails the update as Damaged before anything is touched, to be planned again.
//
// The fetched file becomes a small zip archive of the fetched entries: each local header in it must
// name the entry the index lists at that place, and a central directory built from the index is
// appended (after cutting the file to the spans' size, so that a second try after a kill appends it
// again). Its records carry the modes the archive's own central directory gives the entries, when the
// plan fetched it, else the modes of the files they replace; copies take the archive's mode too. Copied
// entries are read from their installed sources and staged beside their targets, checked against the index's
// BLAKE2b, before anything is unpacked (a source may be an entry that the update replaces). The small archive
// is then unpacked by extractArchive(), every entry checked against the index's BLAKE2b before any file is
// put in place; the staged copies take their names last. Entries from peers are staged like copies
// (moved rather than copied by the last entry that uses the content), checked against the index again
// unless the moved file still has the size and time the plan saw. A
// failure leaves the installed files as they were (except copies already in place when a rename fails half
// way, which a next try puts right). A copy that a killed try left staged, or put in place, is taken as it is
// when its source no longer holds the content.
//
// On success `installed` receives every entry of the index as installed (kept, copied and fetched
// alike; one per target, a later entry of the same name winning), for the record of extracted files.
namespace ArchivePatcher {

Result<ExtractError> apply(const QString &folder, const ZipIndex &index, const ArchivePatchPlan &plan,
                           const QString &fetchedPath, std::vector<InstalledEntry> *installed,
                           qint64 *missingRoom = nullptr, const QString &peerFolder = QString());

} // namespace ArchivePatcher
