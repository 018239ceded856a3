#include "download/piecefetch.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QThread>

namespace {

// Kept after it has ended: fetches still living on it (a downloader outliving the application)
// then stop on their owner's thread.
QThread *fetchThread = nullptr;

void stopFetchThread() {
    fetchThread->quit();
    fetchThread->wait();
}

} // namespace

PieceFetch::PieceFetch(EndHandler onEnd)
    : onEnd(std::move(onEnd)) {}

PieceFetch::~PieceFetch() {
    dropReply();
}

QThread *PieceFetch::networkThread() {
    if (!fetchThread) {
        fetchThread = new QThread;
        fetchThread->setObjectName(QStringLiteral("piece fetch"));
        fetchThread->start();
        qAddPostRoutine(stopFetchThread);
    }
    return fetchThread;
}

void PieceFetch::get(quint64 id, const QNetworkRequest &request, char *into, qint64 space) {
    dropReply();
    if (!manager)
        manager = new QNetworkAccessManager(this);
    current = id;
    sink = into;
    room = space;
    reply = manager->get(request);
    reply->setReadBufferSize(ReplyReadBufferSize);
    connect(reply, &QIODevice::readyRead, this, &PieceFetch::take);
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64, qint64 total) {
        // The announced length already tells whether the body fits.
        if (!answersWithData() || total <= room)
            return;
        End e;
        e.outcome = Outcome::Overflow;
        e.announced = total;
        end(e);
    });
    connect(reply, &QNetworkReply::finished, this, &PieceFetch::finish);
}

void PieceFetch::runOnFetchThread(const std::function<void()> &work) {
    if (fetchThread->isRunning())
        QMetaObject::invokeMethod(this, work, Qt::BlockingQueuedConnection);
    else
        work();
}

qint64 PieceFetch::stop(quint64 id) {
    qint64 kept = 0;
    runOnFetchThread([this, id, &kept] { kept = stopHere(id); });
    return kept;
}

void PieceFetch::close() {
    // The network manager's destructor waits for its connections to close: none of them can send
    // a request again (as the network layer does when a server closed one under it) afterwards.
    runOnFetchThread([this] {
        dropReply();
        delete manager;
        manager = nullptr;
    });
    deleteLater();
}

qint64 PieceFetch::stopHere(quint64 id) {
    if (id == current && reply) {
        keepWhatFits();
        dropReply();
    }
    return written();
}

void PieceFetch::keepWhatFits() {
    if (answersWithData() && reply->bytesAvailable() <= room - written())
        take();
}

bool PieceFetch::answersWithData() const {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 0 || (status >= 200 && status < 300);
}

void PieceFetch::take() {
    // An error page is no part of the file.
    if (!reply || !answersWithData())
        return;
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return;
    const qint64 done = written();
    if (available > room - done) {
        End e;
        e.outcome = Outcome::Overflow;
        end(e);
        return;
    }
    const qint64 n = reply->read(sink + done, available);
    if (n > 0)
        writtenBytes.store(done + n, std::memory_order_release);
}

void PieceFetch::finish() {
    if (!reply)
        return;
    End e;
    if (reply->error() != QNetworkReply::NoError) {
        // What arrived of a body cut short is kept.
        keepWhatFits();
        e.outcome = Outcome::Failed;
        e.error = reply->error();
        e.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        e.why = reply->errorString();
    } else {
        take();
        if (!reply)
            return; // the body did not fit: reported
    }
    end(e);
}

void PieceFetch::end(End e) {
    e.id = current;
    e.bytes = written();
    dropReply();
    onEnd(e);
}

void PieceFetch::dropReply() {
    current = 0;
    if (!reply)
        return;
    QNetworkReply *r = reply;
    reply = nullptr;
    disconnect(r, nullptr, this, nullptr);
    // The reply is ending by itself when finished; aborting a running one is not.
    if (r->isRunning())
        r->abort();
    r->deleteLater();
}
