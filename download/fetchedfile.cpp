#include "download/fetchedfile.h"

#include "core/atomicfile.h"
#include "download/cdnhosts.h"
#include "download/deltapreparer.h"
#include "download/downloadtaskpiece.h"
#include "download/fileassembler.h"
#include "download/piecebuffer.h"
#include "download/resumerecord.h"
#include "patch/blockmap.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>

#include <cstring>

FetchedFile::FetchedFile(const DownloadTask &task, const Run *run, QObject *parent)
    : QObject(parent)
    , description(task)
    , run(run) {}

FetchedFile::~FetchedFile() {
    stop();
    delete planner;
}

void FetchedFile::stop() {
    cancelPreparation();
    writer.reset();
    qDeleteAll(open);
    open.clear();
}

RemoteFileInfo *FetchedFile::entry() {
    return description.fetchesSpans() ? &description.spansListed : run->listed(name());
}

QString FetchedFile::targetPath() const {
    return description.fetchesSpans() ? description.spansPath : QStringLiteral("%1/%2").arg(run->dir, name());
}

void FetchedFile::setPlanner(SpanPlanner *p) {
    delete planner;
    planner = p;
    if (planner)
        planner->setParent(nullptr);
}

void FetchedFile::split(const RemoteFileInfo &listed) {
    const QString target = targetPath();
    ResumeRecord record(listed.name, listed.version, listed.size, listed.md5);
    if (wholeAgain) {
        ResumeRecord::discard(target);
        begin(record, false);
        return;
    }
    ResumeRecord found;
    const Result<ResumeRecord::Error> loaded = ResumeRecord::load(target, listed, &found);
    if (loaded.ok()) {
        qDebug() << "resuming download" << name() << found.completeCount() << "of" << found.pieceCount()
                 << "pieces on disk";
        begin(found, true);
        return;
    }
    if (ResumeRecord::exists(target)) {
        // Also what a killed run leaves before it recorded its first piece (or while it scanned an
        // old copy), and what older launchers left: nothing in it can be trusted.
        qWarning() << "discarding partial download" << name() << loaded.reason();
        ResumeRecord::discard(target);
    }
    const DeltaSource &source = description.delta;
    QString why;
    if (source.mapDigest != listed.mapDigest || !BlockMap::isDigest(source.mapDigest))
        why = QStringLiteral("the map digest %1 is not the one listed").arg(source.mapDigest);
    else if (source.listedSize != listed.size)
        why = QStringLiteral("the map is for %1 bytes, the version file lists %2")
                  .arg(source.listedSize)
                  .arg(listed.size);
    // The map alone is worth its fetch while a peer may send pieces of more than one piece's file.
    if (!source.isSet() && source.hasMap() && why.isEmpty() && listed.size > DownloadTaskPiece::PieceSize &&
        run->chooser->hosts() && run->chooser->hosts()->hasUsablePeer()) {
        startDelta(listed, record);
        return;
    }
    if (why.isEmpty() && !QFileInfo(source.oldCopyPath).isFile())
        why = QStringLiteral("there is no old copy at %1").arg(source.oldCopyPath);
    if (source.isSet() && why.isEmpty()) {
        startDelta(listed, record);
        return;
    }
    if (source.isSet())
        qWarning() << "block map not used, fetching the whole file" << name() << why;
    else if (startPlan(listed))
        return;
    abandonPlan();
    begin(record, true);
}

// Fetches the map and scans the old copy; whatever goes wrong, the whole file is fetched.
void FetchedFile::startDelta(const RemoteFileInfo &listed, const ResumeRecord &fresh) {
    const SpanPlanner::Means means = run->means();
    delta = new DeltaPreparer(description.delta, fresh, targetPath(), means.network, means.pool,
                              means.transferTimeoutMs, this);
    delta->setHosts(means.hosts);
    connect(delta, &DeltaPreparer::finished, this,
            [this](bool ok, const ResumeRecord &record, const QString &) {
                if (ok)
                    blocks = delta->blockMap();
                // Not deleted in its own signal: it goes once the answer is given.
                delta->deleteLater();
                delta = nullptr;
                if (!run->listed(name()))
                    return;
                if (ok) {
                    // The scan's blocks are not synced yet: the assembler saves their record once they
                    // are, while the missing ranges are fetched (nothing was written without a copy).
                    begin(record, false, !description.delta.isSet());
                } else {
                    // Whatever the scan wrote is listed nowhere: it goes.
                    ResumeRecord::discard(targetPath());
                    beginWhole();
                }
                emit prepared();
            });
    emit started(listed.name); // its pieces follow the scan
    delta->start();
}

bool FetchedFile::startPlan(const RemoteFileInfo &listed) {
    if (!planner)
        return false;
    connect(planner, &SpanPlanner::finished, this, &FetchedFile::planned);
    planning = planner->start(listed, run->means());
    if (planning)
        emit started(listed.name); // its pieces follow the plan
    return planning;
}

void FetchedFile::planned(bool ok) {
    planning = false;
    const RemoteFileInfo *listed = run->listed(name());
    if (!listed)
        return;
    if (!ok) {
        abandonPlan();
        beginWhole();
        emit prepared();
        return;
    }
    const SpanPlanner::Plan &plan = planner->plan();
    description.spans = plan.spans;
    description.spansPath = plan.target;
    description.spansListed = plan.listed;
    description.savedBytes = plan.savedBytes;
    if (plan.spans.isEmpty()) {
        // Nothing to fetch: an empty file stands for the spans.
        const DownloadResult written = AtomicFile::write(plan.target, QByteArray()).as(WriteError);
        abandonPlan();
        emit ended({written, listed->name});
        return;
    }
    ResumeRecord record(listed->name, listed->version, plan.listed.size, plan.listed.md5);
    ResumeRecord found;
    const Result<ResumeRecord::Error> loaded = ResumeRecord::load(plan.target, plan.listed, &found);
    if (loaded.ok()) {
        record = found;
        qDebug() << "resuming the fetch of planned spans" << name() << record.completeBytes() << "of"
                 << record.size() << "bytes on disk";
    } else if (ResumeRecord::exists(plan.target)) {
        qWarning() << "discarding partial fetch of planned spans" << name() << loaded.reason();
        ResumeRecord::discard(plan.target);
    }
    begin(record, false);
    emit prepared();
}

void FetchedFile::abandonPlan() {
    description.spans.clear();
    description.spansPath.clear();
    description.spansListed = RemoteFileInfo();
    description.savedBytes = 0;
    if (planner) {
        // Possibly in its own signal: it goes once that is over.
        planner->disconnect(this);
        planner->deleteLater();
        planner = nullptr;
    }
}

bool FetchedFile::scanProgress(qint64 *done, qint64 *total) const {
    if (!delta || !description.delta.isSet())
        return false;
    *done = delta->scannedBytes();
    *total = delta->bytesToScan();
    return true;
}

void FetchedFile::cancelPreparation() {
    if (delta)
        delta->cancel();
    if (planner)
        planner->cancel();
    planning = false;
}

void FetchedFile::beginWhole() {
    if (const RemoteFileInfo *listed = run->listed(name()))
        begin(ResumeRecord(listed->name, listed->version, listed->size, listed->md5), false);
}

// Fetches what the record misses, checks and writes the file.
void FetchedFile::begin(const ResumeRecord &record, bool announce, bool recordSaved) {
    RemoteFileInfo *e = entry();
    if (!description.fetchesSpans())
        emit fetchedWhole(name());
    if (record.hasMap())
        reusedBytes = record.reusedBytes();
    // Only the ranges that are not on the disk yet are fetched; a request asks for one range of the
    // remote file, so within one of the spans.
    QVector<ResumeRecord::Range> requests;
    for (const ResumeRecord::Range &r : record.missingRanges()) {
        for (qint64 at = r.offset, end = r.offset + r.length; at < end;) {
            const qint64 until = qMin(end, description.spanEnd(at));
            requests.append({at, until - at});
            at = until;
        }
    }
    hosts.peersMayServe =
        !description.fetchesSpans() && (record.size() <= DownloadTaskPiece::PieceSize || blocks != nullptr);
    writer = std::make_unique<FileAssembler>(
        targetPath(), record, run->workers, run->receiver,
        [this](const DownloadResult &result) { assembled(result); }, recordSaved, requests);
    e->downloadedBytes = 0;
    for (const ResumeRecord::Range &r : qAsConst(requests)) {
        auto *p = new DownloadTaskPiece;
        p->downloadTask = &description;
        p->file = this;
        p->index = int(r.offset / DownloadTaskPiece::PieceSize);
        p->offset = r.offset;
        p->end = r.offset + r.length - 1;
        open.append(p);
    }
    emit piecesReady(open, record.completeBytes() + description.savedBytes);
    // A file fetched again after a failed check has started already, as far as listeners know.
    if (announce)
        emit started(e->name);
    // Every piece was on the disk: only the check is left.
    if (open.isEmpty())
        finish();
}

void FetchedFile::finish() {
    // Planned spans have no digest of their own: the caller checks their content.
    if (description.fetchesSpans())
        writer->finishUnchecked();
    else if (const RemoteFileInfo *e = entry())
        writer->finish(e->md5);
    else
        writer->finish(QString());
}

bool FetchedFile::writesFailed() const {
    return writer && writer->writesFailed();
}

qint64 FetchedFile::writtenBytes() const {
    return writer ? qMax<qint64>(0, writer->recordedBytes() - writer->resumedBytes()) : 0;
}

void FetchedFile::pieceCompleted(DownloadTaskPiece *piece, PieceBuffer buffer) {
    // Only pieces that can still be written count as done.
    RemoteFileInfo *e = entry();
    if (e && !writesFailed())
        e->downloadedBytes += piece->length();
    const qint64 offset = piece->begin(), length = piece->length();
    open.removeOne(piece);
    delete piece;
    if (!writer)
        return;
    writer->rangeCompleted(offset, length, std::move(buffer));
    // The result arrives later, from the writer, once the tail is hashed and written.
    if (open.isEmpty())
        finish();
}

QString FetchedFile::wrongBlocks(const DownloadTaskPiece *piece, const PieceBuffer &buffer) const {
    if (!blocks || buffer.isNull())
        return QString();
    const qint64 begin = piece->begin(), end = begin + piece->length();
    const int size = blocks->blockSize();
    const auto *bytes = reinterpret_cast<const uchar *>(buffer.data());
    uchar sum[BlockMap::MaxStrongLength];
    for (int i = int((begin + size - 1) / size); i < blocks->blockCount(); ++i) {
        const qint64 at = blocks->blockOffset(i);
        const int length = blocks->blockBytes(i);
        if (at + length > end)
            break;
        BlockMap::strongSumOf(bytes + (at - begin), length, sum);
        if (memcmp(sum, blocks->strongSum(i), size_t(blocks->strongLength())) != 0)
            return QStringLiteral("block %1 (bytes %2-%3) of %4 is not the one its block map lists")
                .arg(i)
                .arg(at)
                .arg(at + length - 1)
                .arg(name());
    }
    return QString();
}

QList<DownloadTaskPiece *> FetchedFile::takePieces() {
    QList<DownloadTaskPiece *> taken;
    taken.swap(open);
    return taken;
}

bool FetchedFile::fetchWholeInstead() {
    if (!description.fetchesSpans() || !run->listed(name()))
        return false;
    qDeleteAll(open);
    open.clear();
    writer.reset();
    ResumeRecord::discard(targetPath());
    abandonPlan();
    hosts.servedBy.clear();
    beginWhole();
    return true;
}

// After a failed check: bytes an earlier run left may be what is wrong, or one of the hosts: the
// whole file is fetched once more (from one host, so that it answers for all of it).
bool FetchedFile::judgedForAgain(const DownloadResult &result, DownloadResult *outcome) {
    if (result.code() != VerifyError)
        return false;
    RemoteFileInfo *e = entry();
    const bool resumed = writer->resumedBytes() > 0;
    const QString again = run->chooser->judgeWrongBytes(hosts, e ? e->name : name(), resumed, outcome);
    if (wholeAgain || (!resumed && again.isEmpty()))
        return false;
    if (again.isEmpty()) {
        qWarning() << "md5 mismatch of a resumed download, fetching the whole file again" << name()
                   << result.reason();
    } else {
        qWarning() << "md5 mismatch, fetching the whole file again from one CDN host" << name()
                   << CdnHosts::hostName(again) << outcome->reason();
        hosts.pinned = again;
    }
    wholeAgain = true;
    reusedBytes.reset();
    if (e)
        e->downloadedBytes = 0;
    writer.reset();
    emit fetchAgain();
    return true;
}

void FetchedFile::assembled(const DownloadResult &result) {
    if (!writer)
        return;
    const RemoteFileInfo *e = entry();
    End end{result, e ? e->name : name()};
    if (judgedForAgain(result, &end.result))
        return;
    if (result.code() == WriteError && writer->awaitsMove()) {
        const int attempts = ++moveAttempts;
        if (attempts < MoveAttempts) {
            // A scanner or the game lets go of the old file soon, mostly: try again without
            // holding a worker meanwhile.
            qWarning() << "cannot put the file in place yet" << end.name << attempts << result.reason();
            emit moveWaits(end.name, result.reason());
            QTimer::singleShot(attempts * MoveRetryStepMs, this, [this] {
                if (writer)
                    writer->retryMove();
            });
            return;
        }
        end.result = {WriteError,
                      QStringLiteral("%1 (tried %2 times; the verified file is kept for the next start)")
                          .arg(result.reason())
                          .arg(attempts)};
    }
    end.recorded = writer->recordedBytes();
    if (end.result.ok() && reusedBytes && !description.fetchesSpans()) {
        end.reused = *reusedBytes;
        end.fetched = (e ? e->size : writer->size()) - end.reused;
    }
    // A file in place counts whole from its end on, no longer also as bytes written of a file under way.
    if (end.result.ok())
        writer.reset();
    emit ended(end);
}
