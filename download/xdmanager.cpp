#include "download/xdmanager.h"

#include "core/atomicfile.h"
#include "download/cappednetworkaccess.h"
#include "download/cdnhosts.h"
#include "download/downloadtaskpiece.h"
#include "download/fetchedfile.h"
#include "download/fileassembler.h"
#include "download/hostchooser.h"
#include "download/piecebufferpool.h"
#include "download/piececonnection.h"
#include "download/piecedispatcher.h"
#include "download/resumerecord.h"
#include "platform/filenamerules.h"
#include "trust/versiontable.h"

#include <QDebug>

#include <algorithm>
#include <numeric>

XDManager::XDManager(const QString &targetDir, QObject *parent)
    : QObject(parent)
    , transferTimeoutMs(TaskPieceDownloader::DefaultTransferTimeoutMs)
    , dir(targetDir)
    , buffers(new PieceBufferPool(PieceBufferCount, DownloadTaskPiece::PieceSize)) {
    qRegisterMetaType<DownloadTaskPiece>("DownloadTaskPiece");
    qRegisterMetaType<DownloadTaskPiece *>("DownloadTaskPiece*");
    qRegisterMetaType<ErrorCode>("ErrorCode");

    // Connections that found no free buffer take up work again when the writer gives one back.
    buffers->setStarvationEnded([this] {
        QMetaObject::invokeMethod(
            this, [this] { refill(nullptr); }, Qt::QueuedConnection);
    });
    ownHosts = new CdnHosts(CdnHosts::buildHosts(), this);
    cdn = ownHosts;
    chooser = std::make_unique<HostChooser>(cdn);
    run = {targetDir,
           &workers,
           this,
           chooser.get(),
           [this](const QString &name) { return listedEntry(name); },
           [this] {
               if (!mapNetwork)
                   mapNetwork = new CappedNetworkAccess(this); // maps and plans keep to the download cap too
               return SpanPlanner::Means{mapNetwork, cdn, &scans, transferTimeoutMs};
           }};
    // Hashing and writing of the current file, and the end of the previous one.
    workers.setMaxThreadCount(4);
    // Reading an old copy of gigabytes must not hold up the writers of other files, nor two such
    // reads share the disk.
    scans.setMaxThreadCount(1);

    const auto split = [this] {
        if (queued.isEmpty())
            return false;
        splitNextFile();
        return true;
    };
    dispatcher = new PieceDispatcher(chooser.get(), buffers.get(),
                                     {split, [this] { return !queued.isEmpty(); }}, this);
    for (PieceConnection *c : dispatcher->connections())
        connect(c->downloader(), &TaskPieceDownloader::downloadFinished, this,
                &XDManager::pieceDownloadFinished, Qt::DirectConnection);
    connect(dispatcher, &PieceDispatcher::pieceFailed, this, &XDManager::pieceFailed);
    connect(dispatcher, &PieceDispatcher::pieceEnded, this, [this](PieceConnection *c) {
        if (runComplete())
            reportRunEndIfComplete();
        else
            refill(c);
    });
    connect(dispatcher, &PieceDispatcher::outOfMemory, this, &XDManager::endRunOutOfMemory);
}

XDManager::~XDManager() {
    // Buffers given back or made from here on wake nobody: the workers may still be at it.
    buffers->setStarvationEnded(nullptr);
    // What arrived of the pieces under way is written and recorded for the next run; requests go
    // first: nothing may write into a buffer after this.
    delete dispatcher;
    buffers->cancelPreparation();
    // Pieces already received are still written and recorded for the next run; a scan of an old
    // copy ends at its next chunk (what it wrote is listed nowhere).
    for (FetchedFile *f : qAsConst(files)) {
        if (FileAssembler *a = f->assembler())
            a->stop();
        f->cancelPreparation();
    }
    scans.waitForDone();
    workers.waitForDone();
    for (FetchedFile *f : qAsConst(files)) {
        if (RemoteFileInfo *e = f->entry())
            e->downloadedBytes = 0;
    }
    qDeleteAll(files);
    for (const Queued &q : qAsConst(queued))
        delete q.file;
}

RemoteFileInfo *XDManager::listedEntry(const QString &name) const {
    if (!table && !VersionTable::exists())
        return nullptr;
    QMap<QString, RemoteFileInfo> &listed = table ? *table : VersionTable::instance();
    const auto it = listed.find(name);
    return it == listed.end() ? nullptr : &it.value();
}

void XDManager::addFile(const QString &remotePath, const QString &localName) {
    addFile(remotePath, localName, DeltaSource());
}

void XDManager::addFile(const QString &remotePath, const QString &localName, const DeltaSource &delta) {
    queued.append({DownloadTask{remotePath, localName, delta}});
    // What an earlier run left, for the progress shown before the file is split (read only).
    const RemoteFileInfo *e = listedEntry(localName);
    ResumeRecord found;
    if (e && e->size > 0 && FileNameRules::isSafeFileName(localName) &&
        ResumeRecord::load(targetPath(localName), *e, &found).ok())
        resumed.insert(localName, found.completeBytes());
}

void XDManager::addFile(const QString &remotePath, const QString &localName, SpanPlanner *planner) {
    addFile(remotePath, localName);
    // A child of the manager until its file takes it.
    planner->setParent(this);
    queued.last().planner = planner;
}

QString XDManager::targetPath(const QString &name) const {
    return QStringLiteral("%1/%2").arg(dir, name);
}

qint64 XDManager::resumedBytes() const {
    return std::accumulate(resumed.cbegin(), resumed.cend(), qint64(0));
}

qint64 XDManager::writtenBytes() const {
    qint64 sum = 0;
    for (const FetchedFile *f : files)
        sum += f->writtenBytes();
    return sum;
}

qint64 XDManager::bytesFromPeers() const {
    qint64 sum = 0;
    for (const PieceConnection *c : dispatcher->connections())
        sum += c->downloader()->bytesFromPeers();
    return sum;
}

qint64 XDManager::bytesFromCdn() const {
    qint64 sum = 0;
    for (const PieceConnection *c : dispatcher->connections())
        sum += c->downloader()->bytesFromCdn();
    return sum;
}

TaskPieceDownloader *XDManager::downloader(int i) const {
    const PieceConnection *c = dispatcher->connection(i);
    return c ? c->downloader() : nullptr;
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

void XDManager::endFile(const DownloadResult &result, const QString &name) {
    resumed.remove(name);
    Ended &end = ends[name];
    if (result.code() != NetworkError)
        end = Ended();
    end.reason = result.ok() ? QString() : result.reason();
    if (end.reason.isEmpty() && end.status == 0 && !end.away)
        ends.remove(name);
    emit fileDownloadFinished(result.code(), name);
}

void XDManager::endFileNow(FetchedFile *f, const DownloadResult &result, const QString &name) {
    emit fileDownloadingStart(name);
    endFile(result, name);
    f->deleteLater();
}

void XDManager::setHosts(CdnHosts *hosts) {
    if (started || !hosts || hosts == cdn)
        return;
    delete ownHosts;
    ownHosts = nullptr;
    cdn = hosts;
    chooser->setHosts(hosts);
}

void XDManager::setTransferTimeout(int ms) {
    transferTimeoutMs = ms;
    dispatcher->setTransferTimeout(ms);
}

int XDManager::scanPercent() const {
    qint64 done = 0, total = 0;
    bool scanning = false;
    for (const FetchedFile *f : files) {
        qint64 fileDone = 0, fileTotal = 0;
        if (!f->scanProgress(&fileDone, &fileTotal))
            continue;
        scanning = true;
        done += fileDone;
        total += fileTotal;
    }
    if (!scanning || dispatcher->busy())
        return -1;
    return total > 0 ? int(qBound<qint64>(0, done * 100 / total, 100)) : 0;
}

bool XDManager::planningSpans() const {
    if (dispatcher->busy())
        return false;
    return std::any_of(files.cbegin(), files.cend(), [](const FetchedFile *f) { return f->planningSpans(); });
}

void XDManager::start() {
    if (started)
        return;
    started = true;
    // The buffers that whole pieces will fill, made on a worker while the first requests go out.
    // Small files touch little of theirs: those are left to be made when needed.
    qint64 pieces = 0;
    for (const Queued &q : qAsConst(queued)) {
        if (const RemoteFileInfo *e = listedEntry(q.name()))
            pieces += qMax<qint64>(0, e->size - resumed.value(q.name())) / DownloadTaskPiece::PieceSize;
    }
    buffers->prepare(int(qMin<qint64>(pieces, PieceBufferCount)), &workers);
    dispatcher->startAll();
    // A preparation that failed before the first pieces were handed out wakes nobody: the run
    // ends for want of memory as it would at a later refill.
    if (buffers->exhausted())
        QMetaObject::invokeMethod(
            this, [this] { refill(nullptr); }, Qt::QueuedConnection);
    emit downloadStart();
    // Nothing (left) to fetch: report the end once the caller is back in the event loop, after it
    // has finished its own start-up.
    if (runComplete())
        QMetaObject::invokeMethod(
            this, [this] { reportRunEndIfComplete(); }, Qt::QueuedConnection);
}

void XDManager::splitNextFile() {
    const Queued q = queued.takeFirst();
    const QString name = q.name();
    const RemoteFileInfo *e = listedEntry(name);
    // Made only now: a run of many thousand files holds only their descriptions while they wait.
    FetchedFile *f = q.file ? q.file : newFile(q.task);
    if (q.planner)
        f->setPlanner(q.planner);
    if (!e) {
        qWarning() << "file missing from the version table" << name;
        endFileNow(f,
                   {NetworkError,
                    QStringLiteral("%1 is not in the version file").arg(FileNameRules::printable(name))},
                   name);
        return;
    }
    if (!FileNameRules::isSafeFileName(name)) {
        qWarning() << "refusing unsafe file name" << name;
        endFileNow(f, {WriteError, QStringLiteral("unsafe file name %1").arg(FileNameRules::printable(name))},
                   e->name);
        return;
    }
    if (e->size <= 0) {
        // Nothing to fetch, but the empty file is still checked against its digest and written.
        DownloadResult result;
        const QString digest = VersionTable::md5Hex(QByteArray());
        if (digest == e->md5) {
            result = writeFile(QByteArray(), name);
        } else {
            qWarning() << "md5 mismatch" << name << digest << e->md5;
            result = {VerifyError,
                      QStringLiteral("md5 of %1 is %2, the version file says %3").arg(name, digest, e->md5)};
        }
        endFileNow(f, result, e->name);
        return;
    }
    files.append(f);
    f->split(*e);
}

FetchedFile *XDManager::newFile(const DownloadTask &task) {
    auto *f = new FetchedFile(task, &run, this);
    connect(f, &FetchedFile::started, this, &XDManager::fileDownloadingStart);
    connect(f, &FetchedFile::fetchedWhole, this, &XDManager::fileFetchedWhole);
    connect(f, &FetchedFile::piecesReady, this,
            [this, f](const QList<DownloadTaskPiece *> &pieces, qint64 onDisk) {
                resumed.insert(f->name(), onDisk);
                dispatcher->queue(pieces);
            });
    connect(f, &FetchedFile::prepared, this, [this] { refill(nullptr); });
    connect(f, &FetchedFile::moveWaits, this,
            [this](const QString &name, const QString &reason) { ends[name].reason = reason; });
    connect(f, &FetchedFile::fetchAgain, this, [this, f] {
        resumed.remove(f->name());
        files.removeOne(f);
        queued.prepend({f->task(), nullptr, f});
        refill(nullptr);
    });
    connect(f, &FetchedFile::ended, this, [this, f](const FetchedFile::End &end) { fileEnded(f, end); });
    return f;
}

void XDManager::fileEnded(FetchedFile *f, const FetchedFile::End &end) {
    endFile(end.result, end.name);
    // A failed write keeps what the record lists for the next run (a full disk): that much stays
    // done, and only that much, whatever had arrived in memory.
    if (end.result.code() == WriteError && end.recorded > 0)
        resumed.insert(f->name(), end.recorded);
    if (end.reused >= 0) {
        qInfo() << "file patched" << end.name << end.reused << end.fetched;
        emit filePatched(end.name, end.reused, end.fetched);
    }
    if (RemoteFileInfo *e = f->entry())
        e->downloadedBytes = 0;
    // A failed write ends the file before all its pieces are in: those still out are dropped.
    dropFile(f);
    refill(nullptr);
}

void XDManager::refill(PieceConnection *first) {
    dispatcher->refill(first);
    // Handing out work may have ended the last queued files at once (empty or unusable ones).
    reportRunEndIfComplete();
}

bool XDManager::runComplete() const {
    return queued.isEmpty() && !dispatcher->hasQueued() && files.isEmpty();
}

void XDManager::reportRunEndIfComplete() {
    if (runEndReported || !runComplete())
        return;
    runEndReported = true;
    emit allFileDownloadFinished();
}

void XDManager::pieceDownloadFinished(bool success, DownloadTaskPiece *task) {
    dispatcher->pieceFinished(qobject_cast<TaskPieceDownloader *>(sender()), success, task);
}

void XDManager::pieceFailed(FetchedFile *f, const QString &reason, int status, bool away,
                            qint64 keptOfPiece) {
    giveUpFile(f, reason, status, away, keptOfPiece);
    // Without any answer from the hosts the network itself is away, for every file alike.
    if (away && status == 0)
        endRunWaitingOnNetwork(reason);
}

void XDManager::giveUpFile(FetchedFile *f, const QString &reason, int status, bool away, qint64 keptOfPiece) {
    // Planned spans that the hosts would not serve by range (a server that ignores ranges, or
    // refuses them): the whole file, as without a plan, rather than the same failure at every try.
    // An outage is waited out like any other file's.
    if (f->task().fetchesSpans() && !away && listedEntry(f->name())) {
        qWarning() << "planned spans not fetched, fetching the whole file" << f->name() << reason;
        dispatcher->drop(f, false);
        f->fetchWholeInstead();
        return;
    }
    RemoteFileInfo *e = f->entry();
    // What this and earlier runs put on the disk stays there for the next run, also what arrived
    // of the pieces under way: the bar does not fall.
    const qint64 keptBytes =
        resumed.value(f->name()) + (e ? e->downloadedBytes : 0) + keptOfPiece + dispatcher->receivedOf(f);
    Ended &end = ends[f->name()];
    end.status = qMax(0, status);
    end.away = away;
    endFile({NetworkError, reason}, f->name());
    if (keptBytes > 0)
        resumed.insert(f->name(), keptBytes);
    if (e)
        e->downloadedBytes = 0;
    dropFile(f); // the failed piece included
}

void XDManager::endRunWaitingOnNetwork(const QString &reason) {
    // A piece still receiving shows that the network is there: the others go on.
    if (!dispatcher->allWaitingOnNetwork())
        return;
    // The outage outlasted what a piece waits: the run ends as one, rather than file after file
    // each waiting its own time (the automatic retry then starts them all again).
    const QList<FetchedFile *> open = files;
    if (open.isEmpty() && queued.isEmpty())
        return;
    qWarning() << "the network or the CDN stayed away: ending the run" << open.size() << queued.size();
    const QString why = QStringLiteral("not fetched while the network or the CDN was away (%1)").arg(reason);
    for (FetchedFile *f : open) {
        if (files.contains(f) && !f->preparing())
            giveUpFile(f, why, 0, true, 0);
    }
    endQueuedFiles({NetworkError, why}, true);
}

void XDManager::endQueuedFiles(const DownloadResult &result, bool away) {
    const QList<Queued> ending = queued;
    queued.clear();
    for (const Queued &q : ending) {
        if (away) {
            Ended &end = ends[q.name()];
            end.away = true;
            end.status = 0;
        }
        endFile(result, q.name());
        if (q.file)
            q.file->deleteLater();
        if (q.planner)
            q.planner->deleteLater();
    }
}

void XDManager::endRunOutOfMemory() {
    // Nothing would ever wake the connections that wait for a buffer: the run ends, as a write
    // does that cannot be made, and what is on the disk stays for the next one.
    const QString why = QStringLiteral("no memory for a piece buffer of %1 bytes").arg(buffers->bufferSize());
    qWarning() << "out of memory for piece buffers: ending the run";
    const QList<FetchedFile *> open = files;
    for (FetchedFile *f : open) {
        if (!files.contains(f) || f->preparing())
            continue;
        const qint64 recorded = f->assembler() ? f->assembler()->recordedBytes() : 0;
        endFile({WriteError, why}, f->name());
        if (recorded > 0)
            resumed.insert(f->name(), recorded);
        if (RemoteFileInfo *e = f->entry())
            e->downloadedBytes = 0;
        dropFile(f);
    }
    endQueuedFiles({WriteError, why}, false);
    reportRunEndIfComplete();
}

void XDManager::dropFile(FetchedFile *f) {
    dispatcher->drop(f, true);
    files.removeOne(f);
    // Possibly in one of its own signals: it goes once that is over.
    f->stop();
    f->deleteLater();
}
