#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <vector>

// Unpacks a zip archive into the launcher directory (Platform::launcherDir()). Blocking; meant to run
// on a worker thread (QtConcurrent::run), from where it inflates the entries on threads of its own,
// one per core (none from the global pool). Thread-safe: it keeps no state between calls and touches
// neither widgets nor settings. Returns false on the first entry that cannot be extracted or checked;
// the installed files are replaced only when every entry of the archive was read whole with the
// right size and checksum, so a failed archive leaves every file as it was. An archive without
// entries succeeds.
bool unzipArchive(const QString &path);

// Same, into an explicit directory (which must exist).
bool unzipArchive(const QString &path, const QString &targetDir);

enum class ExtractError {
    None = 0,
    CannotOpen,  // not a zip archive, or unreadable
    Damaged,     // an entry cannot be read whole: bad data, wrong size or checksum
    Refused,     // an entry's name is unsafe or reserved
    CannotWrite, // the extracted files cannot be written or put in place
    NoRoom       // the disk lacks room for the extracted files; the archive itself is fine
};

// unzipArchive with the sentence that says why it failed (the archive, the entry, what went wrong);
// the reason is logged too.
//
// Every file entry is staged beside the installed files, which stay until all are in place, so the
// extraction needs room for all the entries at once (each in whole blocks; the archive is already on
// the disk). That room is checked once the archive is listed, before anything is written, and a
// write that fails later on a disk without room for the rest fails the same way: NoRoom, with
// `missingRoom` (when given) set to the bytes still lacking. Nothing is installed then.
//
// `installed`, when given, receives after a success every file the archive installed (one per
// target: a later entry of the same name wins), with its size and the BLAKE2b-256 of its bytes,
// hashed as they were inflated.
//
// `expectedDigests`, when given, lists the BLAKE2b-256 each entry must unpack to, by installed name:
// an entry that unpacks to other bytes, or that the list does not name, fails as Damaged before
// anything is put in place (an archive assembled from fetched pieces holds only what was asked for).
struct InstalledEntry {
    QString name; // as installed, below the target directory, '/' separators
    quint64 size = 0;
    QByteArray blake2b; // 32 bytes
    // The file's modification time when it was found to hold those bytes; -1 when it was just written.
    qint64 checkedMs = -1;
};
Result<ExtractError> extractArchive(const QString &path, const QString &targetDir,
                                    qint64 *missingRoom = nullptr,
                                    std::vector<InstalledEntry> *installed = nullptr,
                                    const QHash<QString, QByteArray> *expectedDigests = nullptr);

// Whether the archive lists a file of this name (compared without regard to case, as Windows finds
// files). False when the archive cannot be read.
bool archiveHasEntry(const QString &path, const QString &name);
