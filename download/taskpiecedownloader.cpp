#include "download/taskpiecedownloader.h"

#include "core/buildconstants.h"
#include "download/downloadtask.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

TaskPieceDownloader::TaskPieceDownloader()
    : base(cdnBaseUrl)
    , retryTimer(new QTimer(this))
    , speedTimer(new QTimer(this)) {
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &TaskPieceDownloader::request);
    connect(speedTimer, &QTimer::timeout, this, &TaskPieceDownloader::checkSpeed);
    // Called on the network thread; a report still queued when the downloader goes is dropped
    // with it.
    fetch = new PieceFetch([this](const PieceFetch::End &end) {
        QMetaObject::invokeMethod(
            this, [this, end] { fetchEnded(end); }, Qt::QueuedConnection);
    });
    fetch->moveToThread(PieceFetch::networkThread());
}

TaskPieceDownloader::~TaskPieceDownloader() {
    // Ends the request under way too: nothing writes into the sink afterwards.
    fetch->close();
}

void TaskPieceDownloader::setTask(DownloadTaskPiece *piece, PieceBuffer sink) {
    dropReply();
    retryTimer->stop();
    task = piece;
    buffer = std::move(sink);
    received = 0;
    otherFailures = 0;
    quickFailures = 0;
    outageClock.invalidate();
    currentState = task ? State::Paused : State::Idle;
}

int TaskPieceDownloader::retryInMs() const {
    return currentState == State::WaitingToRetry ? qMax(0, retryTimer->remainingTime()) : 0;
}

PieceBuffer TaskPieceDownloader::takeSink() {
    received = 0;
    return std::move(buffer);
}

void TaskPieceDownloader::start() {
    switch (currentState) {
    case State::Idle:
    case State::Requesting:
        return;
    case State::WaitingToRetry:
        // Asked to go on before the delay ended (a resume): go on now.
        retryTimer->stop();
        request();
        return;
    case State::Paused:
        request();
        return;
    }
}

void TaskPieceDownloader::request() {
    if (!task || fetching)
        return;
    if (buffer.isNull()) {
        currentState = State::Paused; // until the owner gives a sink
        return;
    }
    if (buffer.capacity() < task->length()) {
        qWarning() << "piece downloader has no room for its piece" << task->index << buffer.capacity();
        currentState = State::Paused;
        return;
    }

    const qint64 length = task->length();
    // A peer sends the whole piece, checked as one; what another host sent of it is asked again.
    if (peerHost && received < length)
        received = 0;
    if (received >= length) {
        // Every byte arrived before a pause cut the reply short of its end.
        finishPiece(true);
        return;
    }

    const QUrl url(base + task->downloadTask->remotePath, QUrl::TolerantMode);
    QNetworkRequest request(url);
    // The piece's place in the remote file: its own, or within one of the planned spans.
    const qint64 remoteBegin = task->downloadTask->remoteOffset(task->begin());
    const qint64 first = remoteBegin + received;
    request.setRawHeader("Range",
                         QStringLiteral("bytes=%1-%2").arg(first).arg(remoteBegin + length - 1).toLatin1());
    request.setRawHeader("Accept-Encoding", "deflate");
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // A CDN may move files; the Range header goes along, https is never left for http. A peer
    // serves what it has under the asked name or nothing: its redirect fails the attempt.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         peerHost ? QNetworkRequest::ManualRedirectPolicy
                                  : QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);

    requestedBytes = length - received;
    attemptStart = received;
    currentState = State::Requesting;
    // The fetch is idle: its last request has ended or was stopped.
    fetch->resetWritten();
    fetching = true;
    requestOnPeer = peerHost;
    const quint64 id = ++requestId;
    PieceFetch *f = fetch;
    char *into = buffer.data() + received;
    const bool capped = !peerHost;
    QMetaObject::invokeMethod(
        fetch,
        [f, id, request, first, into, length = requestedBytes, capped] {
            f->get(id, request, first, into, length, capped);
        },
        Qt::QueuedConnection);

    speedSamples.clear();
    speedSamples.append({0, received});
    heldBackSeen = fetch->heldBack();
    attemptClock.start();
    if (lowSpeedLimit > 0 && lowSpeedWindowMs > 0)
        speedTimer->start(qBound(50, lowSpeedWindowMs / 10, 1000));
}

// Fails the attempt when fewer bytes arrived over the last whole window than the limit asks for.
void TaskPieceDownloader::checkSpeed() {
    if (currentState != State::Requesting || !fetching) {
        speedTimer->stop();
        return;
    }
    const qint64 now = attemptClock.elapsed();
    const qint64 arrived = receivedBytes();
    // The player's cap held bytes of this request back: the slowness is the cap's, not the
    // server's, so the window starts again.
    const quint64 held = fetch->heldBack();
    if (held != heldBackSeen) {
        heldBackSeen = held;
        speedSamples.clear();
    }
    speedSamples.append({now, arrived});
    // The base is the newest sample that is at least a window old.
    while (speedSamples.size() > 1 && speedSamples.at(1).first <= now - lowSpeedWindowMs)
        speedSamples.removeFirst();
    const QPair<qint64, qint64> base = speedSamples.first();
    const qint64 span = now - base.first;
    const qint64 bytes = arrived - base.second;
    if (span < lowSpeedWindowMs || bytes * 1000 >= lowSpeedLimit * span)
        return;
    qDebug() << "piece transfer below the low-speed limit" << task->downloadTask->remotePath << task->index
             << bytes << span << lowSpeedLimit;
    failAttempt(QStringLiteral("%1 bytes arrived in %2 ms, below the limit of %3 bytes per second")
                    .arg(bytes)
                    .arg(span)
                    .arg(lowSpeedLimit),
                Failure::Trickle);
}

void TaskPieceDownloader::pause() {
    qDebug() << "TaskPieceDownloader::pause";
    switch (currentState) {
    case State::Idle:
    case State::Paused:
        return;
    case State::WaitingToRetry:
        // A retry that is due while paused waits for the next start().
        retryTimer->stop();
        break;
    case State::Requesting:
        // What has already arrived stays, as long as it fits the piece.
        dropReply();
        break;
    }
    // Going on later is the player's choice: it waits the network out afresh.
    outageClock.invalidate();
    currentState = State::Paused;
}

bool TaskPieceDownloader::cancelTask(DownloadTaskPiece *piece) {
    if (!piece || piece != task)
        return false;
    retryTimer->stop();
    dropReply();
    buffer.reset();
    received = 0;
    otherFailures = 0;
    outageClock.invalidate();
    task = nullptr;
    currentState = State::Idle;
    return true;
}

void TaskPieceDownloader::fetchEnded(const PieceFetch::End &end) {
    if (!fetching || end.id != requestId)
        return;
    fetching = false;
    received = attemptStart + end.bytes;
    count(end.bytes);
    if (end.bytes > 0)
        bytesSinceFailure = true;
    switch (end.outcome) {
    case PieceFetch::Outcome::Overflow:
        qDebug() << "piece body longer than its range" << task->downloadTask->remotePath << task->index
                 << end.announced << task->length();
        failAttempt(
            end.announced >= 0
                ? QStringLiteral("the body announces %1 bytes for a range of %2")
                      .arg(end.announced)
                      .arg(requestedBytes)
                : QStringLiteral("the body holds more than the %1 bytes of the range").arg(task->length()),
            Failure::Other);
        return;
    case PieceFetch::Outcome::Mismatch:
        qDebug() << "piece answer is not the range asked" << task->downloadTask->remotePath << task->index
                 << end.status << end.why;
        failAttempt(end.why, Failure::Other);
        return;
    case PieceFetch::Outcome::Failed:
        qDebug() << "piece request failed" << task->downloadTask->remotePath << task->index << end.error
                 << end.status;
        failAttempt(end.why, classify(end.error, end.status), end.status);
        return;
    case PieceFetch::Outcome::Completed:
        break;
    }
    if (received != task->length()) {
        qDebug() << "piece body shorter than its range" << task->downloadTask->remotePath << task->index
                 << received << task->length();
        failAttempt(QStringLiteral("the body ended after %1 of %2 bytes").arg(received).arg(task->length()),
                    Failure::Other);
        return;
    }
    speedTimer->stop();
    finishPiece(true);
}

TaskPieceDownloader::Failure TaskPieceDownloader::classify(QNetworkReply::NetworkError error, int status) {
    // A server that is overloaded or restarting, or asks to be asked later, comes back.
    if (status >= 500 || status == 408 || status == 429)
        return Failure::Outage;
    if (status >= 400)
        return Failure::Permanent;
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // the transfer timeout
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return Failure::Outage;
    default:
        return Failure::Other;
    }
}

void TaskPieceDownloader::dropReply() {
    speedTimer->stop();
    if (!fetching)
        return;
    fetching = false;
    // Once the fetch has stopped nothing writes into the sink any more.
    const qint64 bytes = fetch->stop(requestId);
    received = attemptStart + bytes;
    count(bytes);
}

void TaskPieceDownloader::count(qint64 bytes) {
    (requestOnPeer ? peerBytes : cdnBytes) += qMax<qint64>(0, bytes);
}

void TaskPieceDownloader::failAttempt(const QString &why, Failure kind, int status) {
    lastFailure = why;
    lastStatus = status;
    lastKind = kind;
    dropReply();
    // Body bytes of the range that arrived before the network went are kept: the next attempt
    // asks for the rest. Anything else starts over.
    const bool gotBytes = received > attemptStart;
    if ((kind != Failure::Outage && kind != Failure::Trickle) || requestOnPeer)
        received = 0;
    bytesSinceFailure = false;
    ++task->retryCount;
    if (gotBytes)
        quickFailures = 0;
    const Retry retry = failureHook ? failureHook(kind, gotBytes) : Retry::AsUsual;
    // Another host is asked at once, unless the piece has had its attempts.
    if (retry == Retry::OtherHost && (kind != Failure::Other || otherFailures + 1 < MaxAttempts)) {
        if (kind == Failure::Other)
            ++otherFailures;
        // As below: an answer, or bytes before the cut, end the outage.
        if (kind == Failure::Other || (kind == Failure::Outage && gotBytes))
            outageClock.invalidate();
        qDebug() << "asking another CDN host for the piece" << task->downloadTask->remotePath << task->index
                 << base;
        currentState = State::WaitingToRetry;
        retryTimer->start(0);
        return;
    }
    if (retry == Retry::Soon && kind == Failure::Outage && quickFailures < MaxQuickRetries) {
        // One unlucky request on a host that is serving: no outage to wait out.
        ++quickFailures;
        outageClock.invalidate();
        qDebug() << "asking again soon" << task->downloadTask->remotePath << task->index << why;
        currentState = State::WaitingToRetry;
        retryTimer->start(QuickRetryMs);
        return;
    }
    if (retry == Retry::AsOutage)
        kind = Failure::Outage;
    qint64 pauseMs = -1; // none: the piece has failed
    switch (kind) {
    case Failure::Outage:
        // The network was back for a while: this is a new outage.
        if (gotBytes)
            outageClock.invalidate();
        Q_FALLTHROUGH();
    case Failure::Trickle:
        if (!outageClock.isValid()) {
            outageClock.start();
            nextPauseMs = retryPolicy.firstPauseMs;
        }
        if (outageClock.elapsed() < retryPolicy.totalMs) {
            // The last pause ends when the time is up, for one more attempt then.
            pauseMs = qMin<qint64>(nextPauseMs, retryPolicy.totalMs - outageClock.elapsed());
            nextPauseMs = int(qMin<qint64>(qMax(1, nextPauseMs) * qint64(2), retryPolicy.maxPauseMs));
            qDebug() << "waiting for the network before asking again" << task->downloadTask->remotePath
                     << task->index << pauseMs << outageClock.elapsed();
        }
        break;
    case Failure::Permanent:
        break;
    case Failure::Other:
        // The server answered: whatever was wrong, it is not away.
        outageClock.invalidate();
        if (++otherFailures < MaxAttempts)
            pauseMs = RetryDelayMs;
        break;
    }
    if (pauseMs < 0) {
        qWarning() << "piece failed" << task->downloadTask->remotePath << task->index << status << why;
        finishPiece(false);
        return;
    }
    currentState = State::WaitingToRetry;
    retryTimer->start(int(pauseMs));
}

void TaskPieceDownloader::finishPiece(bool success) {
    DownloadTaskPiece *piece = task;
    task = nullptr;
    currentState = State::Idle;
    if (!success)
        buffer.reset();
    emit downloadFinished(success, piece);
}
