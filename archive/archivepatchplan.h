#pragma once

#include "archive/extractedfiles.h"
#include "core/result.h"
#include "patch/zipindex.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>

#include <atomic>

// What an update of an unpacked archive needs, decided from the new version's entry index and the
// record of what the installed version unpacked: each entry of the index is kept (the installed
// file has its content), copied (another file the archive installed has it) or fetched. Fetched
// entries are fetched by their byte ranges in the archive, adjacent entries merged into one span;
// the spans' bytes, one after another, make the "fetched file" that ArchivePatcher turns into a
// small archive of just those entries.
//
// When any entry is fetched, the archive's central directory is fetched after the entries, for the
// modes it gives them, while it takes no more than the entries do (or MinDirectoryBytes, and never
// more than MaxDirectoryBytes).
//
// Deciding hashes as little as it can: a file whose size and modification time are those the
// record lists has the recorded digest; any other (and every file when there is no record, or one
// named in `distrusted`) is hashed again. A kept file's size and time as the plan saw them are noted,
// so that applying the plan, perhaps days later, knows which kept files changed since. A plan is
// text, saved beside the archive while the update runs, so that a run killed half way takes it up again:
//   "KVAP 2", "index <64 hex digits>", "archive <size>", "directory <offset> <size>" (or
//   "directory -" when it is not fetched), then one line per entry of the index in its order:
//   "keep\t<size>\t<mtime in ms since the epoch>", "fetch", "copy\t<installed name>" or
//   "peer\t<size>\t<mtime>" (of the file the entry waits in); names as the record has them. The earlier form
//   "KVAP 1" has no directory line and bare "keep" lines: it is still read, its kept files as not seen.
class ArchivePatchPlan {
public:
    enum class Error {
        None = 0,
        Malformed, // a saved plan that is not of this form or does not fit its index
        Stopped,   // the cancel flag was raised
    };
    // Peer: a launcher nearby sent the entry's unpacked content, checked against the index's BLAKE2b
    // as it arrived; it waits under ArchivePatchFiles::peerEntryPath().
    enum class Action { Keep, Copy, Fetch, Peer };

    struct Span {
        qint64 offset = 0; // in the archive
        qint64 length = 0;
    };

    // A kept file's (or an entry from a peer's) size and modification time as the plan saw it; size
    // -1 when not seen.
    struct Seen {
        qint64 size = -1;
        qint64 modifiedMs = 0;
    };

    struct Counts {
        int entries = 0;
        qint64 bytes = 0; // unpacked bytes of those entries
    };

    // Decides for `index` (of the archive whose listed index digest is `indexDigest`) against the
    // files in `folder`. `record` may be empty (no record: every file named by the index is hashed).
    // `distrusted`: installed names hashed again whatever the record says (found damaged).
    // `cancel`, when given, is polled between files.
    static Result<Error> decide(const ZipIndex &index, const QString &indexDigest,
                                const ExtractedFiles &record, const QString &folder,
                                const QSet<QString> &distrusted, ArchivePatchPlan *out,
                                const std::atomic<bool> *cancel = nullptr);

    // Entries to fetch whose content is among `sent` (BLAKE2b-256 -> the modification time of the
    // file it waits in, checked as it arrived) are taken from there instead; the spans are made
    // again. Entries that share an installed name are still fetched: their extraction decides which
    // one the file ends up with.
    void takeFromPeers(const ZipIndex &index, const QHash<QByteArray, qint64> &sent);
    // The entries to fetch that a launcher nearby may send instead: their index places, each
    // content once.
    QVector<int> peerCandidates(const ZipIndex &index) const;

    // Whether fetching the entries is worth it against fetching the whole archive: the spans take
    // at most half of the archive's bytes.
    bool worthIt() const;

    const QString &indexDigest() const { return digest; }
    qint64 archiveSize() const { return archiveBytes; }
    int entryCount() const { return actions.size(); }
    // One per entry of the index, in its order.
    Action action(int entry) const { return actions.at(entry); }
    // For Copy: the installed name whose content the entry has.
    QString copySource(int entry) const { return sources.at(entry); }
    // Entries' spans in archive order, then the central directory's when it is fetched.
    const QVector<Span> &spans() const { return fetchSpans; }
    Seen seen(int entry) const { return seenFiles.value(entry); }
    // Where the central directory lies in the fetched file and its size; -1 when not fetched.
    qint64 directoryAt() const { return directoryOffset; }
    qint64 directoryBytes() const { return directory.length; }
    qint64 fetchBytes() const; // what the spans take together (the fetched file's size)
    Counts kept() const { return count(Action::Keep); }
    Counts copied() const { return count(Action::Copy); }
    Counts fetched() const { return count(Action::Fetch); }
    Counts fromPeers() const { return count(Action::Peer); }
    // Where fetched entry `entry`'s local header lies in the fetched file; -1 when not fetched.
    qint64 fetchedOffset(int entry) const;

    QByteArray toBytes() const;
    // Reads a saved plan, checking it against the index it was made for.
    static Result<Error> fromBytes(const QByteArray &bytes, const ZipIndex &index, const QString &indexDigest,
                                   ArchivePatchPlan *out);
    // 32 lower-case hex digits naming this plan (MD5 of its text): a download of the fetched file
    // records it, so that a record of another plan is never taken for this one.
    QString id() const;

    static constexpr qint64 MaxPlanBytes = 64 * 1024 * 1024;
    static constexpr qint64 MinDirectoryBytes = 64 * 1024;
    static constexpr qint64 MaxDirectoryBytes = 16 * 1024 * 1024;

private:
    Counts count(Action a) const;
    void makeSpans(const ZipIndex &index, bool withDirectory);
    // The archive's central directory is fetched for the modes of the entries that are unpacked
    // anew (fetched or sent by a peer) while it is small beside them.
    bool wantsDirectory(const ZipIndex &index) const;

    int form = 2;
    QString digest;
    qint64 archiveBytes = 0;
    QVector<Action> actions;
    QVector<QString> sources;
    QVector<qint64> offsets; // fetchedOffset() of each entry
    QVector<qint64> sizes;   // unpacked size of each entry
    QVector<Seen> seenFiles;
    QVector<Span> fetchSpans;
    Span directory;              // in the archive; length 0 when not fetched
    qint64 directoryOffset = -1; // in the fetched file
};
