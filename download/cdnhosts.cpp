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

QStringList CdnHosts::buildHosts() {
    return QStringList{::cdnBaseUrl} + ::cdnMirrorUrls;
}

QStringList CdnHosts::usable() const {
    QStringList live;
    for (const QString &url : hosts)
        if (!leftOut.contains(url))
            live.append(url);
    return live.isEmpty() ? hosts : live;
}

QString CdnHosts::acquire(const QString &avoid) {
    const QString other = avoid.isEmpty() ? QString() : acquireOther({avoid});
    return other.isEmpty() ? acquireOther({}) : other;
}

QString CdnHosts::acquireOther(const QStringList &tried) {
    QString best;
    for (const QString &url : usable()) {
        if (tried.contains(url))
            continue;
        if (best.isEmpty() || holders.value(url) < holders.value(best))
            best = url;
    }
    if (!best.isEmpty())
        ++holders[best];
    return best;
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
}

void CdnHosts::failed(const QString &baseUrl, const QString &why) {
    if (!hosts.contains(baseUrl) || leftOut.contains(baseUrl))
        return;
    const int failures = ++failuresInARow[baseUrl];
    if (failures >= FailuresToLeaveOut)
        leaveOut(baseUrl, QStringLiteral("%1 failures in a row, the last: %2").arg(failures).arg(why));
}

void CdnHosts::servedWrongBytes(const QString &baseUrl, const QString &what) {
    if (!hosts.contains(baseUrl))
        return;
    qDebug().noquote() << "CDN host served wrong bytes: " + hostName(baseUrl) + ": " + what;
    if (!leftOut.contains(baseUrl))
        leaveOut(baseUrl, QStringLiteral("wrong bytes: %1").arg(what));
}

void CdnHosts::leaveOut(const QString &baseUrl, const QString &why) {
    leftOut.insert(baseUrl, why);
    // With one host there is nothing to switch to: it stays in use, as every host does once all
    // are left out.
    if (hosts.size() > 1)
        qDebug().noquote() << "CDN host left out for this run: " + hostName(baseUrl) + ": " + why;
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
