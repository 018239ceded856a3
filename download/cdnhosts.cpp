#include "download/cdnhosts.h"

#include "core/buildconstants.h"

#include <QDebug>
#include <QUrl>

CdnHosts::CdnHosts(const QStringList &baseUrls, QObject *parent)
    : QObject(parent) {
    for (const QString &url : baseUrls)
        if (!url.isEmpty() && !hosts.contains(url))
            hosts.append(url);
}

CdnHosts::CdnHosts(CdnHosts *shared, QObject *parent)
    : QObject(parent)
    , hosts(shared->cdnHosts())
    , s(shared->s) {}

void CdnHosts::addPeer(const QString &baseUrl) {
    if (baseUrl.isEmpty() || hosts.contains(baseUrl))
        return;
    hosts.append(baseUrl);
    peerUrls.append(baseUrl);
    qDebug().noquote() << "peer joins the hosts: " + hostName(baseUrl);
    emit peerJoined(baseUrl);
}

QStringList CdnHosts::cdnHosts() const {
    QStringList cdn;
    for (const QString &url : hosts)
        if (!isPeer(url))
            cdn.append(url);
    return cdn;
}

bool CdnHosts::hasUsablePeer() const {
    for (const QString &url : peerUrls)
        if (!isLeftOut(url))
            return true;
    return false;
}

bool CdnHosts::hasRoom(const QString &baseUrl) const {
    return !isPeer(baseUrl) || holders.value(baseUrl) < PeerConnections;
}

QStringList CdnHosts::buildHosts() {
    return QStringList{::cdnBaseUrl} + ::cdnMirrorUrls;
}

QStringList CdnHosts::usable() const {
    QStringList live;
    bool cdnLive = false;
    for (const QString &url : hosts) {
        if (isLeftOut(url))
            continue;
        live.append(url);
        cdnLive = cdnLive || !isPeer(url);
    }
    // Every CDN host left out: all of them are asked again, so that their failures reach the player;
    // a peer left out stays out.
    if (!cdnLive)
        live = cdnHosts() + live;
    return live;
}

bool CdnHosts::isLeftOut(const QString &baseUrl) const {
    return leftOut.contains(baseUrl) && !hasReturned(baseUrl);
}

bool CdnHosts::hasReturned(const QString &baseUrl) const {
    const auto it = outSince.constFind(baseUrl);
    return it != outSince.cend() && it.value().elapsed() >= returnPause.value(baseUrl);
}

void CdnHosts::setReturnPauses(int firstMs, int maxMs) {
    firstReturnMs = qMax(0, firstMs);
    maxReturnMs = qMax(firstReturnMs, maxMs);
}

bool CdnHosts::failsEverything(const QString &baseUrl) const {
    if (failuresInARow.value(baseUrl) < FailuresToLeaveOut)
        return false;
    const auto it = lastServed.constFind(baseUrl);
    return it == lastServed.cend() || it.value().elapsed() >= ServingWindowMs;
}

QString CdnHosts::acquire(const QString &avoid) {
    const QString other = avoid.isEmpty() ? QString() : acquireOther({avoid});
    return other.isEmpty() ? acquireOther({}) : other;
}

QString CdnHosts::acquireOther(const QStringList &tried) {
    QStringList peerChoice, cdnChoice;
    for (const QString &url : usable()) {
        if (!tried.contains(url) && hasRoom(url))
            (isPeer(url) ? peerChoice : cdnChoice).append(url);
    }
    const QString peer = fastest(peerChoice);
    const QString cdn = fastest(cdnChoice);
    // A peer is nearby and its bytes cost the player's line nothing: the CDN only when it is far faster.
    QString best = peer.isEmpty() ? cdn : peer;
    if (!peer.isEmpty() && !cdn.isEmpty() && paceWithOneMore(cdn) > paceWithOneMore(peer) * PaceGainToMove)
        best = cdn;
    if (!best.isEmpty())
        ++holders[best];
    return best;
}

QString CdnHosts::fastest(const QStringList &candidates) const {
    QString best;
    double bestPace = 0;
    for (const QString &url : candidates) {
        const double p = paceWithOneMore(url);
        const bool faster = p > bestPace * PaceTolerance;
        const bool asFast = p * PaceTolerance >= bestPace;
        if (best.isEmpty() || faster || (asFast && holders.value(url) < holders.value(best))) {
            best = url;
            bestPace = p;
        }
    }
    return best;
}

double CdnHosts::paceWithOneMore(const QString &baseUrl) const {
    double p = paces.value(baseUrl);
    if (p <= 0) {
        for (const QString &url : hosts)
            p = qMax(p, paces.value(url));
        if (p <= 0)
            return 1; // nothing measured yet: all alike
    }
    const int k = holders.value(baseUrl);
    return k > 0 ? p * k / (k + 1) : p;
}

void CdnHosts::setPace(const QString &baseUrl, double bytesPerMs) {
    if (hosts.contains(baseUrl) && bytesPerMs > 0)
        paces.insert(baseUrl, bytesPerMs);
}

bool CdnHosts::isCrowded(const QString &baseUrl) const {
    const int mine = holders.value(baseUrl);
    const double myPace = paces.value(baseUrl);
    for (const QString &url : usable()) {
        if (url == baseUrl || !hasRoom(url))
            continue;
        if (myPace > 0 && paces.value(url) > 0) {
            if (paceWithOneMore(url) > myPace * PaceGainToMove)
                return true;
        } else if (holders.value(url) < mine - 1) {
            return true;
        }
    }
    return false;
}

void CdnHosts::hold(const QString &baseUrl) {
    if (hosts.contains(baseUrl))
        ++holders[baseUrl];
}

void CdnHosts::release(const QString &baseUrl) {
    auto it = holders.find(baseUrl);
    if (it != holders.end() && --it.value() <= 0)
        holders.erase(it);
}

void CdnHosts::succeeded(const QString &baseUrl) {
    failuresInARow.remove(baseUrl);
    served(baseUrl);
    // Back from a pause and serving again: in for good.
    if (outSince.contains(baseUrl) && hasReturned(baseUrl)) {
        qDebug().noquote() << "CDN host serves again: " + hostName(baseUrl);
        leftOut.remove(baseUrl);
        outSince.remove(baseUrl);
        returnPause.remove(baseUrl);
    }
}

void CdnHosts::served(const QString &baseUrl) {
    if (hosts.contains(baseUrl))
        lastServed[baseUrl].start();
}

void CdnHosts::failed(const QString &baseUrl, const QString &why) {
    if (!hosts.contains(baseUrl))
        return;
    // A peer is a neighbour's launcher: one that fails is closing, busy or broken, and the CDN
    // serves in its place for the rest of the run.
    if (isPeer(baseUrl)) {
        if (!leftOut.contains(baseUrl))
            leaveOut(baseUrl, QStringLiteral("failed: %1").arg(why));
        return;
    }
    const int failures = ++failuresInARow[baseUrl];
    if (outSince.contains(baseUrl)) {
        // Asked again after its pause and failing still: out for twice as long.
        if (hasReturned(baseUrl)) {
            returnPause[baseUrl] = int(qMin<qint64>(qint64(returnPause.value(baseUrl)) * 2, maxReturnMs));
            outSince[baseUrl].start();
            leaveOut(baseUrl, QStringLiteral("failed again after a pause: %1").arg(why));
        }
        return;
    }
    if (leftOut.contains(baseUrl))
        return;
    if (failures >= FailuresToLeaveOut) {
        outSince[baseUrl].start();
        returnPause[baseUrl] = firstReturnMs;
        leaveOut(baseUrl, QStringLiteral("%1 failures in a row, the last: %2").arg(failures).arg(why));
    }
}

void CdnHosts::servedWrongBytes(const QString &baseUrl, const QString &what) {
    if (!hosts.contains(baseUrl))
        return;
    qDebug().noquote() << "CDN host served wrong bytes: " + hostName(baseUrl) + ": " + what;
    // Out for the rest of the run, whatever pause it was in.
    const bool outForGood = leftOut.contains(baseUrl) && !outSince.contains(baseUrl);
    outSince.remove(baseUrl);
    returnPause.remove(baseUrl);
    if (!outForGood)
        leaveOut(baseUrl, QStringLiteral("wrong bytes: %1").arg(what));
}

void CdnHosts::leaveOut(const QString &baseUrl, const QString &why) {
    leftOut.insert(baseUrl, why);
    // With one host there is nothing to switch to: it stays in use, as every host does once all
    // are left out.
    if (isPeer(baseUrl)) {
        qDebug().noquote() << "peer left out for this run: " + hostName(baseUrl) + ": " + why;
    } else if (hosts.size() > 1) {
        if (outSince.contains(baseUrl))
            qDebug().noquote()
                << QStringLiteral("CDN host left out for %1 ms: ").arg(returnPause.value(baseUrl)) +
                       hostName(baseUrl) + ": " + why;
        else
            qDebug().noquote() << "CDN host left out for this run: " + hostName(baseUrl) + ": " + why;
    }
    emit hostLeftOut(baseUrl, why);
}

QString CdnHosts::hostName(const QString &baseUrl) {
    const QUrl url(baseUrl, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty())
        return baseUrl;
    return url.port() < 0 ? url.host() : QStringLiteral("%1:%2").arg(url.host()).arg(url.port());
}

QString CdnHosts::hostNames(const QStringList &baseUrls) {
    QStringList names;
    for (const QString &url : baseUrls)
        names.append(hostName(url));
    return names.join(QStringLiteral(", "));
}
