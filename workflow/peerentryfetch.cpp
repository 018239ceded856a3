#include "workflow/peerentryfetch.h"

#include "download/cdnhosts.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <sodium.h>

#include <algorithm>

struct PeerEntryFetch::Request {
    QNetworkReply *reply = nullptr;
    QString peer;
    int wanted = 0;
    QFile file;
    crypto_generichash_state hash{};
    qint64 bytes = 0;
    QString wrong;      // why the bytes are not the entry's; empty while they may be
    QString refused;    // an answer other than the entry or 404
    bool lacks = false; // the peer answered that it has no such entry
    bool cannotWrite = false;
};

QString PeerEntryFetch::remoteName(const QByteArray &digest) {
    return QStringLiteral("entry/") + QString::fromLatin1(digest.toHex());
}

PeerEntryFetch::PeerEntryFetch(const QString &folder, CdnHosts *hosts, int transferTimeoutMs, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , hosts(hosts)
    , timeoutMs(transferTimeoutMs) {}

PeerEntryFetch::~PeerEntryFetch() {
    cancel();
}

void PeerEntryFetch::start(const QVector<Wanted> &entries) {
    if (started)
        return;
    started = true;
    wanted = entries;
    for (int i = 0; i < wanted.size(); ++i)
        pending.append(i);
    const QFileInfo info(folder);
    // A link or file planted in its place is not written through.
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        QFile::remove(folder);
    if (sodium_init() < 0 || !QDir().mkpath(folder)) {
        stop(QStringLiteral("cannot make %1").arg(folder));
        return;
    }
    network = new QNetworkAccessManager(this); // a peer's bytes do not count against the download cap
    sinceStart.start();
    connect(hosts, &CdnHosts::peerJoined, this, &PeerEntryFetch::dispatch);
    dispatch();
}

void PeerEntryFetch::cancel() {
    cancelled = true;
    halt();
}

void PeerEntryFetch::halt() {
    over = true;
    const QList<Request *> open = running;
    running.clear();
    for (Request *r : open) {
        r->reply->disconnect(this);
        r->reply->abort();
        r->reply->deleteLater();
        r->file.remove();
        hosts->release(r->peer);
        delete r;
    }
}

void PeerEntryFetch::stop(const QString &why) {
    qWarning().noquote() << "entries from launchers nearby stop:" << why;
    halt();
    pending.clear();
    emitFinished();
}

void PeerEntryFetch::emitFinished() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!cancelled)
                emit finished();
        },
        Qt::QueuedConnection);
}

QString PeerEntryFetch::peerFor(int w, bool *waitsForRoom) const {
    const QSet<QString> tried = asked.value(w);
    for (const QString &peer : hosts->peers()) {
        if (tried.contains(peer) || hosts->isLeftOut(peer))
            continue;
        // One of a peer's connections is left to the download of other files, which would
        // otherwise send their pieces to the CDN meanwhile.
        const bool mine = std::count_if(running.cbegin(), running.cend(), [&peer](const Request *r) {
                              return r->peer == peer;
                          }) >= EntryConnections;
        if (!mine && hosts->hasRoom(peer))
            return peer;
        *waitsForRoom = true;
    }
    return QString();
}

void PeerEntryFetch::dispatch() {
    if (over)
        return;
    bool waitsForRoom = false;
    for (auto it = pending.begin(); it != pending.end();) {
        const QString peer = peerFor(*it, &waitsForRoom);
        if (peer.isEmpty()) {
            ++it;
            continue;
        }
        const int w = *it;
        it = pending.erase(it);
        asked[w].insert(peer);
        auto *r = new Request;
        r->peer = peer;
        r->wanted = w;
        const QString hex = QString::fromLatin1(wanted.at(w).digest.toHex());
        r->file.setFileName(QStringLiteral("%1/%2.part").arg(folder, hex));
        r->file.remove();
        if (!r->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            const QString why = r->file.errorString();
            delete r;
            stop(QStringLiteral("cannot write in %1: %2").arg(folder, why));
            return;
        }
        crypto_generichash_init(&r->hash, nullptr, 0, crypto_generichash_BYTES);
        QNetworkRequest request(QUrl(peer + remoteName(wanted.at(w).digest)));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setTransferTimeout(qMin(timeoutMs, StallMs));
        hosts->hold(peer);
        r->reply = network->get(request);
        running.append(r);
        connect(r->reply, &QNetworkReply::readyRead, this, [this, r] { readFrom(r); });
        connect(r->reply, &QNetworkReply::finished, this, [this, r] { ended(r); });
    }
    // A peer's connections may be held by the download of other files, which says nothing when it
    // gives them back: asked again shortly.
    if (waitsForRoom && !roomWaitArmed) {
        roomWaitArmed = true;
        QTimer::singleShot(RoomWaitMs, this, [this] {
            roomWaitArmed = false;
            dispatch();
        });
    }
    if (!waitsForRoom)
        finishIfDone();
}

void PeerEntryFetch::readFrom(Request *r) {
    if (!r->wrong.isEmpty() || !r->refused.isEmpty() || r->lacks || r->cannotWrite)
        return;
    const int status = r->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 404) {
        r->lacks = true;
        return;
    }
    if (status != 200) {
        r->refused = QStringLiteral("status %1").arg(status);
        return;
    }
    const qint64 size = wanted.at(r->wanted).size;
    while (r->reply->bytesAvailable() > 0) {
        const QByteArray chunk = r->reply->read(qMin<qint64>(r->reply->bytesAvailable(), 1024 * 1024));
        received += chunk.size();
        if (r->bytes + chunk.size() > size) {
            r->wrong = QStringLiteral("more than the entry's %1 bytes").arg(size);
            r->reply->abort();
            return;
        }
        if (r->file.write(chunk) != chunk.size()) {
            r->cannotWrite = true;
            r->reply->abort();
            return;
        }
        crypto_generichash_update(&r->hash, reinterpret_cast<const uchar *>(chunk.constData()),
                                  quint64(chunk.size()));
        r->bytes += chunk.size();
    }
}

void PeerEntryFetch::ended(Request *r) {
    if (!running.removeOne(r))
        return;
    readFrom(r);
    const Wanted &w = wanted.at(r->wanted);
    const QString what =
        QStringLiteral("entry %1 from %2")
            .arg(QString::fromLatin1(w.digest.toHex().left(16)), CdnHosts::hostName(r->peer));
    QString failure;
    if (r->cannotWrite) {
        failure = QStringLiteral("cannot write %1: %2").arg(r->file.fileName(), r->file.errorString());
    } else if (r->lacks) {
        // Not a fault: the peer's copy of that content may be damaged, changed or of another archive.
    } else if (!r->wrong.isEmpty()) {
        hosts->servedWrongBytes(r->peer, QStringLiteral("%1: %2").arg(what, r->wrong));
    } else if (!r->refused.isEmpty() || r->reply->error() != QNetworkReply::NoError) {
        hosts->failed(r->peer, QStringLiteral("%1: %2").arg(
                                   what, r->refused.isEmpty() ? r->reply->errorString() : r->refused));
    } else {
        QByteArray digest(crypto_generichash_BYTES, '\0');
        crypto_generichash_final(&r->hash, reinterpret_cast<uchar *>(digest.data()), digest.size());
        if (r->bytes != w.size || digest != w.digest) {
            hosts->servedWrongBytes(
                r->peer, QStringLiteral("%1: %2 bytes that are not its content").arg(what).arg(r->bytes));
        } else if (!r->file.flush()) {
            r->cannotWrite = true;
            failure = QStringLiteral("cannot write %1: %2").arg(r->file.fileName(), r->file.errorString());
        } else {
            r->file.close();
            const QString final = folder + QLatin1Char('/') + QString::fromLatin1(w.digest.toHex());
            QFile::remove(final);
            if (r->file.rename(final)) {
                hosts->succeeded(r->peer);
                done.insert(w.digest, QFileInfo(final).lastModified().toMSecsSinceEpoch());
                doneWeight += w.weight;
            } else {
                r->cannotWrite = true;
                failure =
                    QStringLiteral("cannot rename %1: %2").arg(r->file.fileName(), r->file.errorString());
            }
        }
    }
    if (!done.contains(w.digest)) {
        r->file.remove();
        pending.prepend(r->wanted);
    }
    hosts->release(r->peer);
    r->reply->deleteLater();
    delete r;
    if (!failure.isEmpty()) {
        stop(failure);
        return;
    }
    dispatch();
}

void PeerEntryFetch::finishIfDone() {
    if (over || !running.isEmpty())
        return;
    if (!pending.isEmpty() && sinceStart.elapsed() < JoinWaitMs) {
        if (!joinWaitArmed) {
            joinWaitArmed = true;
            QTimer::singleShot(JoinWaitMs - int(sinceStart.elapsed()), this, [this] {
                joinWaitArmed = false;
                dispatch();
            });
        }
        return;
    }
    // Nothing under way, and no peer left for what is pending: the CDN sends the rest.
    over = true;
    if (!pending.isEmpty())
        qDebug().noquote() << QStringLiteral("entries no launcher nearby sent: %1 of %2")
                                  .arg(pending.size())
                                  .arg(wanted.size());
    emitFinished();
}
