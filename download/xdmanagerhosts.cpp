#include "download/xdmanager.h"

#include "download/cdnhosts.h"
#include "download/fileassembler.h"
#include "download/piecebufferpool.h"

// Which CDN host each downloader asks, and what a failure or a wrong file says about the hosts.

void XDManager::setHosts(CdnHosts *hosts) {
    if (started || !hosts || hosts == cdn)
        return;
    delete ownHosts;
    ownHosts = nullptr;
    cdn = hosts;
}

void XDManager::holdHost(TaskPieceDownloader *d, DownloadTask *t) {
    const QStringList usable = cdn->usable();
    const QString current = held.value(d);
    const QStringList lacks = lacking.value(t);
    QString want = pinned.value(t);
    // The host it keeps to, unless another has far fewer downloaders (one that came back), or the
    // host said it does not have this file (a mirror behind the release).
    if (!usable.contains(want))
        want = usable.contains(current) && !cdn->isCrowded(current) ? current : QString();
    if (lacks.contains(want))
        want.clear();
    if (!want.isEmpty() && want == current)
        return;
    if (!current.isEmpty())
        cdn->release(held.take(d));
    if (!want.isEmpty())
        cdn->hold(want);
    else if (!lacks.isEmpty())
        want = cdn->acquireOther(lacks);
    if (want.isEmpty())
        want = cdn->acquire(current);
    // No host at all (an empty build setting): the downloader keeps its own base URL.
    if (want.isEmpty())
        return;
    held.insert(d, want);
    d->setBaseUrl(want);
}

void XDManager::measureHosts() {
    if (paused)
        return;
    // Pieces under way show a slow host long before it ends a piece; whole pieces give the pace
    // with the request's start included.
    QHash<QString, QPair<double, int>> live;
    for (TaskPieceDownloader *d : qAsConst(downloaders)) {
        const DownloadTaskPiece *p = d->currentTask();
        const auto k = kept.constFind(d);
        if (!p || k == kept.cend() || k->piece != p || k->since.elapsed() < TakeOverAfterMs)
            continue;
        auto &sum = live[d->baseUrl()];
        sum.first += double(d->receivedBytes()) / double(k->since.elapsed());
        ++sum.second;
    }
    for (const QString &url : cdn->all()) {
        const double whole = hostRates.value(url);
        const auto it = live.constFind(url);
        const double now = it == live.cend() ? 0 : it->first / it->second;
        cdn->setPace(url, whole > 0 && now > 0 ? (whole + now) / 2 : qMax(whole, now));
    }
}

void XDManager::releaseIdleHosts() {
    for (TaskPieceDownloader *d : qAsConst(downloaders)) {
        if (!d->currentTask() && held.contains(d))
            cdn->release(held.take(d));
    }
}

TaskPieceDownloader::Retry XDManager::attemptFailed(TaskPieceDownloader *d, TaskPieceDownloader::Failure kind,
                                                    bool gotBytes) {
    using Retry = TaskPieceDownloader::Retry;
    const bool missing = kind == TaskPieceDownloader::Failure::Permanent;
    // What arrived before the failure stays on the disk, whatever becomes of the piece.
    const QString host = d->baseUrl();
    if (gotBytes) {
        keepReceived(d);
        cdn->served(host);
    }
    // A 4xx says what the host has (a mirror may lag behind a release), not that it is away.
    if (missing) {
        QStringList &said = missingOn[d];
        if (!said.contains(host))
            said.append(host);
        if (const DownloadTaskPiece *p = d->currentTask()) {
            QStringList &lacks = lacking[p->downloadTask];
            if (!lacks.contains(host))
                lacks.append(host);
        }
    } else {
        cdn->failed(host, d->failureReason());
    }
    if (cdn->count() >= 2) {
        QStringList &failedOn = tried[d];
        if (gotBytes)
            failedOn.clear();
        if (!failedOn.contains(host))
            failedOn.append(host);
        const QString other = cdn->acquireOther(failedOn);
        if (!other.isEmpty()) {
            if (held.contains(d))
                cdn->release(held.take(d));
            held.insert(d, other);
            d->setBaseUrl(other);
            return Retry::OtherHost;
        }
        // Every usable host failed this piece: the retry rules wait, then the next round asks them
        // again, beginning with a usable one.
        failedOn.clear();
        if (!cdn->usable().contains(host))
            holdHost(d, nullptr);
    }
    if (missing) {
        // Missing means missing on every host: one that is away for now may have the file (a
        // mirror lags behind a release while the first host restarts).
        const QStringList &said = missingOn.value(d);
        for (const QString &url : cdn->all()) {
            if (!said.contains(url) && cdn->mayBeAway(url))
                return Retry::AsOutage;
        }
        return Retry::AsUsual;
    }
    // A 5xx from a host that serves other requests is bad luck under load, not an outage (a host
    // that does not answer at all is away, and waited out as such).
    return d->failureStatus() >= 500 && !cdn->failsEverything(host) ? Retry::Soon : Retry::AsUsual;
}

void XDManager::takeOverSlowPieces() {
    if (paused || !pendingPieces.isEmpty() || !pendingTasks.isEmpty() || cdn->count() < 2)
        return;
    for (TaskPieceDownloader *idle : qAsConst(downloaders)) {
        if (idle->currentTask())
            continue;
        // The fastest usable host, as its last pieces came.
        QString fast;
        double fastRate = 0;
        for (const QString &url : cdn->usable()) {
            if (hostRates.value(url) > fastRate) {
                fast = url;
                fastRate = hostRates.value(url);
            }
        }
        if (fast.isEmpty())
            return;
        // The piece on another host that would end last at the pace it has had.
        TaskPieceDownloader *slow = nullptr;
        double slowMs = 0;
        for (TaskPieceDownloader *s : qAsConst(downloaders)) {
            DownloadTaskPiece *p = s->currentTask();
            if (!p || takenOver.contains(p) || s->baseUrl() == fast || pinned.contains(p->downloadTask) ||
                lacking.value(p->downloadTask).contains(fast) || kept.value(s).piece != p ||
                kept.value(s).since.elapsed() < TakeOverAfterMs)
                continue;
            const double pace = double(s->receivedBytes()) / double(kept.value(s).since.elapsed());
            const double leftMs = double(p->length() - s->receivedBytes()) / qMax(pace, 1e-3);
            if (leftMs > slowMs) {
                slow = s;
                slowMs = leftMs;
            }
        }
        if (!slow)
            return;
        DownloadTaskPiece *p = slow->currentTask();
        // Worth it only when the fast host fetches the whole piece again well before the slow one
        // would end it.
        if (slowMs < 2 * double(p->length()) / fastRate + TakeOverAfterMs)
            return;
        qDebug().noquote() << QStringLiteral("taking piece %1 of %2 over from %3 for %4 (%5 s left there)")
                                  .arg(p->index)
                                  .arg(p->downloadTask->remotePath, CdnHosts::hostName(slow->baseUrl()),
                                       CdnHosts::hostName(fast))
                                  .arg(slowMs / 1000, 0, 'f', 1);
        // A host that sent nothing at all for the piece stalls: that counts as a failed request.
        if (slow->receivedBytes() == 0)
            cdn->failed(slow->baseUrl(), QStringLiteral("no byte of piece %1 in %2 ms")
                                             .arg(p->index)
                                             .arg(kept.value(slow).since.elapsed()));
        slow->cancelTask(p); // its buffer goes back to the pool
        kept.remove(slow);
        PieceBuffer sink = buffers->acquire();
        if (!sink) {
            // Cannot happen (the slow one's buffer just came back); the piece stays with nobody else.
            pendingPieces.prepend(p);
            return;
        }
        takenOver.insert(p);
        if (held.contains(idle))
            cdn->release(held.take(idle));
        cdn->hold(fast);
        held.insert(idle, fast);
        idle->setBaseUrl(fast);
        givePiece(idle, p, std::move(sink));
    }
}

QString XDManager::judgeWrongBytes(DownloadTask *t, const QString &name, DownloadResult *result) {
    const QStringList from = servedBy.take(t);
    if (cdn->count() < 2)
        return QString();
    const FileAssembler *a = assemblers.value(t);
    if (!from.isEmpty())
        *result = {VerifyError,
                   QStringLiteral("%1 (pieces from %2)").arg(result->reason(), CdnHosts::hostNames(from))};
    // Bytes of an earlier run or of an older copy came from no known host.
    if (from.size() == 1 && a && a->resumedBytes() == 0)
        cdn->servedWrongBytes(from.first(), QStringLiteral("%1 failed its MD5").arg(name));
    const QStringList usable = cdn->usable();
    for (const QString &host : usable) {
        if (!from.contains(host))
            return host;
    }
    return usable.value(0);
}
