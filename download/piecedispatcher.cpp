#include "download/piecedispatcher.h"

#include "download/downloadtaskpiece.h"
#include "download/fetchedfile.h"
#include "download/hostchooser.h"
#include "download/piecebufferpool.h"
#include "download/piececonnection.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>

PieceDispatcher::PieceDispatcher(HostChooser *chooser, PieceBufferPool *buffers, const Source &source,
                                 QObject *parent)
    : QObject(parent)
    , chooser(chooser)
    , buffers(buffers)
    , source(source) {
    for (int i = 0; i < ConnectionCount; ++i) {
        auto *c = new PieceConnection();
        all.append(c);
        c->downloader()->setFailureHook([this, c](TaskPieceDownloader::Failure kind, bool gotBytes) {
            // What arrived before the failure stays on the disk, whatever becomes of the piece.
            if (gotBytes)
                c->keepReceived(true, KeepReceivedMs);
            DownloadTaskPiece *p = c->piece();
            return this->chooser->attemptFailed(*c, p && p->file ? &p->file->hosts : nullptr, kind, gotBytes);
        });
    }
    // One connection's received bytes a tick, each of them once a second: under a download cap the
    // ten pieces run in step, and copying all of them at once held this thread for tens of ms.
    keepTimer = new QTimer(this);
    keepTimer->setInterval(KeepReceivedMs / ConnectionCount);
    connect(keepTimer, &QTimer::timeout, this, [this, tick = 0]() mutable {
        all.at(tick % all.size())->keepReceived(false, KeepReceivedMs);
        if (++tick % ConnectionCount != 0)
            return;
        measureHosts();
        takeOverSlowPieces();
        this->chooser->releaseIdle(all);
    });
}

PieceDispatcher::~PieceDispatcher() {
    for (PieceConnection *c : qAsConst(all))
        c->downloader()->pause();
    keepAllReceived();
    // The caller's hosts may serve another run later. Requests go first: nothing may write into a
    // buffer after this.
    for (PieceConnection *c : qAsConst(all)) {
        chooser->release(*c);
        delete c;
    }
}

void PieceDispatcher::queue(const QList<DownloadTaskPiece *> &pieces) {
    waiting.append(pieces);
}

DownloadTaskPiece *PieceDispatcher::nextPiece(const PieceConnection *c) {
    for (;;) {
        bool forPeers = false;
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            // A file whose writes fail ends once what it wrote is recorded: nothing more of it is
            // fetched (its pieces go with it then).
            if ((*it)->file->writesFailed())
                continue;
            if (c && chooser->waitsForPeer((*it)->file->hosts, *c)) {
                forPeers = true;
                continue;
            }
            DownloadTaskPiece *p = *it;
            waiting.erase(it);
            return p;
        }
        if ((forPeers && waiting.size() >= WaitingBound) || !source.split())
            return nullptr;
    }
}

void PieceDispatcher::startAll() {
    for (PieceConnection *c : qAsConst(all)) {
        if (!assignNext(c, true))
            break;
    }
    keepTimer->start();
}

bool PieceDispatcher::assignNext(PieceConnection *c, bool evenWithoutBuffer) {
    PieceBuffer sink = buffers->acquire();
    if (!sink && !evenWithoutBuffer)
        return false;
    DownloadTaskPiece *p = nextPiece(c);
    if (!p)
        return false;
    chooser->hold(*c, &p->file->hosts);
    give(c, p, std::move(sink));
    return true;
}

void PieceDispatcher::give(PieceConnection *c, DownloadTaskPiece *p, PieceBuffer sink) {
    c->take(p, std::move(sink));
    if (!paused)
        c->downloader()->start();
}

void PieceDispatcher::refill(PieceConnection *first) {
    fill(first);
    takeOverSlowPieces();
    chooser->releaseIdle(all);
}

void PieceDispatcher::fill(PieceConnection *first) {
    for (PieceConnection *c : qAsConst(all)) {
        if (!c->downloader()->awaitsSink())
            continue;
        PieceBuffer sink = buffers->acquire();
        if (!sink) {
            if (buffers->exhausted())
                emit outOfMemory();
            return;
        }
        c->downloader()->giveSink(std::move(sink));
        if (!paused)
            c->downloader()->start();
    }
    // Connections whose pieces were dropped with a failed file, or that waited for a buffer, take up
    // work again too: the one that ended first (it keeps its host), then the others, each asked
    // (a piece that waits for a peer may go to one and not to another).
    if (first && !first->piece())
        assignNext(first);
    // Idle connections let go of their hosts first: a peer they hold has room for a piece.
    chooser->releaseIdle(all);
    for (PieceConnection *c : qAsConst(all)) {
        if (!c->piece() && !assignNext(c) && waiting.isEmpty())
            return; // nothing left to hand out
    }
}

void PieceDispatcher::pieceFinished(const TaskPieceDownloader *d, bool success, DownloadTaskPiece *piece) {
    const auto it = std::find_if(all.cbegin(), all.cend(),
                                 [d](const PieceConnection *c) { return c->downloader() == d; });
    if (it == all.cend())
        return;
    PieceConnection *c = *it;
    // What was kept of a failed piece: written and recorded for the next run.
    const qint64 keptOfPiece = success ? 0 : c->keptBytes(piece);
    // How fast the host sent a whole piece, for the choice of hosts and the end of the run (small
    // pieces show the time to answer rather than the pace).
    if (success && c->msOn(piece) >= 0 && piece->length() >= HostChooser::MeasuredPieceBytes) {
        chooser->pieceTimed(c->host(), piece->length(), c->msOn(piece));
        c->forgetKept();
        measureHosts();
    }
    // The piece's bytes (after a success); they go back to the pool wherever this lets go of them.
    PieceBuffer buffer = c->downloader()->takeSink();
    c->forgetKept();
    const QString wrong =
        success && c->downloader()->onPeer() ? piece->file->wrongBlocks(piece, buffer) : QString();
    if (!wrong.isEmpty()) {
        // Asked again elsewhere, first of all: the peer is left out.
        qWarning() << "piece from a peer refused" << piece->file->name() << piece->index << wrong;
        chooser->pieceRefused(*c, wrong);
        buffer.reset();
        waiting.prepend(piece);
    } else if (success) {
        chooser->pieceServed(*c, piece->file->hosts);
        piece->file->pieceCompleted(piece, std::move(buffer));
    } else {
        const QString why = d->failureReason().isEmpty() ? QStringLiteral("no answer") : d->failureReason();
        const int status = d->failureStatus();
        // A 4xx is not asked again: the CDN said what it has.
        const QString how = status >= 400 && status < 500
                                ? QStringLiteral("was refused with HTTP %1").arg(status)
                                : QStringLiteral("failed every attempt");
        const QString reason = QStringLiteral("piece %1 of %2 %3: %4")
                                   .arg(piece->index)
                                   .arg(piece->downloadTask->remotePath, how, why);
        qWarning() << "file download failed" << piece->file->name() << reason;
        emit pieceFailed(piece->file, reason, status,
                         d->failureKind() == TaskPieceDownloader::Failure::Outage ||
                             d->failureKind() == TaskPieceDownloader::Failure::Trickle,
                         keptOfPiece);
    }
    emit pieceEnded(c);
}

void PieceDispatcher::drop(FetchedFile *file, bool keep) {
    for (DownloadTaskPiece *p : file->takePieces()) {
        if (!waiting.removeOne(p)) {
            for (PieceConnection *c : qAsConst(all)) {
                if (c->piece() != p)
                    continue;
                // The file failed: what arrived of its other pieces stays for the next run.
                if (keep)
                    c->keepReceived(true, KeepReceivedMs);
                c->drop();
                break;
            }
        }
        delete p;
    }
}

void PieceDispatcher::measureHosts() {
    if (!paused)
        chooser->measure(all);
}

void PieceDispatcher::takeOverSlowPieces() {
    if (paused || !waiting.isEmpty() || source.filesLeft())
        return;
    for (PieceConnection *idle : qAsConst(all)) {
        if (idle->piece())
            continue;
        QString fast;
        PieceConnection *slow = chooser->slowPiece(all, &fast);
        if (!slow)
            return;
        DownloadTaskPiece *p = slow->piece();
        slow->drop(); // its buffer goes back to the pool
        PieceBuffer sink = buffers->acquire();
        if (!sink) {
            // Cannot happen (the slow one's buffer just came back); the piece stays with nobody else.
            waiting.prepend(p);
            return;
        }
        p->takenOver = true;
        chooser->moveTo(*idle, fast);
        give(idle, p, std::move(sink));
    }
}

void PieceDispatcher::pause() {
    paused = true;
    for (PieceConnection *c : qAsConst(all))
        c->downloader()->pause();
    // A pause is often followed by a close, or by a long wait: what arrived is kept on the disk.
    keepAllReceived();
}

void PieceDispatcher::resume() {
    paused = false;
    for (PieceConnection *c : qAsConst(all))
        c->downloader()->start();
}

void PieceDispatcher::keepAllReceived() {
    for (PieceConnection *c : qAsConst(all))
        c->keepReceived(true, KeepReceivedMs);
}

void PieceDispatcher::setTransferTimeout(int ms) {
    for (PieceConnection *c : qAsConst(all))
        c->downloader()->setTransferTimeout(ms);
}

void PieceDispatcher::setLowSpeedLimit(qint64 bytesPerSecond, int windowMs) {
    for (PieceConnection *c : qAsConst(all))
        c->downloader()->setLowSpeedLimit(bytesPerSecond, windowMs);
}

void PieceDispatcher::setRetryPolicy(const TaskPieceDownloader::RetryPolicy &policy) {
    for (PieceConnection *c : qAsConst(all))
        c->downloader()->setRetryPolicy(policy);
}

qint64 PieceDispatcher::bufferedBytes() const {
    qint64 sum = 0;
    for (const PieceConnection *c : all) {
        // Bytes that can no longer reach the disk are not progress.
        if (!c->piece() || !c->piece()->file->writesFailed())
            sum += c->downloader()->receivedBytes();
    }
    return sum;
}

qint64 PieceDispatcher::receivedOf(const FetchedFile *file) const {
    qint64 sum = 0;
    for (const PieceConnection *c : all) {
        if (c->piece() && c->piece()->file == file)
            sum += c->downloader()->receivedBytes();
    }
    return sum;
}

bool PieceDispatcher::busy() const {
    for (const PieceConnection *c : all) {
        if (c->piece())
            return true;
    }
    return false;
}

bool PieceDispatcher::allWaitingOnNetwork() const {
    for (const PieceConnection *c : all) {
        if (c->piece() && !c->downloader()->isWaitingOnNetwork())
            return false;
    }
    return true;
}

int PieceDispatcher::networkWaitMs() const {
    int wait = -1;
    for (const PieceConnection *c : all) {
        const TaskPieceDownloader *d = c->downloader();
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
