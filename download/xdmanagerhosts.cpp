#include "download/xdmanager.h"

#include "download/cdnhosts.h"
#include "download/fileassembler.h"

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
    QString want = pinned.value(t);
    if (!usable.contains(want))
        want = usable.contains(current) ? current : QString();
    if (!want.isEmpty() && want == current)
        return;
    if (!current.isEmpty())
        cdn->release(held.take(d));
    if (want.isEmpty())
        want = cdn->acquire(current);
    else
        cdn->hold(want);
    // No host at all (an empty build setting): the downloader keeps its own base URL.
    if (want.isEmpty())
        return;
    held.insert(d, want);
    d->setBaseUrl(want);
}

void XDManager::releaseIdleHosts() {
    for (TaskPieceDownloader *d : qAsConst(downloaders)) {
        if (!d->currentTask() && held.contains(d))
            cdn->release(held.take(d));
    }
}

bool XDManager::attemptFailed(TaskPieceDownloader *d, TaskPieceDownloader::Failure kind, bool gotBytes) {
    // What arrived before the failure stays on the disk, whatever becomes of the piece.
    if (gotBytes)
        keepReceived(d);
    const QString host = d->baseUrl();
    // A 4xx says what the host has (a mirror may lag behind a release), not that it is away.
    if (kind != TaskPieceDownloader::Failure::Permanent)
        cdn->failed(host, d->failureReason());
    if (cdn->count() < 2)
        return false;
    QStringList &failedOn = tried[d];
    if (gotBytes)
        failedOn.clear();
    if (!failedOn.contains(host))
        failedOn.append(host);
    const QString other = cdn->acquireOther(failedOn);
    if (other.isEmpty()) {
        // Every host failed this piece: the retry rules wait, then the next round asks them again,
        // beginning with a usable one.
        failedOn.clear();
        if (!cdn->usable().contains(host))
            holdHost(d, nullptr);
        return false;
    }
    if (held.contains(d))
        cdn->release(held.take(d));
    held.insert(d, other);
    d->setBaseUrl(other);
    return true;
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
