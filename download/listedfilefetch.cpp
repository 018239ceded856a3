#include "download/listedfilefetch.h"

#include "core/buildconstants.h"
#include "download/cdnhosts.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

ListedFileFetch::ListedFileFetch(const QString &remotePath, const QString &what, qint64 maxBytes,
                                 QNetworkAccessManager *network, int transferTimeoutMs, QObject *parent)
    : QObject(parent)
    , remotePath(remotePath)
    , what(what)
    , maxBytes(maxBytes)
    , network(network)
    , timeoutMs(transferTimeoutMs) {}

ListedFileFetch::~ListedFileFetch() {
    cancel();
}

void ListedFileFetch::start() {
    done = false;
    // What the version file lists by its digest comes from the CDN only, never from a peer.
    hosts = cdn ? cdn->usable() : QStringList();
    for (const QString &peer : cdn ? cdn->peers() : QStringList())
        hosts.removeAll(peer);
    if (hosts.isEmpty())
        hosts.append(cdnBaseUrl);
    fetch();
}

void ListedFileFetch::fetch() {
    bytes.clear();
    QNetworkRequest request(QUrl(hosts.first() + remotePath, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    reply = network->get(request);
    connect(reply, &QIODevice::readyRead, this, &ListedFileFetch::takeBytes);
    connect(reply, &QNetworkReply::finished, this, &ListedFileFetch::replyFinished);
}

bool ListedFileFetch::takeBytes() {
    if (reply->bytesAvailable() > maxBytes - bytes.size()) {
        next(QStringLiteral("%1 holds more than %2 bytes").arg(what).arg(maxBytes));
        return false;
    }
    bytes += reply->readAll();
    return true;
}

void ListedFileFetch::cancel() {
    done = true;
    dropReply();
}

void ListedFileFetch::dropReply() {
    if (!reply)
        return;
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void ListedFileFetch::next(const QString &reason) {
    dropReply();
    if (hosts.size() < 2) {
        done = true;
        emit failed(reason);
        return;
    }
    qWarning() << "listed file not fetched, asking the next CDN host" << remotePath << reason;
    hosts.removeFirst();
    fetch();
}

void ListedFileFetch::refused(const QString &reason) {
    if (done || hosts.isEmpty())
        return;
    if (cdn)
        cdn->servedWrongBytes(hosts.first(), reason);
    next(reason);
}

void ListedFileFetch::accepted() {
    if (cdn && !hosts.isEmpty())
        cdn->succeeded(hosts.first());
    done = true;
}

void ListedFileFetch::replyFinished() {
    if (done || !reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError && (status < 400 || status >= 500)) {
        const QString why = QStringLiteral("cannot fetch %1: %2").arg(what, reply->errorString());
        if (cdn)
            cdn->failed(hosts.first(), why);
        next(why);
        return;
    }
    if (status != 200) {
        next(QStringLiteral("%1 came with status %2").arg(what).arg(status));
        return;
    }
    if (!takeBytes())
        return;
    reply->deleteLater();
    reply = nullptr;
    const QByteArray got = std::move(bytes);
    bytes = QByteArray();
    emit arrived(got);
}
