#include "download/piecefetch.h"

#include "download/bandwidthcap.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QThread>
#include <QTimer>

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
    : onEnd(std::move(onEnd))
    , capReader(BandwidthCap::instance().attach()) {}

PieceFetch::~PieceFetch() {
    dropReply();
    BandwidthCap::instance().detach(capReader);
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

void PieceFetch::get(quint64 id, const QNetworkRequest &request, qint64 first, char *into, qint64 space,
                     bool withCap) {
    dropReply();
    capped = withCap;
    if (!manager)
        manager = new QNetworkAccessManager(this);
    current = id;
    sink = into;
    room = space;
    firstByte = first;
    answerChecked = false;
    cutAtRoom = false;
    draining = false;
    if (!capTimer) {
        // Made here, on the fetch's thread, where it runs.
        capTimer = new QTimer(this);
        capTimer->setSingleShot(true);
        connect(capTimer, &QTimer::timeout, this, &PieceFetch::take);
    }
    reply = manager->get(request);
    readBuffer = capped ? BandwidthCap::instance().readBufferSize() : BandwidthCap::UncappedReadBuffer;
    reply->setReadBufferSize(readBuffer);
    connect(reply, &QIODevice::readyRead, this, &PieceFetch::take);
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64, qint64 total) {
        // The announced length already tells whether the body fits.
        if (!answersWithData() || total <= room || !answerIsTheRange() || cutAtRoom)
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
    // Without a report: the caller ends the request itself.
    if (!answersWithData() || (!answerChecked && !answerMismatch().isEmpty()))
        return;
    answerChecked = true;
    if (!cutAtRoom && reply->bytesAvailable() > room - written())
        return;
    // Taken without asking the cap, as the request ends now: it counts them as a debt.
    const qint64 n = reply->read(sink + written(), qMin(reply->bytesAvailable(), room - written()));
    if (n > 0) {
        writtenBytes.store(written() + n, std::memory_order_release);
        if (capped)
            BandwidthCap::instance().charge(capReader, n);
    }
}

QString PieceFetch::rangeMismatch(int status, const QByteArray &contentRange, qint64 contentLength,
                                  qint64 first, qint64 room, const QByteArray &contentEncoding) {
    const qint64 last = first + room - 1;
    // The pieces are checked as the file's own bytes: a compressed body is not them.
    const QByteArray encoding = contentEncoding.trimmed().toLower();
    if ((status == 200 || status == 206) && !encoding.isEmpty() && encoding != "identity")
        return QStringLiteral("the answer is encoded (Content-Encoding: %1) for bytes=%2-%3")
            .arg(QString::fromLatin1(contentEncoding.left(40)))
            .arg(first)
            .arg(last);
    if (status == 200) {
        // A server that ignores ranges sends the whole file from its first byte: its start is the
        // range asked when that begins at byte 0, as far as the announced length covers it.
        if (first == 0 && contentLength >= room)
            return QString();
        return QStringLiteral("the server answered 200 (the whole file, %1 bytes announced) to bytes=%2-%3")
            .arg(contentLength)
            .arg(first)
            .arg(last);
    }
    // Any other answer (a proxy's 203, a 204, one without a status) is not known to be the range.
    if (status == 0)
        return QStringLiteral("the answer to bytes=%1-%2 carries no HTTP status").arg(first).arg(last);
    if (status != 206)
        return QStringLiteral("the server answered %1, not 206 with the range, to bytes=%2-%3")
            .arg(status)
            .arg(first)
            .arg(last);
    // "bytes first-last/total", total possibly "*".
    const QByteArray expected = QStringLiteral("bytes %1-%2/").arg(first).arg(last).toLatin1();
    if (contentRange.trimmed().startsWith(expected))
        return QString();
    return QStringLiteral("the answer's Content-Range \"%1\" is not the range asked, bytes=%2-%3")
        .arg(QString::fromLatin1(contentRange.left(100)))
        .arg(first)
        .arg(last);
}

QString PieceFetch::answerMismatch() const {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return rangeMismatch(status, reply->rawHeader("Content-Range"),
                         length.isValid() ? length.toLongLong() : -1, firstByte, room,
                         reply->rawHeader("Content-Encoding"));
}

bool PieceFetch::answerIsTheRange() {
    if (answerChecked)
        return true;
    const QString why = answerMismatch();
    if (why.isEmpty()) {
        answerChecked = true;
        cutAtRoom = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                    reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > room;
        return true;
    }
    End e;
    e.outcome = Outcome::Mismatch;
    e.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    e.why = why;
    end(e);
    return false;
}

bool PieceFetch::answersWithData() const {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 0 || (status >= 200 && status < 300);
}

void PieceFetch::take() {
    // An error page is no part of the file, nor is an answer that is not the range asked.
    if (!reply || !answersWithData() || !answerIsTheRange())
        return;
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return;
    const qint64 done = written();
    if (available > room - done && !cutAtRoom) {
        End e;
        e.outcome = Outcome::Overflow;
        end(e);
        return;
    }
    BandwidthCap &cap = BandwidthCap::instance();
    // A cap set or changed while the request runs applies to it too.
    const qint64 bufferSize = capped ? cap.readBufferSize() : BandwidthCap::UncappedReadBuffer;
    if (bufferSize != readBuffer) {
        readBuffer = bufferSize;
        reply->setReadBufferSize(readBuffer);
    }
    const qint64 wanted = qMin(available, room - done);
    const qint64 allowed = capped ? cap.take(capReader, wanted) : wanted;
    if (allowed < wanted) {
        heldBackCount.fetch_add(1, std::memory_order_acq_rel);
        if (!capTimer->isActive())
            capTimer->start(BandwidthCap::TickMs);
    }
    const qint64 n = allowed > 0 ? reply->read(sink + done, allowed) : 0;
    if (n > 0)
        writtenBytes.store(done + n, std::memory_order_release);
    // The rest of the whole file is not read: the range is complete.
    if (cutAtRoom && written() == room && reply)
        end(End());
    else if (draining && reply && reply->bytesAvailable() == 0)
        end(End());
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
        // An answer without a body of the file (a redirect not followed) is told by its status.
        if (!answersWithData() && !answerIsTheRange())
            return;
        take();
        if (!reply)
            return; // the body did not fit, or is not the range: reported
        if (answersWithData() && answerChecked && reply->bytesAvailable() > 0) {
            // The cap lets the rest through tick by tick; the last take() reports the end.
            draining = true;
            return;
        }
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
    draining = false;
    if (capTimer)
        capTimer->stop();
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
