#include "download/deltapreparer.h"

#include "download/listedfilefetch.h"
#include "patch/blockmatcher.h"
#include "patch/deltawriter.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>

struct DeltaPreparer::Scan {
    QByteArray mapBytes; // as fetched, until parsed on the worker
    BlockMap map;
    Result<BlockMap::Error> parsed;
    DeltaPlan plan;
    QString failure; // empty after a match that went through
    std::atomic<qint64> scanned{0};
    std::atomic<qint64> total{0};

    QMutex mutex; // for the matcher and `cancelled`, shared with cancel() on the GUI thread
    std::unique_ptr<BlockMatcher> matcher;
    bool cancelled = false;

    void cancel() {
        QMutexLocker locker(&mutex);
        cancelled = true;
        if (matcher)
            matcher->cancel();
    }
    // Builds the map's index for the scan; null once cancelled.
    BlockMatcher *makeMatcher() {
        QMutexLocker locker(&mutex);
        if (!cancelled)
            matcher.reset(new BlockMatcher(map));
        return cancelled ? nullptr : matcher.get();
    }
};

DeltaPreparer::DeltaPreparer(const DeltaSource &source, const ResumeRecord &fresh, const QString &target,
                             QNetworkAccessManager *network, QThreadPool *pool, int transferTimeoutMs,
                             QObject *parent)
    : QObject(parent)
    , source(source)
    , record(fresh)
    , target(target)
    , network(network)
    , pool(pool)
    , timeoutMs(transferTimeoutMs) {}

DeltaPreparer::~DeltaPreparer() {
    cancel();
}

void DeltaPreparer::start() {
    fetch = new ListedFileFetch(source.mapRemotePath,
                                QStringLiteral("the block map %1").arg(source.mapRemotePath),
                                BlockMap::MaxMapSize, network, timeoutMs, this);
    fetch->setHosts(cdn);
    connect(fetch, &ListedFileFetch::arrived, this, &DeltaPreparer::mapArrived);
    connect(fetch, &ListedFileFetch::failed, this, &DeltaPreparer::fail);
    fetch->start();
}

void DeltaPreparer::cancel() {
    done = true;
    if (running)
        running->cancel();
    if (fetch)
        fetch->cancel();
}

void DeltaPreparer::fail(const QString &reason) {
    cancel();
    qWarning() << "block map not used, fetching the whole file" << target << reason;
    emit finished(false, record, reason);
}

void DeltaPreparer::mapArrived(const QByteArray &map) {
    if (done)
        return;
    // A map of tens of MiB takes a while to check and to index: that is done on the worker too,
    // before the old copy is read.
    auto scan = std::make_shared<Scan>();
    scan->mapBytes = map;
    running = scan;
    const QString partial = ResumeRecord::partialPath(target);
    const QString oldCopy = source.oldCopyPath;
    const qint64 listedSize = source.listedSize;
    const QString digest = source.mapDigest;
    const qint64 size = record.size();
    pool->start([this, scan, partial, oldCopy, listedSize, digest, size] {
        scan->parsed = BlockMap::parse(scan->mapBytes, listedSize, digest, &scan->map);
        scan->mapBytes = QByteArray();
        BlockMatcher *matcher = scan->parsed.ok() && scan->map.fileSize() == size && !oldCopy.isEmpty()
                                    ? scan->makeMatcher()
                                    : nullptr;
        DeltaWriter writer;
        const Result<DeltaWriter::Error> opened =
            matcher ? writer.open(partial, scan->map.fileSize()) : Result<DeltaWriter::Error>();
        if (!matcher) {
            // Not usable, or cancelled: told on the GUI thread.
        } else if (!opened.ok()) {
            scan->failure = opened.reason();
        } else {
            const Result<BlockMatcher::Error> matched = matcher->match(
                oldCopy, &scan->plan,
                [scan](qint64 done, qint64 total) {
                    scan->total = total;
                    scan->scanned = done;
                },
                &writer);
            if (!matched.ok())
                scan->failure = matched.reason();
        }
        QMetaObject::invokeMethod(
            this, [this, scan] { scanned(scan); }, Qt::QueuedConnection);
    });
}

// The map as checked on the worker: what it says of the host, and whether it can be used.
bool DeltaPreparer::mapUsable(const std::shared_ptr<Scan> &scan) {
    const Result<BlockMap::Error> &parsed = scan->parsed;
    if (parsed.code() == BlockMap::Error::DigestMismatch) {
        fetch->refused(
            QStringLiteral("the block map %1 is not usable: %2").arg(source.mapRemotePath, parsed.reason()));
        return false;
    }
    fetch->accepted();
    if (!parsed.ok()) {
        fail(QStringLiteral("the block map %1 is not usable: %2").arg(source.mapRemotePath, parsed.reason()));
        return false;
    }
    if (scan->map.fileSize() != record.size()) {
        fail(QStringLiteral("the block map %1 describes %2 bytes, the version file lists %3")
                 .arg(source.mapRemotePath)
                 .arg(scan->map.fileSize())
                 .arg(record.size()));
        return false;
    }
    return true;
}

qint64 DeltaPreparer::scannedBytes() const {
    return running ? running->scanned.load() : 0;
}

qint64 DeltaPreparer::bytesToScan() const {
    const qint64 known = running ? qMax(running->total.load(), running->scanned.load()) : 0;
    if (known > 0)
        return known;
    // Before the map has come and been checked, the whole old copy is still to be read.
    return done ? 0 : QFileInfo(source.oldCopyPath).size();
}

void DeltaPreparer::scanned(const std::shared_ptr<Scan> &scan) {
    if (done || scan != running)
        return;
    running.reset();
    if (!mapUsable(scan))
        return;
    if (!scan->failure.isEmpty()) {
        fail(QStringLiteral("cannot take blocks from %1: %2").arg(source.oldCopyPath, scan->failure));
        return;
    }
    checkedMap = std::make_shared<const BlockMap>(std::move(scan->map));
    if (source.oldCopyPath.isEmpty()) {
        done = true;
        emit finished(true, record, QString());
        return;
    }
    // The blocks are written, not yet synced: the download saves this record after its first sync.
    record.setMap(source.mapDigest, checkedMap->blockSize());
    for (const DeltaPlan::Reuse &r : qAsConst(scan->plan.reused))
        record.setPresent(checkedMap->blockOffset(r.block), checkedMap->blockBytes(r.block));
    record.setReusedBytes(record.completeBytes());
    qDebug() << "reusing blocks of the installed copy" << target << scan->plan.reusedBytes << "bytes,"
             << scan->plan.requestBytes << "to fetch";
    done = true;
    emit finished(true, record, QString());
}