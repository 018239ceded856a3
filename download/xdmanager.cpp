#include "download/xdmanager.h"

#include "archive/archivepatchfiles.h"
#include "core/atomicfile.h"
#include "download/archivepatchpreparer.h"
#include "download/cappednetworkaccess.h"
#include "download/cdnhosts.h"
#include "download/deltapreparer.h"
#include "download/downloadtaskpiece.h"
#include "download/fileassembler.h"
#include "download/piecebufferpool.h"
#include "download/resumerecord.h"
#include "download/taskpiecedownloader.h"
#include "patch/blockmap.h"
#include "patch/zipindex.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>

#include <memory>

RemoteFileInfo *XDManager::listedEntry(const QString &name) const {
    if (!table && !VersionTable::exists())
        return nullptr;
    QMap<QString, RemoteFileInfo> &listed = table ? *table : VersionTable::instance();
    const auto it = listed.find(name);
    return it == listed.end() ? nullptr : &it.value();
}

XDManager::XDManager(const QString &targetDir, QObject *parent)
    : QObject(parent)
    , transferTimeoutMs(TaskPieceDownloader::DefaultTransferTimeoutMs)
    , dir(targetDir)
    , buffers(new PieceBufferPool(PieceBufferCount, DownloadTaskPiece::PieceSize)) {
    qRegisterMetaType<DownloadTaskPiece>("DownloadTaskPiece");
    qRegisterMetaType<DownloadTaskPiece *>("DownloadTaskPiece*");
    qRegisterMetaType<ErrorCode>("ErrorCode");

    // Downloaders that found no free buffer take up work again when the writer gives one back.
    buffers->setStarvationEnded([this] {
        QMetaObject::invokeMethod(
            this, [this] { refill(nullptr); }, Qt::QueuedConnection);
    });
    ownHosts = new CdnHosts(CdnHosts::buildHosts(), this);
    cdn = ownHosts;
    // One downloader's received bytes a tick, each of them once a second: under a download cap the
    // ten pieces run in step, and copying all of them at once held this thread for tens of ms.
    keepTimer = new QTimer(this);
    keepTimer->setInterval(KeepReceivedMs / DownloaderCount);
    connect(keepTimer, &QTimer::timeout, this, [this, tick = 0]() mutable {
        keepReceived(downloaders.at(tick % downloaders.size()), false);
        if (++tick % DownloaderCount != 0)
            return;
        measureHosts();
        takeOverSlowPieces();
        releaseIdleHosts();
    });
    // Hashing and writing of the current file, and the end of the previous one.
    workers.setMaxThreadCount(4);
    // Reading an old copy of gigabytes must not hold up the writers of other files, nor two such
    // reads share the disk.
    scans.setMaxThreadCount(1);

    for (int i = 0; i < DownloaderCount; ++i) {
        auto *d = new TaskPieceDownloader();
        downloaders.append(d);
        connect(d, &TaskPieceDownloader::downloadFinished, this, &XDManager::pieceDownloadFinished,
                Qt::DirectConnection);
        d->setFailureHook([this, d](TaskPieceDownloader::Failure kind, bool gotBytes) {
            return attemptFailed(d, kind, gotBytes);
        });
    }
}

XDManager::~XDManager() {
    // Buffers given back or made from here on wake nobody: the workers may still be at it.
    buffers->setStarvationEnded(nullptr);
    // What arrived of the pieces under way is written and recorded for the next run.
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        d->pause();
    keepAllReceived(true);
    // Requests go first: nothing may write into a buffer after this.
    qDeleteAll(downloaders);
    downloaders.clear();
    // The caller's hosts may serve another manager later.
    for (const QString &host : qAsConst(held))
        cdn->release(host);
    held.clear();
    buffers->cancelPreparation();
    // Pieces already received are still written and recorded for the next run.
    for (FileAssembler *a : qAsConst(assemblers))
        a->stop();
    // A scan of an old copy ends at its next chunk; what it wrote is listed nowhere.
    for (DeltaPreparer *p : qAsConst(preparers))
        p->cancel();
    for (ArchivePatchPreparer *p : qAsConst(archivePreparers))
        p->cancel();
    scans.waitForDone();
    workers.waitForDone();
    qDeleteAll(preparers);
    preparers.clear();
    qDeleteAll(archivePreparers);
    archivePreparers.clear();
    qDeleteAll(assemblers);
    assemblers.clear();
    for (auto it = openPieces.begin(); it != openPieces.end(); ++it) {
        if (RemoteFileInfo *e = entryOf(it.key()))
            e->downloadedBytes = 0;
        qDeleteAll(it.value());
        delete it.key();
    }
    qDeleteAll(pendingTasks);
}

void XDManager::addFile(const QString &remotePath, const QString &localName) {
    addFile(remotePath, localName, DeltaSource());
}

void XDManager::addFile(const QString &remotePath, const QString &localName, const DeltaSource &delta) {
    pendingTasks.append(new DownloadTask{remotePath, localName, delta});
    // What an earlier run left, for the progress shown before the file is split (read only).
    const RemoteFileInfo *e = listedEntry(localName);
    ResumeRecord found;
    if (e && e->size > 0 && FileNameRules::isSafeFileName(localName) &&
        ResumeRecord::load(targetPath(localName), *e, &found).ok())
        resumed.insert(localName, found.completeBytes());
}

void XDManager::addFile(const QString &remotePath, const QString &localName, const ArchiveSource &archive) {
    addFile(remotePath, localName);
    pendingTasks.last()->archive = archive;
}

RemoteFileInfo *XDManager::entryOf(DownloadTask *t) const {
    return t->fetchesSpans() ? &t->spansListed : listedEntry(t->localName);
}

QString XDManager::targetPath(const DownloadTask *t) const {
    return t->fetchesSpans() ? ArchivePatchFiles::fetchedPath(dir, t->localName) : targetPath(t->localName);
}

qint64 XDManager::resumedBytes(const QString &name) const {
    return resumed.value(name);
}

qint64 XDManager::resumedBytes() const {
    qint64 sum = 0;
    for (qint64 bytes : resumed)
        sum += bytes;
    return sum;
}

DownloadTaskPiece *XDManager::nextPiece() {
    for (;;) {
        for (auto it = pendingPieces.begin(); it != pendingPieces.end(); ++it) {
            // A file whose writes fail ends once what it wrote is recorded: nothing more of it is
            // fetched (its pieces go with it then).
            if (writesFailed((*it)->downloadTask))
                continue;
            DownloadTaskPiece *p = *it;
            pendingPieces.erase(it);
            return p;
        }
        if (pendingTasks.isEmpty())
            return nullptr;
        splitNextFile();
    }
}

bool XDManager::writesFailed(DownloadTask *t) const {
    const FileAssembler *a = assemblers.value(t);
    return a && a->writesFailed();
}

qint64 XDManager::bufferedBytes() const {
    qint64 sum = 0;
    for (const TaskPieceDownloader *d : downloaders) {
        // Bytes that can no longer reach the disk are not progress.
        if (!d->currentTask() || !writesFailed(d->currentTask()->downloadTask))
            sum += d->receivedBytes();
    }
    return sum;
}

qint64 XDManager::writtenBytes() const {
    qint64 sum = 0;
    for (const FileAssembler *a : assemblers)
        sum += qMax<qint64>(0, a->recordedBytes() - a->resumedBytes());
    return sum;
}

QString XDManager::targetPath(const QString &name) const {
    return QStringLiteral("%1/%2").arg(dir, name);
}

bool XDManager::writeDataToFile(const QByteArray &data, const QString &name) {
    return writeFile(data, name).ok();
}

DownloadResult XDManager::writeFile(const QByteArray &data, const QString &name) {
    // Checked first: an unsafe name is not even printed unquoted.
    if (!FileNameRules::isSafeFileName(name)) {
        qWarning() << "refusing unsafe file name" << name;
        return {WriteError, QStringLiteral("unsafe file name %1").arg(FileNameRules::printable(name))};
    }
    qDebug().noquote().nospace() << "writeDataToFile " << name << ", " << data.size();
    const DownloadResult result = AtomicFile::write(targetPath(name), data).as(WriteError);
    if (!result.ok())
        qWarning() << "cannot write file" << name << result.reason();
    return result;
}

// Every file ends here: the reason stays for failureReason(), then the end is announced.
void XDManager::endFile(const DownloadResult &result, const QString &name) {
    resumed.remove(name);
    if (result.code() != NetworkError)
        awayFailures.remove(name);
    wholeAgain.remove(name);
    if (result.code() != NetworkError)
        failureStatuses.remove(name);
    if (result.ok())
        failureReasons.remove(name);
    else
        failureReasons.insert(name, result.reason());
    emit fileDownloadFinished(result.code(), name);
}

void XDManager::setTransferTimeout(int ms) {
    transferTimeoutMs = ms;
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        d->setTransferTimeout(ms);
}

void XDManager::setLowSpeedLimit(qint64 bytesPerSecond, int windowMs) {
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        d->setLowSpeedLimit(bytesPerSecond, windowMs);
}

void XDManager::setRetryPolicy(const TaskPieceDownloader::RetryPolicy &policy) {
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        d->setRetryPolicy(policy);
}

int XDManager::networkWaitMs() const {
    int wait = -1;
    for (const TaskPieceDownloader *d : downloaders) {
        if (!d->currentTask())
            continue;
        // One piece that receives is enough: the network is there.
        if (!d->isWaitingOnNetwork())
            return -1;
        const int next = d->isWaitingForRetry() ? d->retryInMs() : 0;
        wait = wait < 0 ? next : qMin(wait, next);
    }
    return wait;
}

int XDManager::scanPercent() const {
    if (preparers.isEmpty())
        return -1;
    for (const TaskPieceDownloader *d : downloaders) {
        if (d->currentTask())
            return -1;
    }
    qint64 done = 0, total = 0;
    for (const DeltaPreparer *p : preparers) {
        done += p->scannedBytes();
        total += p->bytesToScan();
    }
    return total > 0 ? int(qBound<qint64>(0, done * 100 / total, 100)) : 0;
}

void XDManager::start() {
    if (started)
        return;
    started = true;
    // The buffers that whole pieces will fill, made on a worker while the first requests go out.
    // Small files touch little of theirs: those are left to be made when needed.
    qint64 pieces = 0;
    for (const DownloadTask *t : qAsConst(pendingTasks)) {
        const RemoteFileInfo *e = listedEntry(t->localName);
        if (e)
            pieces += qMax<qint64>(0, e->size - resumed.value(t->localName)) / DownloadTaskPiece::PieceSize;
    }
    buffers->prepare(int(qMin<qint64>(pieces, PieceBufferCount)), &workers);
    for (TaskPieceDownloader *d : qAsConst(downloaders)) {
        if (!assignNext(d, true))
            break;
    }
    // A preparation that failed before the first pieces were handed out wakes nobody: the run
    // ends for want of memory as it would at a later refill.
    if (buffers->exhausted())
        QMetaObject::invokeMethod(
            this, [this] { refill(nullptr); }, Qt::QueuedConnection);
    keepTimer->start();
    emit downloadStart();
    // Nothing (left) to fetch: report the end once the caller is back in the event loop, after it
    // has finished its own start-up.
    if (runComplete())
        QMetaObject::invokeMethod(
            this, [this] { reportRunEndIfComplete(); }, Qt::QueuedConnection);
}

void XDManager::pause() {
    paused = true;
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        d->pause();
    // A pause is often followed by a close, or by a long wait: what arrived is kept on the disk.
    keepAllReceived(true);
}

void XDManager::keepAllReceived(bool whateverAge) {
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        keepReceived(d, whateverAge);
}

void XDManager::keepReceived(TaskPieceDownloader *d, bool whateverAge) {
    DownloadTaskPiece *p = d->currentTask();
    if (!p)
        return;
    Kept &k = kept[d];
    if (k.piece != p) {
        k.piece = p;
        k.bytes = 0;
        k.since.start();
    }
    FileAssembler *a = assemblers.value(p->downloadTask);
    if (!a || (!whateverAge && k.since.elapsed() < KeepReceivedMs))
        return;
    // Bytes below the count are in the sink for good, while the fetch appends behind them.
    const qint64 have = d->receivedBytes();
    if (have < k.bytes)
        k.bytes = 0; // the piece started over
    if (have <= k.bytes)
        return;
    a->keepReceived(p->begin() + k.bytes, QByteArray(d->sink().data() + k.bytes, int(have - k.bytes)));
    k.bytes = have;
}

void XDManager::resume() {
    paused = false;
    for (TaskPieceDownloader *d : qAsConst(downloaders))
        d->start();
}

void XDManager::splitNextFile() {
    DownloadTask *t = pendingTasks.takeFirst();
    RemoteFileInfo *e = listedEntry(t->localName);
    if (!e) {
        qWarning() << "file missing from the version table" << t->localName;
        endFileNow(
            t,
            {NetworkError,
             QStringLiteral("%1 is not in the version file").arg(FileNameRules::printable(t->localName))},
            t->localName);
        return;
    }
    if (!FileNameRules::isSafeFileName(t->localName)) {
        qWarning() << "refusing unsafe file name" << t->localName;
        endFileNow(
            t,
            {WriteError, QStringLiteral("unsafe file name %1").arg(FileNameRules::printable(t->localName))},
            e->name);
        return;
    }
    const qint64 size = e->size;
    if (size <= 0) {
        // Nothing to fetch, but the empty file is still checked against its digest and written.
        DownloadResult result;
        const QString digest = VersionTable::md5Hex(QByteArray());
        if (digest == e->md5) {
            result = writeFile(QByteArray(), t->localName);
        } else {
            qWarning() << "md5 mismatch" << t->localName << digest << e->md5;
            result = {VerifyError, QStringLiteral("md5 of %1 is %2, the version file says %3")
                                       .arg(t->localName, digest, e->md5)};
        }
        endFileNow(t, result, e->name);
        return;
    }

    const QString target = targetPath(t->localName);
    ResumeRecord record(e->name, e->version, size, e->md5);
    if (wholeAgain.contains(t->localName)) {
        ResumeRecord::discard(target);
    } else {
        ResumeRecord found;
        const Result<ResumeRecord::Error> loaded = ResumeRecord::load(target, *e, &found);
        if (loaded.ok()) {
            record = found;
            qDebug() << "resuming download" << t->localName << record.completeCount() << "of"
                     << record.pieceCount() << "pieces on disk";
        } else {
            if (ResumeRecord::exists(target)) {
                // Also what a killed run leaves before it recorded its first piece (or while it
                // scanned an old copy), and what older launchers left: nothing in it can be trusted.
                qWarning() << "discarding partial download" << t->localName << loaded.reason();
                ResumeRecord::discard(target);
            }
            if (t->delta.isSet() && startDelta(t, record))
                return;
            if (t->archive.isSet() && startArchivePatch(t))
                return;
        }
    }
    beginFile(t, record, !wholeAgain.contains(t->localName));
}

// Fetches the map and scans the old copy; false (and a plain download) when they cannot be used.
bool XDManager::startDelta(DownloadTask *t, const ResumeRecord &fresh) {
    const RemoteFileInfo *e = listedEntry(t->localName);
    const DeltaSource &source = t->delta;
    QString why;
    if (!e || source.mapDigest != e->mapDigest || !BlockMap::isDigest(source.mapDigest))
        why = QStringLiteral("the map digest %1 is not the one listed").arg(source.mapDigest);
    else if (source.listedSize != e->size)
        why = QStringLiteral("the map is for %1 bytes, the version file lists %2")
                  .arg(source.listedSize)
                  .arg(e->size);
    else if (!QFileInfo(source.oldCopyPath).isFile())
        why = QStringLiteral("there is no old copy at %1").arg(source.oldCopyPath);
    if (!why.isEmpty()) {
        qWarning() << "block map not used, fetching the whole file" << t->localName << why;
        return false;
    }
    if (!mapNetwork)
        mapNetwork = new CappedNetworkAccess(this); // block maps keep to the download cap too
    auto *p = new DeltaPreparer(source, fresh, targetPath(t->localName), mapNetwork, &scans,
                                transferTimeoutMs, this);
    p->setHosts(cdn);
    preparers.insert(t, p);
    openPieces[t]; // the file has started; its pieces follow the scan
    connect(
        p, &DeltaPreparer::finished, this,
        [this, t](bool ok, const ResumeRecord &record, const QString &) { deltaPrepared(t, ok, record); });
    emit fileDownloadingStart(e->name);
    p->start();
    return true;
}

void XDManager::deltaPrepared(DownloadTask *t, bool ok, const ResumeRecord &record) {
    DeltaPreparer *p = preparers.take(t);
    if (p)
        p->deleteLater();
    const RemoteFileInfo *e = listedEntry(t->localName);
    if (!e)
        return;
    if (ok) {
        // The scan's blocks are not synced yet: the assembler saves their record once they are,
        // while the missing ranges are fetched.
        beginFile(t, record, false, false);
    } else {
        // Whatever the scan wrote is listed nowhere: it goes.
        ResumeRecord::discard(targetPath(t->localName));
        beginFile(t, ResumeRecord(e->name, e->version, e->size, e->md5), false);
    }
    refill(nullptr);
}

bool XDManager::startArchivePatch(DownloadTask *t) {
    const RemoteFileInfo *e = listedEntry(t->localName);
    const ArchiveSource &source = t->archive;
    if (!e || source.indexDigest != e->mapDigest || !ZipIndex::wantsIndex(t->localName)) {
        qWarning() << "entry index not used, fetching the whole archive" << t->localName
                   << "the index digest is not the one listed";
        return false;
    }
    if (!mapNetwork)
        mapNetwork = new CappedNetworkAccess(this);
    auto *p =
        new ArchivePatchPreparer(source, t->localName, e->size, mapNetwork, &scans, transferTimeoutMs, this);
    p->setHosts(cdn);
    archivePreparers.insert(t, p);
    openPieces[t]; // the file has started; its pieces follow the plan
    connect(p, &ArchivePatchPreparer::finished, this,
            [this, t](bool ok, const QString &) { archivePatchPrepared(t, ok); });
    emit fileDownloadingStart(e->name);
    p->start();
    return true;
}

void XDManager::archivePatchPrepared(DownloadTask *t, bool ok) {
    ArchivePatchPreparer *p = archivePreparers.take(t);
    if (p)
        p->deleteLater();
    const RemoteFileInfo *e = listedEntry(t->localName);
    if (!e)
        return;
    if (!ok || !p) {
        ArchivePatchFiles::removeUpdate(dir, t->localName);
        beginFile(t, ResumeRecord(e->name, e->version, e->size, e->md5), false);
        refill(nullptr);
        return;
    }
    // An older whole copy of the archive (a launcher stopped between unpacking and deleting it)
    // must not be taken for this update's: the update is unpacked from its fetched entries.
    const QString whole = targetPath(t->localName);
    if (QFileInfo::exists(whole) && !QFile::remove(whole))
        qWarning() << "cannot remove an older copy of the archive" << whole;
    ResumeRecord::discard(whole);
    const ArchivePatchPlan &plan = p->plan();
    t->savedBytes = qMax<qint64>(0, e->size - plan.fetchBytes());
    t->spansListed = RemoteFileInfo();
    t->spansListed.name = e->name;
    t->spansListed.version = e->version;
    t->spansListed.size = plan.fetchBytes();
    t->spansListed.md5 = plan.id();
    qint64 local = 0;
    for (const ArchivePatchPlan::Span &span : plan.spans()) {
        t->spans.append({span.offset, span.length, local});
        local += span.length;
    }
    const QString target = ArchivePatchFiles::fetchedPath(dir, t->localName);
    if (plan.fetchBytes() == 0) {
        // Every entry is on the disk already: an empty fetched file stands for the update.
        const DownloadResult written = AtomicFile::write(target, QByteArray()).as(WriteError);
        endFile(written, e->name);
        openPieces.remove(t);
        delete t;
        refill(nullptr);
        return;
    }
    ResumeRecord record(e->name, e->version, plan.fetchBytes(), plan.id());
    ResumeRecord found;
    const Result<ResumeRecord::Error> loaded = ResumeRecord::load(target, t->spansListed, &found);
    if (loaded.ok()) {
        record = found;
        qDebug() << "resuming the fetch of changed entries" << t->localName << record.completeBytes() << "of"
                 << record.size() << "bytes on disk";
    } else if (ResumeRecord::exists(target)) {
        qWarning() << "discarding partial fetch of changed entries" << t->localName << loaded.reason();
        ResumeRecord::discard(target);
    }
    beginFile(t, record, false);
    refill(nullptr);
}

// Fetches what the record misses, checks and writes the file.
void XDManager::beginFile(DownloadTask *t, const ResumeRecord &record, bool announce, bool recordSaved) {
    RemoteFileInfo *e = entryOf(t);
    const QString target = targetPath(t);
    // An archive fetched whole: an update by its entries that an earlier run left is not this one.
    if (!t->fetchesSpans() && ZipIndex::wantsIndex(t->localName))
        ArchivePatchFiles::removeUpdate(dir, t->localName);
    resumed.insert(t->localName, record.completeBytes() + t->savedBytes);
    if (record.hasMap())
        reusedOf.insert(t, record.reusedBytes());

    // Only the ranges that are not on the disk yet are fetched; a request asks for one range of the
    // remote file, so within one of an archive's spans.
    QVector<ResumeRecord::Range> requests;
    for (const ResumeRecord::Range &r : record.missingRanges()) {
        for (qint64 at = r.offset, end = r.offset + r.length; at < end;) {
            const qint64 until = qMin(end, t->spanEnd(at));
            requests.append({at, until - at});
            at = until;
        }
    }
    auto *assembler = new FileAssembler(
        target, record, &workers, this, [this, t](const DownloadResult &result) { fileAssembled(t, result); },
        recordSaved, requests);
    assemblers.insert(t, assembler);
    e->downloadedBytes = 0;

    QList<DownloadTaskPiece *> &pieces = openPieces[t];
    for (const ResumeRecord::Range &r : qAsConst(requests)) {
        auto *p = new DownloadTaskPiece;
        p->downloadTask = t;
        p->index = int(r.offset / DownloadTaskPiece::PieceSize);
        p->offset = r.offset;
        p->end = r.offset + r.length - 1;
        pieces.append(p);
        pendingPieces.append(p);
    }
    // A file fetched again after a failed check has started already, as far as listeners know.
    if (announce)
        emit fileDownloadingStart(e->name);
    // Every piece was on the disk: only the check is left.
    if (pieces.isEmpty())
        finishFile(t, assembler);
}

void XDManager::finishFile(DownloadTask *t, FileAssembler *a) {
    // The fetched entries of an archive have no digest of their own: each is checked against the
    // entry index once unpacked.
    if (t->fetchesSpans())
        a->finishUnchecked();
    else if (const RemoteFileInfo *e = entryOf(t))
        a->finish(e->md5);
    else
        a->finish(QString());
}

// A file that ends as soon as it is split: it still starts and ends like any other.
void XDManager::endFileNow(DownloadTask *t, const DownloadResult &result, const QString &name) {
    emit fileDownloadingStart(name);
    endFile(result, name);
    delete t;
}

// Gives the idle downloader d the next piece, if there is one and a buffer for it.
bool XDManager::assignNext(TaskPieceDownloader *d, bool evenWithoutBuffer) {
    PieceBuffer sink = buffers->acquire();
    if (!sink && !evenWithoutBuffer)
        return false;
    DownloadTaskPiece *p = nextPiece();
    if (!p)
        return false;
    holdHost(d, p->downloadTask);
    givePiece(d, p, std::move(sink));
    return true;
}

void XDManager::givePiece(TaskPieceDownloader *d, DownloadTaskPiece *p, PieceBuffer sink) {
    tried.remove(d);
    missingOn.remove(d);
    d->setTask(p, std::move(sink));
    Kept &k = kept[d];
    k.piece = p;
    k.bytes = 0;
    k.since.start();
    if (!paused)
        d->start();
}

void XDManager::refill(TaskPieceDownloader *first) {
    fill(first);
    takeOverSlowPieces();
    releaseIdleHosts();
    // Handing out work may have ended the last queued files at once (empty or unusable ones).
    reportRunEndIfComplete();
}

void XDManager::fill(TaskPieceDownloader *first) {
    for (TaskPieceDownloader *d : qAsConst(downloaders)) {
        if (!d->awaitsSink())
            continue;
        PieceBuffer sink = buffers->acquire();
        if (!sink) {
            if (buffers->exhausted())
                endRunOutOfMemory();
            return;
        }
        d->giveSink(std::move(sink));
        if (!paused)
            d->start();
    }
    if (first && !first->currentTask() && !assignNext(first))
        return;
    // Downloaders whose pieces were dropped with a failed file, or that waited for a buffer, take
    // up work again too.
    for (TaskPieceDownloader *d : qAsConst(downloaders)) {
        if (!d->currentTask() && !assignNext(d))
            return;
    }
}

bool XDManager::runComplete() const {
    return pendingTasks.isEmpty() && pendingPieces.isEmpty() && openPieces.isEmpty();
}

void XDManager::reportRunEndIfComplete() {
    if (runEndReported || !runComplete())
        return;
    runEndReported = true;
    emit allFileDownloadFinished();
}

void XDManager::pieceDownloadFinished(bool success, DownloadTaskPiece *task) {
    auto *d = qobject_cast<TaskPieceDownloader *>(sender());
    // The piece's bytes (after a success); they go back to the pool wherever this lets go of them.
    // What was kept of a failed piece: written and recorded for the next run.
    const qint64 keptOfPiece = d && !success && kept.value(d).piece == task ? kept.value(d).bytes : 0;
    // How fast the host sent a whole piece, for the choice of hosts and the end of the run (small
    // pieces show the time to answer rather than the pace).
    if (d && success && kept.value(d).piece == task && task->length() >= MeasuredPieceBytes) {
        const double rate = double(task->length()) / double(qMax<qint64>(1, kept.value(d).since.elapsed()));
        const double before = hostRates.value(d->baseUrl(), rate);
        hostRates.insert(d->baseUrl(), (before + rate) / 2);
        kept.remove(d);
        measureHosts();
    }
    takenOver.remove(task);
    PieceBuffer buffer = d ? d->takeSink() : PieceBuffer();
    if (d)
        kept.remove(d);
    DownloadTask *t = task->downloadTask;
    const auto openIt = openPieces.find(t);
    if (openIt == openPieces.end()) {
        qWarning() << "piece of a file that is no longer downloaded" << task->index;
        refill(d);
        return;
    }
    FileAssembler *a = assemblers.value(t);
    RemoteFileInfo *e = entryOf(t);

    if (success) {
        if (d) {
            cdn->succeeded(d->baseUrl());
            QStringList &from = servedBy[t];
            if (!from.contains(d->baseUrl()))
                from.append(d->baseUrl());
        }
        // Only pieces that can still be written count as done.
        if (e && !(a && a->writesFailed()))
            e->downloadedBytes += task->length();
        openIt.value().removeOne(task);
        if (a) {
            a->rangeCompleted(task->begin(), task->length(), std::move(buffer));
            // The result arrives later, from the writer, once the tail is hashed and written.
            if (openIt.value().isEmpty())
                finishFile(t, a);
        }
        delete task;
    } else {
        const QString why =
            d && !d->failureReason().isEmpty() ? d->failureReason() : QStringLiteral("no answer");
        const int status = d ? d->failureStatus() : 0;
        // A 4xx is not asked again: the CDN said what it has.
        const QString how = status >= 400 && status < 500
                                ? QStringLiteral("was refused with HTTP %1").arg(status)
                                : QStringLiteral("failed every attempt");
        const QString reason =
            QStringLiteral("piece %1 of %2 %3: %4").arg(task->index).arg(t->remotePath, how, why);
        qWarning() << "file download failed" << t->localName << reason;
        const bool away = d && (d->failureKind() == TaskPieceDownloader::Failure::Outage ||
                                d->failureKind() == TaskPieceDownloader::Failure::Trickle);
        giveUpFile(t, reason, status, away, keptOfPiece);
        // Without any answer from the hosts the network itself is away, for every file alike.
        if (away && status == 0)
            endRunWaitingOnNetwork(reason);
    }

    if (runComplete()) {
        reportRunEndIfComplete();
        return;
    }
    refill(d);
}

void XDManager::giveUpFile(DownloadTask *t, const QString &reason, int status, bool away,
                           qint64 keptOfPiece) {
    // The changed entries of an archive that the hosts would not serve by range (a server that
    // ignores ranges, or refuses them): the whole archive, as before, rather than the same failure at
    // every try. An outage is waited out like any other file's.
    if (t->fetchesSpans() && !away) {
        qWarning() << "changed entries not fetched, fetching the whole archive" << t->localName << reason;
        if (const RemoteFileInfo *listed = listedEntry(t->localName)) {
            const QList<DownloadTaskPiece *> pieces = openPieces.take(t);
            for (DownloadTaskPiece *p : pieces) {
                takenOver.remove(p);
                if (!pendingPieces.removeOne(p)) {
                    for (TaskPieceDownloader *other : qAsConst(downloaders)) {
                        if (other->currentTask() == p) {
                            other->cancelTask(p);
                            kept.remove(other);
                        }
                    }
                }
                delete p;
            }
            delete assemblers.take(t);
            ResumeRecord::discard(targetPath(t));
            ArchivePatchFiles::removeUpdate(dir, t->localName);
            t->spans.clear();
            t->archive = ArchiveSource();
            t->savedBytes = 0;
            servedBy.remove(t);
            beginFile(t, ResumeRecord(listed->name, listed->version, listed->size, listed->md5), false);
            return;
        }
    }
    RemoteFileInfo *e = entryOf(t);
    // What this and earlier runs put on the disk stays there for the next run, also what arrived
    // of the pieces under way: the bar does not fall.
    qint64 keptBytes = resumed.value(t->localName) + (e ? e->downloadedBytes : 0) + keptOfPiece;
    for (TaskPieceDownloader *other : qAsConst(downloaders)) {
        if (other->currentTask() && other->currentTask()->downloadTask == t)
            keptBytes += other->receivedBytes();
    }
    if (status > 0)
        failureStatuses.insert(t->localName, status);
    else
        failureStatuses.remove(t->localName);
    if (away)
        awayFailures.insert(t->localName);
    else
        awayFailures.remove(t->localName);
    endFile({NetworkError, reason}, t->localName);
    if (keptBytes > 0)
        resumed.insert(t->localName, keptBytes);
    if (e)
        e->downloadedBytes = 0;
    dropFile(t); // the failed piece included
}

void XDManager::endRunWaitingOnNetwork(const QString &reason) {
    // A piece still receiving shows that the network is there: the others go on.
    for (const TaskPieceDownloader *d : qAsConst(downloaders)) {
        if (d->currentTask() && !d->isWaitingOnNetwork())
            return;
    }
    // The outage outlasted what a piece waits: the run ends as one, rather than file after file
    // each waiting its own time (the automatic retry then starts them all again).
    const QList<DownloadTask *> open = openPieces.keys();
    const QList<DownloadTask *> queued = pendingTasks;
    if (open.isEmpty() && queued.isEmpty())
        return;
    qWarning() << "the network or the CDN stayed away: ending the run" << open.size() << queued.size();
    const QString why = QStringLiteral("not fetched while the network or the CDN was away (%1)").arg(reason);
    for (DownloadTask *t : open) {
        if (openPieces.contains(t) && !preparing(t))
            giveUpFile(t, why, 0, true, 0);
    }
    endQueuedFiles({NetworkError, why}, true);
}

void XDManager::endQueuedFiles(const DownloadResult &result, bool away) {
    const QList<DownloadTask *> queued = pendingTasks;
    pendingTasks.clear();
    for (DownloadTask *t : queued) {
        if (away) {
            awayFailures.insert(t->localName);
            failureStatuses.remove(t->localName);
        }
        endFile(result, t->localName);
        delete t;
    }
}

void XDManager::endRunOutOfMemory() {
    // Nothing would ever wake the downloaders that wait for a buffer: the run ends, as a write
    // does that cannot be made, and what is on the disk stays for the next one.
    const QString why = QStringLiteral("no memory for a piece buffer of %1 bytes").arg(buffers->bufferSize());
    qWarning() << "out of memory for piece buffers: ending the run";
    const QList<DownloadTask *> open = openPieces.keys();
    for (DownloadTask *t : open) {
        if (!openPieces.contains(t) || preparing(t))
            continue;
        const FileAssembler *a = assemblers.value(t);
        const qint64 kept = a ? a->recordedBytes() : 0;
        endFile({WriteError, why}, t->localName);
        if (kept > 0)
            resumed.insert(t->localName, kept);
        if (RemoteFileInfo *e = entryOf(t))
            e->downloadedBytes = 0;
        dropFile(t);
    }
    endQueuedFiles({WriteError, why}, false);
    reportRunEndIfComplete();
}

void XDManager::fileAssembled(DownloadTask *t, const DownloadResult &result) {
    FileAssembler *a = assemblers.value(t);
    if (!a)
        return;
    RemoteFileInfo *e = entryOf(t);
    const QString name = e ? e->name : t->localName;
    DownloadResult outcome = result;
    const QString again = result.code() == VerifyError ? judgeWrongBytes(t, name, &outcome) : QString();
    if (result.code() == VerifyError && (a->resumedBytes() > 0 || !again.isEmpty()) &&
        !wholeAgain.contains(t->localName)) {
        // Bytes an earlier run left may be what is wrong, or one of the hosts: fetch the whole file
        // once more (from one host, so that it answers for all of it).
        if (again.isEmpty()) {
            qWarning() << "md5 mismatch of a resumed download, fetching the whole file again" << t->localName
                       << result.reason();
        } else {
            qWarning() << "md5 mismatch, fetching the whole file again from one CDN host" << t->localName
                       << CdnHosts::hostName(again) << outcome.reason();
            pinned.insert(t, again);
        }
        wholeAgain.insert(t->localName);
        resumed.remove(t->localName);
        reusedOf.remove(t);
        if (e)
            e->downloadedBytes = 0;
        openPieces.remove(t);
        delete assemblers.take(t);
        pendingTasks.prepend(t);
        refill(nullptr);
        return;
    }
    if (result.code() == WriteError && a->awaitsMove()) {
        const int attempts = ++moveAttempts[t];
        if (attempts < MoveAttempts) {
            // A scanner or the game lets go of the old file soon, mostly: try again without
            // holding a worker meanwhile.
            qWarning() << "cannot put the file in place yet" << name << attempts << result.reason();
            failureReasons.insert(name, result.reason());
            QTimer::singleShot(attempts * MoveRetryStepMs, this, [this, t] {
                if (FileAssembler *waiting = assemblers.value(t))
                    waiting->retryMove();
            });
            return;
        }
        outcome = {WriteError,
                   QStringLiteral("%1 (tried %2 times; the verified file is kept for the next start)")
                       .arg(result.reason())
                       .arg(attempts)};
    }
    const qint64 recorded = a->recordedBytes();
    const qint64 assembledSize = a->size();
    // A file in place counts whole from its end on, no longer also as bytes written of a file under way.
    const std::unique_ptr<FileAssembler> placed(outcome.ok() ? assemblers.take(t) : nullptr);
    endFile(outcome, name);
    // A failed write keeps what the record lists for the next run (a full disk): that much stays
    // done, and only that much, whatever had arrived in memory.
    if (outcome.code() == WriteError && recorded > 0)
        resumed.insert(t->localName, recorded);
    if (outcome.ok() && reusedOf.contains(t) && !t->fetchesSpans()) {
        const qint64 reused = reusedOf.value(t);
        const qint64 fetched = (e ? e->size : assembledSize) - reused;
        qInfo() << "file patched" << name << reused << fetched;
        emit filePatched(name, reused, fetched);
    }
    if (e)
        e->downloadedBytes = 0;
    // A failed write ends the file before all its pieces are in: those still out are dropped.
    dropFile(t);
    refill(nullptr);
}

void XDManager::dropFile(DownloadTask *t) {
    const QList<DownloadTaskPiece *> pieces = openPieces.take(t);
    for (DownloadTaskPiece *p : pieces) {
        takenOver.remove(p);
        if (!pendingPieces.removeOne(p)) {
            for (TaskPieceDownloader *other : qAsConst(downloaders)) {
                if (other->currentTask() != p)
                    continue;
                // The file failed: what arrived of its other pieces stays for the next run.
                keepReceived(other);
                other->cancelTask(p);
                kept.remove(other);
                break;
            }
        }
        delete p;
    }
    moveAttempts.remove(t);
    reusedOf.remove(t);
    servedBy.remove(t);
    pinned.remove(t);
    lacking.remove(t);
    delete assemblers.take(t);
    delete t;
}
