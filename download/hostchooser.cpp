#include "download/hostchooser.h"

#include "download/cdnhosts.h"
#include "download/downloadtaskpiece.h"
#include "download/fetchedfile.h"
#include "download/piececonnection.h"

#include <QDebug>
#include <QPair>

QStringList HostChooser::barred(const FileHosts *file) const {
    return file && file->peersMayServe ? QStringList() : cdn->peers();
}

void HostChooser::hold(PieceConnection &c, const FileHosts *file) {
    const QStringList usable = cdn->usable();
    const QString current = c.hosts.held;
    const QStringList notHere = barred(file);
    const QStringList lacks = (file ? file->lacking : QStringList()) + notHere;
    QString want = file ? file->pinned : QString();
    // The host it keeps to, unless another has far fewer connections (one that came back), or the
    // host said it does not have this file (a mirror behind the release).
    if (!usable.contains(want))
        want = usable.contains(current) && !cdn->isCrowded(current) ? current : QString();
    if (lacks.contains(want))
        want.clear();
    if (!want.isEmpty() && want == current)
        return;
    release(c);
    if (!want.isEmpty())
        cdn->hold(want);
    else if (!lacks.isEmpty())
        want = cdn->acquireOther(lacks);
    // Every host lacks the file: one is asked all the same, so that the answer reaches the file.
    if (want.isEmpty())
        want = cdn->acquireOther(notHere + QStringList{current});
    if (want.isEmpty())
        want = cdn->acquireOther(notHere);
    // No host at all (an empty build setting): the downloader keeps its own base URL.
    if (want.isEmpty())
        return;
    c.hosts.held = want;
    c.downloader()->setBaseUrl(want, cdn->isPeer(want));
}

bool HostChooser::waitsForPeer(const FileHosts &file, const PieceConnection &c) const {
    if (!file.peersMayServe || !file.pinned.isEmpty() || cdn->isPeer(c.hosts.held))
        return false;
    double peerPace = 0;
    bool busy = false;
    for (const QString &peer : cdn->peers()) {
        if (cdn->isLeftOut(peer) || file.lacking.contains(peer))
            continue;
        if (cdn->hasRoom(peer))
            return false;
        busy = true;
        peerPace = qMax(peerPace, cdn->pace(peer));
    }
    if (!busy || peerPace <= 0)
        return busy;
    for (const QString &url : cdn->cdnHosts()) {
        if (!cdn->isLeftOut(url) && cdn->pace(url) > peerPace * CdnHosts::PaceGainToMove)
            return false;
    }
    return true;
}

void HostChooser::release(PieceConnection &c) {
    if (c.hosts.held.isEmpty())
        return;
    cdn->release(c.hosts.held);
    c.hosts.held.clear();
}

void HostChooser::releaseIdle(const QVector<PieceConnection *> &all) {
    for (PieceConnection *c : all) {
        if (!c->piece())
            release(*c);
    }
}

void HostChooser::switchTo(PieceConnection &c, const QString &host) {
    release(c);
    c.hosts.held = host;
    c.downloader()->setBaseUrl(host, cdn->isPeer(host));
}

void HostChooser::moveTo(PieceConnection &c, const QString &host) {
    release(c);
    cdn->hold(host);
    switchTo(c, host);
}

void HostChooser::pieceTimed(const QString &host, qint64 bytes, qint64 ms) {
    const double rate = double(bytes) / double(qMax<qint64>(1, ms));
    const double before = wholeRates.value(host, rate);
    wholeRates.insert(host, (before + rate) / 2);
}

void HostChooser::pieceServed(const PieceConnection &c, FileHosts &file) {
    cdn->succeeded(c.host());
    if (!file.servedBy.contains(c.host()))
        file.servedBy.append(c.host());
}

void HostChooser::pieceRefused(PieceConnection &c, const QString &why) {
    cdn->servedWrongBytes(c.host(), why);
    release(c);
}

void HostChooser::measure(const QVector<PieceConnection *> &all) {
    // Pieces under way show a slow host long before it ends a piece; whole pieces give the pace
    // with the request's start included.
    QHash<QString, QPair<double, int>> live;
    for (const PieceConnection *c : all) {
        const qint64 ms = c->msOn(c->piece());
        if (!c->piece() || ms < TakeOverAfterMs)
            continue;
        auto &sum = live[c->host()];
        sum.first += double(c->downloader()->receivedBytes()) / double(ms);
        ++sum.second;
    }
    for (const QString &url : cdn->all()) {
        const double whole = wholeRates.value(url);
        const auto it = live.constFind(url);
        const double now = it == live.cend() ? 0 : it->first / it->second;
        cdn->setPace(url, whole > 0 && now > 0 ? (whole + now) / 2 : qMax(whole, now));
    }
}

TaskPieceDownloader::Retry HostChooser::attemptFailed(PieceConnection &c, FileHosts *file,
                                                      TaskPieceDownloader::Failure kind, bool gotBytes) {
    using Retry = TaskPieceDownloader::Retry;
    const bool missing = kind == TaskPieceDownloader::Failure::Permanent;
    const QString host = c.host();
    if (gotBytes)
        cdn->served(host);
    // A 4xx says what the host has (a mirror may lag behind a release), not that it is away.
    if (missing) {
        if (!c.hosts.missingOn.contains(host))
            c.hosts.missingOn.append(host);
        if (file && !file->lacking.contains(host))
            file->lacking.append(host);
    } else {
        cdn->failed(host, c.downloader()->failureReason());
    }
    if (cdn->count() >= 2) {
        QStringList &failedOn = c.hosts.tried;
        if (gotBytes)
            failedOn.clear();
        if (!failedOn.contains(host))
            failedOn.append(host);
        const QString other = cdn->acquireOther(failedOn + barred(file));
        if (!other.isEmpty()) {
            switchTo(c, other);
            return Retry::OtherHost;
        }
        // Every usable host failed this piece: the retry rules wait, then the next round asks them
        // again, beginning with a usable one.
        failedOn.clear();
        if (!cdn->usable().contains(host))
            hold(c, file);
    }
    if (missing) {
        // Missing means missing on every host: one that is away for now may have the file (a
        // mirror lags behind a release while the first host restarts).
        // (A peer left out is gone for the run.)
        for (const QString &url : cdn->cdnHosts()) {
            if (!c.hosts.missingOn.contains(url) && cdn->mayBeAway(url))
                return Retry::AsOutage;
        }
        return Retry::AsUsual;
    }
    // A 5xx from a host that serves other requests is bad luck under load, not an outage (a host
    // that does not answer at all is away, and waited out as such).
    return c.downloader()->failureStatus() >= 500 && !cdn->failsEverything(host) ? Retry::Soon
                                                                                 : Retry::AsUsual;
}

PieceConnection *HostChooser::slowPiece(const QVector<PieceConnection *> &all, QString *fast) {
    if (cdn->count() < 2)
        return nullptr;
    // The fastest usable host, as its last pieces came.
    double fastRate = 0;
    fast->clear();
    for (const QString &url : cdn->usable()) {
        if (wholeRates.value(url) > fastRate && cdn->hasRoom(url)) {
            *fast = url;
            fastRate = wholeRates.value(url);
        }
    }
    if (fast->isEmpty())
        return nullptr;
    // The piece on another host that would end last at the pace it has had.
    PieceConnection *slow = nullptr;
    double slowMs = 0;
    for (PieceConnection *c : all) {
        const DownloadTaskPiece *p = c->piece();
        const qint64 ms = c->msOn(p);
        if (!p || p->takenOver || c->host() == *fast || ms < TakeOverAfterMs ||
            (p->file && (!p->file->hosts.pinned.isEmpty() || p->file->hosts.lacking.contains(*fast))) ||
            barred(p->file ? &p->file->hosts : nullptr).contains(*fast))
            continue;
        const qint64 received = c->downloader()->receivedBytes();
        const double pace = double(received) / double(ms);
        const double leftMs = double(p->length() - received) / qMax(pace, 1e-3);
        if (leftMs > slowMs) {
            slow = c;
            slowMs = leftMs;
        }
    }
    if (!slow)
        return nullptr;
    const DownloadTaskPiece *p = slow->piece();
    // Worth it only when the fast host fetches the whole piece again well before the slow one
    // would end it.
    if (slowMs < 2 * double(p->length()) / fastRate + TakeOverAfterMs)
        return nullptr;
    qDebug().noquote() << QStringLiteral("taking piece %1 of %2 over from %3 for %4 (%5 s left there)")
                              .arg(p->index)
                              .arg(p->downloadTask->remotePath, CdnHosts::hostName(slow->host()),
                                   CdnHosts::hostName(*fast))
                              .arg(slowMs / 1000, 0, 'f', 1);
    // A host that sent nothing at all for the piece stalls: that counts as a failed request.
    if (slow->downloader()->receivedBytes() == 0)
        cdn->failed(slow->host(),
                    QStringLiteral("no byte of piece %1 in %2 ms").arg(p->index).arg(slow->msOn(p)));
    return slow;
}

QString HostChooser::judgeWrongBytes(FileHosts &file, const QString &name, bool resumed,
                                     DownloadResult *result) {
    const QStringList from = file.servedBy;
    file.servedBy.clear();
    if (cdn->count() < 2)
        return QString();
    if (!from.isEmpty())
        *result = {VerifyError,
                   QStringLiteral("%1 (pieces from %2)").arg(result->reason(), CdnHosts::hostNames(from))};
    // Bytes of an earlier run or of an older copy came from no known host. The one CDN host stays
    // in use whatever it did.
    const QStringList cdnHosts = cdn->cdnHosts();
    if (from.size() == 1 && !resumed && (cdn->isPeer(from.first()) || cdnHosts.size() >= 2))
        cdn->servedWrongBytes(from.first(), QStringLiteral("%1 failed its MD5").arg(name));
    // Fetched once more from a CDN host, never from a peer.
    QStringList usable = cdn->usable();
    for (const QString &peer : cdn->peers())
        usable.removeAll(peer);
    for (const QString &host : qAsConst(usable)) {
        if (!from.contains(host))
            return host;
    }
    return cdnHosts.size() >= 2 ? usable.value(0) : QString();
}
