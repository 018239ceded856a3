#pragma once

#include "archive/archivepatchplan.h"
#include "download/spanplanner.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>

class ListedFileFetch;
class PeerEntryFetch;

// An archive unpacked before: its installed files are brought to the listed version from the
// entry index, fetching only the entries that changed. Or one never unpacked (firstInstall), which
// is installed that way only while a launcher nearby may send its entries.
struct ArchiveSource {
    QString indexRemotePath; // below cdnBaseUrl, as the file's remotePath
    QString indexDigest;     // as the version file lists it
    QString folder;          // where the archive was unpacked
    // Where the index, the plan and the fetched entries go (a pre-download's own folder); the
    // unpacked folder when empty.
    QString stagingFolder;
    QSet<QString> distrusted; // installed files found damaged: hashed again whatever the record says
    bool firstInstall = false;

    bool isSet() const { return !indexRemotePath.isEmpty(); }
    QString staging() const { return stagingFolder.isEmpty() ? folder : stagingFolder; }
};

// Plans the update of an unpacked archive: fetches its entry index (bounded by
// ZipIndex::MaxIndexSize, from the usable CDN hosts in turn), then on a worker of the engine's pool
// checks it against its listed digest and the archive's listed size, decides against the record of
// what the installed version unpacked which entries are kept, copied or fetched, and saves the index
// and the plan beside the archive. The spans to fetch are the changed entries' bytes in the archive
// (then its central directory, for their modes), fetched one after another into
// ArchivePatchFiles::fetchedPath(). Before that, while a peer is among the hosts (and the update is
// staged beside the game), the changed entries' content is asked from the peers by its digest
// (PeerEntryFetch); what arrives, checked, is not fetched from the CDN. Entries a peer sent to an
// earlier try are taken again once checked. Not ok (no index, a refused one, a first install without
// a usable peer, or more than half of the archive left to fetch): the engine fetches the whole archive.
class ArchivePatchPreparer : public SpanPlanner {
    Q_OBJECT
public:
    explicit ArchivePatchPreparer(const ArchiveSource &source, QObject *parent = nullptr);
    ~ArchivePatchPreparer() override; // cancels

    // The index fetched already (for the room check) and found to be the listed one, before
    // start(): it is not fetched again.
    void setIndex(const QByteArray &bytes) { given = bytes; }

    bool start(const RemoteFileInfo &listed, const Means &means) override;
    void cancel() override;
    const Plan &plan() const override { return decided; }

    // While entries come from peers: the archive bytes they stand for that arrived (afterwards the
    // plan's savedBytes counts them).
    qint64 peerProgress() const;
    bool fetchingFromPeers() const;
    // What the peers sent for this archive in this run.
    qint64 peerBytes() const;

private:
    struct Work;
    void indexArrived(const QByteArray &bytes);
    void decidedOn(const std::shared_ptr<Work> &work);
    void askPeers(const std::shared_ptr<Work> &work);
    void peersAnswered(const std::shared_ptr<Work> &work);
    void planned(const std::shared_ptr<Work> &work);
    void fail(const QString &reason);

    ArchiveSource source;
    QString archive; // its name, version and size as listed
    QString version;
    qint64 listedSize = 0;
    Means lent;
    QByteArray given;
    ListedFileFetch *fetch = nullptr; // none when the index was given
    PeerEntryFetch *peerFetch = nullptr;
    bool withPeers = false;
    qint64 fromPeers = 0;  // bytes the finished peer fetch received
    qint64 peerWeight = 0; // its arrivedWeight()
    std::shared_ptr<Work> running;
    Plan decided;
    bool done = false;
};
