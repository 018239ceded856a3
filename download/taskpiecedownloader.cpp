#include "download/taskpiecedownloader.h"

#include "core/buildconstants.h"
#include "download/downloadtask.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

TaskPieceDownloader::TaskPieceDownloader()
    : base(cdnBaseUrl)
    , networkManager(new QNetworkAccessManager(this))
    , retryTimer(new QTimer(this))
    , speedTimer(new QTimer(this)) {
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &TaskPieceDownloader::request);
    connect(speedTimer, &QTimer::timeout, this, &TaskPieceDownloader::checkSpeed);
    connect(networkManager, &QNetworkAccessManager::finished, this, &TaskPieceDownloader::replyFinished);
}

TaskPieceDownloader::~TaskPieceDownloader() {
    dropReply();
}

void TaskPieceDownloader::setTask(DownloadTaskPiece *piece, PieceBuffer sink) {
    dropReply();
    retryTimer->stop();
    task = piece;
    buffer = std::move(sink);
    received = 0;
    otherFailures = 0;
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
    if (!task || reply)
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
    if (received >= length) {
        // Every byte arrived before a pause cut the reply short of its end.
        finishPiece(true);
        return;
    }

    const QUrl url(base + task->downloadTask->remotePath, QUrl::TolerantMode);
    QNetworkRequest request(url);
    const qint64 first = task->begin() + received;
    request.setRawHeader("Range", QStringLiteral("bytes=%1-%2").arg(first).arg(task->end).toLatin1());
    request.setRawHeader("Accept-Encoding", "deflate");
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // A CDN may move files; the Range header goes along, https is never left for http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);

    requestedBytes = length - received;
    attemptStart = received;
    currentState = State::Requesting;
    reply = networkManager->get(request);
    reply->setReadBufferSize(ReplyReadBufferSize);
    finishedConnection =
        connect(reply, &QNetworkReply::finished, this, &TaskPieceDownloader::pieceDownloadFinished);
    progressConnection =
        connect(reply, &QNetworkReply::downloadProgress, this, &TaskPieceDownloader::pieceDownloadProgress);
    errorConnection =
        connect(reply, &QNetworkReply::errorOccurred, this, &TaskPieceDownloader::pieceDownloadError);
    // Progress signals are rate-limited by the network layer; data arrival is not.
    readyReadConnection = connect(reply, &QIODevice::readyRead, this, &TaskPieceDownloader::pieceDataReady);

    speedSamples.clear();
    speedSamples.append({0, received});
    attemptClock.start();
    if (lowSpeedLimit > 0 && lowSpeedWindowMs > 0)
        speedTimer->start(qBound(50, lowSpeedWindowMs / 10, 1000));
}

// Fails the attempt when fewer bytes arrived over the last whole window than the limit asks for.
void TaskPieceDownloader::checkSpeed() {
    if (currentState != State::Requesting || !reply) {
        speedTimer->stop();
        return;
    }
    const qint64 now = attemptClock.elapsed();
    speedSamples.append({now, received});
    // The base is the newest sample that is at least a window old.
    while (speedSamples.size() > 1 && speedSamples.at(1).first <= now - lowSpeedWindowMs)
        speedSamples.removeFirst();
    const QPair<qint64, qint64> base = speedSamples.first();
    const qint64 span = now - base.first;
    const qint64 bytes = received - base.second;
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
        // Keep what has already arrived, as long as it fits the piece.
        if (reply->bytesAvailable() <= task->length() - received)
            takeAvailable();
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

void TaskPieceDownloader::pieceDownloadFinished() {
    if (currentState != State::Requesting || sender() != reply)
        return;
    if (reply->error() != QNetworkReply::NoError)
        return; // the error slot has handled it
    if (!takeAvailable())
        return;
    if (received != task->length()) {
        qDebug() << "piece body shorter than its range" << task->downloadTask->remotePath << task->index
                 << received << task->length();
        failAttempt(QStringLiteral("the body ended after %1 of %2 bytes").arg(received).arg(task->length()),
                    Failure::Other);
        return;
    }
    cutConnections();
    reply = nullptr; // released by replyFinished
    speedTimer->stop();
    finishPiece(true);
}

void TaskPieceDownloader::pieceDownloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    Q_UNUSED(bytesReceived);
    if (currentState != State::Requesting || sender() != reply || !answersWithData())
        return;
    // The announced length of this reply already tells whether it fits what is left of the piece.
    if (bytesTotal > requestedBytes) {
        qDebug() << "piece body longer than its range" << task->downloadTask->remotePath << task->index
                 << bytesTotal << task->length();
        failAttempt(QStringLiteral("the body announces %1 bytes for a range of %2")
                        .arg(bytesTotal)
                        .arg(requestedBytes),
                    Failure::Other);
        return;
    }
    takeAvailable();
}

void TaskPieceDownloader::pieceDataReady() {
    if (currentState != State::Requesting || sender() != reply)
        return;
    takeAvailable();
}

void TaskPieceDownloader::pieceDownloadError(QNetworkReply::NetworkError error) {
    if (currentState != State::Requesting || sender() != reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qDebug() << "piece request failed" << task->downloadTask->remotePath << task->index << error << status;
    // What arrived of a body cut short is kept, as far as it fits.
    if (reply->bytesAvailable() <= task->length() - received)
        takeAvailable();
    // The reply is ending by itself; aborting it from its own error signal is not allowed.
    failAttempt(reply->errorString(), classify(error, status), status, false);
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

void TaskPieceDownloader::replyFinished(QNetworkReply *tmpReply) {
    tmpReply->deleteLater();
}

void TaskPieceDownloader::cutConnections() {
    disconnect(finishedConnection);
    disconnect(progressConnection);
    disconnect(errorConnection);
    disconnect(readyReadConnection);
}

void TaskPieceDownloader::dropReply(bool abort) {
    speedTimer->stop();
    if (!reply)
        return;
    QNetworkReply *r = reply;
    reply = nullptr;
    cutConnections();
    if (abort && r->isRunning())
        r->abort();
    r->deleteLater();
}

// Moves what the reply holds into the sink. False (after failing the attempt) when the server
// sends more than the range asked for.
bool TaskPieceDownloader::answersWithData() const {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 0 || (status >= 200 && status < 300);
}

bool TaskPieceDownloader::takeAvailable() {
    // An error page is no part of the file.
    if (!answersWithData())
        return true;
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return true;
    const qint64 room = task->length() - received;
    if (available > room) {
        qDebug() << "piece body longer than its range" << task->downloadTask->remotePath << task->index
                 << received + available << task->length();
        failAttempt(QStringLiteral("the body holds more than the %1 bytes of the range").arg(task->length()),
                    Failure::Other);
        return false;
    }
    const qint64 n = reply->read(buffer.data() + received, available);
    if (n > 0) {
        received += n;
        bytesSinceFailure = true;
    }
    return true;
}

void TaskPieceDownloader::failAttempt(const QString &why, Failure kind, int status, bool abort) {
    lastFailure = why;
    lastStatus = status;
    dropReply(abort);
    // Body bytes of the range that arrived before the network went are kept: the next attempt
    // asks for the rest. Anything else starts over.
    const bool gotBytes = received > attemptStart;
    if (kind != Failure::Outage && kind != Failure::Trickle)
        received = 0;
    bytesSinceFailure = false;
    ++task->retryCount;
    // Another host is asked at once, unless the piece has had its attempts.
    const bool moved = failureHook && failureHook(kind, gotBytes);
    if (moved && (kind != Failure::Other || otherFailures + 1 < MaxAttempts)) {
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
