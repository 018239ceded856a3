#pragma once

#include "archive/unziparchive.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <mutex>
#include <vector>

#include <unzip.h>

class ExtractionWriter;

// Inflates and checks the file entries of one archive on several threads, each with its own handle
// on the archive (a zip handle serves one thread at a time), and stages them through the writer.
// The threads take the next entry in the archive's order from a shared index, so a large entry
// keeps one thread busy while the others go on with the rest.
//
// Failures rank by their place in the archive, so the one reported is the one a single thread
// reading the entries in order would have met first: an entry after a failure is not started or
// stops at its next block; one before it, already under way, is finished (a fault of its own
// would come first).
class ExtractionJob {
public:
    struct Entry {
        quint64 index = 0; // place in the archive
        QString name;      // as installed, for log lines and reasons
        QString target;
        QString parent; // folder made for it, if any
        unz64_file_pos position{};
        quint64 size = 0;
        unsigned long versionMadeBy = 0;
        unsigned long externalAttributes = 0;
        bool shadowed = false; // a later entry installs the same file: read and checked, not written
    };

    // `blockSize`: of the file system the entries are staged on, for the room they take.
    ExtractionJob(const QString &archive, ExtractionWriter *writer, qint64 blockSize);

    // What each entry must unpack to, by installed name (see extractArchive); the map outlives run().
    void expectDigests(const QHash<QString, QByteArray> *digests) { expected = digests; }

    // Entries in the archive's order.
    void add(Entry entry);
    // A failure found while the archive was listed, ranked at `index` like an entry's own;
    // `missingRoom` with NoRoom.
    void fail(quint64 index, ExtractError code, const QString &why, qint64 missingRoom = 0);

    // Room the staged entries take together, in whole blocks. An entry that a later one of the same
    // name shadows counts too, though it is never written: a count that errs high fails before
    // writing, one that errs low halfway.
    qint64 roomNeeded() const { return totalRoom; }

    // Runs the entries on up to `threads` threads, the caller's included; true when every entry was
    // read whole, checked and staged.
    bool run(int threads);

    // After a successful run(): the file each target received, with the digest of its bytes.
    std::vector<InstalledEntry> installed() const;

    ExtractError failureCode() const { return error; }
    QString failureReason() const { return reason; }
    // With NoRoom: the bytes the disk lacked for the entries still to write when a write failed.
    qint64 missingRoom() const { return missingBytes; }

private:
    void work();
    bool extract(unzFile zip, const Entry &entry, char *buffer, QByteArray *digest);
    // A staging write for `entry` failed (its partial file removed): NoRoom when its disk has no
    // room left for the entries not yet staged, CannotWrite otherwise.
    bool writeFailed(const Entry &entry, const QString &what);
    qint64 roomOf(const Entry &entry) const;
    bool stopped(quint64 index) const { return stopAt.load(std::memory_order_relaxed) < index; }

    const QString archivePath;
    ExtractionWriter *const stagingWriter;
    const qint64 diskBlockSize;
    qint64 totalRoom = 0;
    std::atomic<qint64> stagedRoom{0}; // room the entries staged so far take, by every thread
    std::vector<Entry> entries;        // not changed while run() runs
    std::vector<QByteArray> digests;   // BLAKE2b-256 of each entry's bytes, each written by its one thread
    QHash<QString, size_t> byTarget;   // entry that installs each target
    const QHash<QString, QByteArray> *expected = nullptr;
    std::atomic<size_t> nextEntry{0};
    std::atomic<quint64> stopAt{~quint64(0)}; // index of the first failure so far

    std::mutex mutex;
    bool hasFailure = false;
    ExtractError error = ExtractError::None;
    QString reason;
    qint64 missingBytes = 0;
};
