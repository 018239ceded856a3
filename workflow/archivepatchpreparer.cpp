#include "workflow/archivepatchpreparer.h"

#include "archive/archivepatchfiles.h"
#include "archive/extractedfiles.h"
#include "core/atomicfile.h"
#include "download/cdnhosts.h"
#include "download/listedfilefetch.h"
#include "download/resumerecord.h"
#include "patch/zipindex.h"
#include "workflow/peerentryfetch.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

struct ArchivePatchPreparer::Work {
    QByteArray indexBytes;
    Result<ZipIndex::Error> parsed;
    ZipIndex index;
    ArchivePatchPlan plan;
    QString failure; // empty when the plan was made and saved
    std::atomic<bool> cancelled{false};
};

namespace {

// Entries that peers sent to an earlier try of this update wait beside it: those that still hold
// their content are not asked for again.
void takeEarlierPeerEntries(const QString &folder, const QString &archive, const ZipIndex &index,
                            ArchivePatchPlan *plan, const std::atomic<bool> &cancelled) {
    if (!QFileInfo(ArchivePatchFiles::peerFolder(folder, archive)).isDir())
        return;
    QHash<QByteArray, qint64> there;
    for (int i : plan->peerCandidates(index)) {
        if (cancelled)
            return;
        const ZipIndex::Entry &e = index.entries().at(i);
        const QString path = ArchivePatchFiles::peerEntryPath(folder, archive, e.hash);
        const QFileInfo info(path);
        QByteArray digest;
        if (info.isFile() && !info.isSymLink() && info.size() == e.size &&
            ExtractedFiles::digestOf(path, &digest).ok() && digest == e.hash)
            there.insert(e.hash, info.lastModified().toMSecsSinceEpoch());
    }
    plan->takeFromPeers(index, there);
}

QString unworthy(const ArchivePatchPlan &plan, qint64 size) {
    return QStringLiteral("%1 of its %2 bytes to fetch: the whole archive is cheaper")
        .arg(plan.fetchBytes())
        .arg(size);
}

} // namespace

ArchivePatchPreparer::ArchivePatchPreparer(const ArchiveSource &source, QObject *parent)
    : SpanPlanner(parent)
    , source(source) {}

ArchivePatchPreparer::~ArchivePatchPreparer() {
    cancel();
}

bool ArchivePatchPreparer::start(const RemoteFileInfo &listed, const Means &means) {
    if (source.indexDigest != listed.mapDigest || !ZipIndex::wantsIndex(listed.name)) {
        qWarning() << "entry index not used, fetching the whole archive" << listed.name
                   << "the index digest is not the one listed";
        return false;
    }
    // Peers send entries into the game's folder only: a staged update elsewhere is the CDN's alone.
    withPeers = source.stagingFolder.isEmpty() && means.hosts && means.hosts->hasUsablePeer();
    if (source.firstInstall && !withPeers) {
        qDebug().noquote() << "no launcher nearby sends entries, fetching the whole archive: " + listed.name;
        return false;
    }
    archive = listed.name;
    version = listed.version;
    listedSize = listed.size;
    lent = means;
    if (!given.isEmpty()) {
        const QByteArray bytes = given;
        given.clear();
        indexArrived(bytes);
        return true;
    }
    fetch = new ListedFileFetch(source.indexRemotePath,
                                QStringLiteral("the entry index %1").arg(source.indexRemotePath),
                                ZipIndex::MaxIndexSize, lent.network, lent.transferTimeoutMs, this);
    fetch->setHosts(lent.hosts);
    connect(fetch, &ListedFileFetch::arrived, this, &ArchivePatchPreparer::indexArrived);
    connect(fetch, &ListedFileFetch::failed, this, &ArchivePatchPreparer::fail);
    fetch->start();
    return true;
}

void ArchivePatchPreparer::cancel() {
    done = true;
    if (running)
        running->cancelled = true;
    if (fetch)
        fetch->cancel();
    if (peerFetch)
        peerFetch->cancel();
}

qint64 ArchivePatchPreparer::peerProgress() const {
    if (done)
        return 0;
    return peerFetch ? peerFetch->arrivedWeight() : peerWeight;
}

bool ArchivePatchPreparer::fetchingFromPeers() const {
    return peerFetch && !done;
}

qint64 ArchivePatchPreparer::peerBytes() const {
    return peerFetch ? peerFetch->receivedBytes() : fromPeers;
}

void ArchivePatchPreparer::fail(const QString &reason) {
    cancel();
    qWarning() << "entry index not used, fetching the whole archive" << archive << reason;
    emit finished(false);
}

void ArchivePatchPreparer::indexArrived(const QByteArray &bytes) {
    if (done)
        return;
    auto work = std::make_shared<Work>();
    work->indexBytes = bytes;
    running = work;
    const ArchiveSource src = source;
    const QString name = archive;
    const qint64 size = listedSize;
    const bool peersToAsk = withPeers;
    lent.pool->start([this, work, src, name, size, peersToAsk] {
        ZipIndex &index = work->index;
        work->parsed = ZipIndex::parse(work->indexBytes, size, src.indexDigest, &index);
        if (work->parsed.ok()) {
            QElapsedTimer clock;
            clock.start();
            ExtractedFiles record;
            const Result<ExtractedFiles::Error> loaded =
                ExtractedFiles::load(ExtractedFiles::recordPath(src.folder, name), &record);
            if (!loaded.ok() && loaded.code() != ExtractedFiles::Error::Missing)
                record = ExtractedFiles();
            const Result<ArchivePatchPlan::Error> decided = ArchivePatchPlan::decide(
                index, src.indexDigest, record, src.folder, src.distrusted, &work->plan, &work->cancelled);
            qDebug().noquote() << QStringLiteral("decided what to keep of %1 in %2 ms (%3 entries, %4)")
                                      .arg(name)
                                      .arg(clock.elapsed())
                                      .arg(index.entries().size())
                                      .arg(loaded.ok() ? QStringLiteral("with the record")
                                                       : QStringLiteral("every file hashed"));
            if (decided.ok())
                takeEarlierPeerEntries(src.staging(), name, index, &work->plan, work->cancelled);
            // With peers to ask, what is left for the CDN is weighed once they answered.
            if (!decided.ok()) {
                work->failure = decided.reason();
            } else if (!peersToAsk && !work->plan.worthIt()) {
                work->failure = unworthy(work->plan, size);
            } else {
                const Result<AtomicFile::Error> savedIndex =
                    AtomicFile::write(ArchivePatchFiles::indexPath(src.staging(), name), work->indexBytes);
                const Result<AtomicFile::Error> savedPlan =
                    savedIndex.ok() && !peersToAsk
                        ? AtomicFile::write(ArchivePatchFiles::planPath(src.staging(), name),
                                            work->plan.toBytes())
                        : savedIndex;
                if (!savedPlan.ok())
                    work->failure = savedPlan.reason();
            }
        }
        work->indexBytes = QByteArray();
        QMetaObject::invokeMethod(
            this, [this, work] { decidedOn(work); }, Qt::QueuedConnection);
    });
}

void ArchivePatchPreparer::decidedOn(const std::shared_ptr<Work> &work) {
    if (done || work != running)
        return;
    running.reset();
    if (work->parsed.code() == ZipIndex::Error::DigestMismatch && fetch) {
        fetch->refused(QStringLiteral("the entry index %1 is not usable: %2")
                           .arg(source.indexRemotePath, work->parsed.reason()));
        return;
    }
    if (fetch)
        fetch->accepted();
    if (!work->parsed.ok()) {
        fail(QStringLiteral("the entry index %1 is not usable: %2")
                 .arg(source.indexRemotePath, work->parsed.reason()));
        return;
    }
    if (!work->failure.isEmpty()) {
        fail(work->failure);
        return;
    }
    if (withPeers)
        askPeers(work);
    else
        planned(work);
}

void ArchivePatchPreparer::askPeers(const std::shared_ptr<Work> &work) {
    QVector<PeerEntryFetch::Wanted> wanted;
    for (int i : work->plan.peerCandidates(work->index)) {
        const ZipIndex::Entry &e = work->index.entries().at(i);
        wanted.append({e.hash, e.size, e.span});
    }
    qDebug().noquote()
        << QStringLiteral("asking launchers nearby for %1 entries of %2").arg(wanted.size()).arg(archive);
    running = work;
    peerFetch = new PeerEntryFetch(ArchivePatchFiles::peerFolder(source.staging(), archive), lent.hosts,
                                   lent.transferTimeoutMs, this);
    connect(peerFetch, &PeerEntryFetch::finished, this, [this, work] { peersAnswered(work); });
    peerFetch->start(wanted);
}

void ArchivePatchPreparer::peersAnswered(const std::shared_ptr<Work> &work) {
    if (done || work != running)
        return;
    const QHash<QByteArray, qint64> arrived = peerFetch->arrived();
    fromPeers = peerFetch->receivedBytes();
    peerWeight = peerFetch->arrivedWeight();
    qDebug().noquote() << QStringLiteral("launchers nearby sent %1 entries of %2 (%3 bytes)")
                              .arg(arrived.size())
                              .arg(archive)
                              .arg(fromPeers);
    peerFetch->deleteLater();
    peerFetch = nullptr;
    const ArchiveSource src = source;
    const QString name = archive;
    const qint64 size = listedSize;
    lent.pool->start([this, work, src, name, size, arrived] {
        work->plan.takeFromPeers(work->index, arrived);
        if (!work->plan.worthIt()) {
            work->failure = unworthy(work->plan, size);
        } else {
            const Result<AtomicFile::Error> saved =
                AtomicFile::write(ArchivePatchFiles::planPath(src.staging(), name), work->plan.toBytes());
            if (!saved.ok())
                work->failure = saved.reason();
        }
        QMetaObject::invokeMethod(
            this,
            [this, work] {
                if (done || work != running)
                    return;
                running.reset();
                if (!work->failure.isEmpty())
                    fail(work->failure);
                else
                    planned(work);
            },
            Qt::QueuedConnection);
    });
}

void ArchivePatchPreparer::planned(const std::shared_ptr<Work> &work) {
    const ArchivePatchPlan &plan = work->plan;
    const ArchivePatchPlan::Counts kept = plan.kept(), copied = plan.copied(), fetched = plan.fetched();
    qDebug().noquote() << QStringLiteral(
                              "updating %1 from its entry index: %2 entries kept, %3 copied, %4 from "
                              "launchers nearby, %5 fetched (%6 bytes in %7 ranges)")
                              .arg(archive)
                              .arg(kept.entries)
                              .arg(copied.entries)
                              .arg(plan.fromPeers().entries)
                              .arg(fetched.entries)
                              .arg(plan.fetchBytes())
                              .arg(plan.spans().size());
    // An older whole copy of the archive (a launcher stopped between unpacking and deleting it)
    // must not be taken for this update's: the update is unpacked from its fetched entries.
    const QString whole = QStringLiteral("%1/%2").arg(source.staging(), archive);
    if (QFileInfo::exists(whole) && !QFile::remove(whole))
        qWarning() << "cannot remove an older copy of the archive" << whole;
    ResumeRecord::discard(whole);
    decided = Plan();
    decided.target = ArchivePatchFiles::fetchedPath(source.staging(), archive);
    decided.listed.name = archive;
    decided.listed.version = version;
    decided.listed.size = plan.fetchBytes();
    decided.listed.md5 = plan.id();
    decided.savedBytes = qMax<qint64>(0, listedSize - plan.fetchBytes());
    qint64 local = 0;
    for (const ArchivePatchPlan::Span &span : plan.spans()) {
        decided.spans.append({span.offset, span.length, local});
        local += span.length;
    }
    done = true;
    emit finished(true);
}
