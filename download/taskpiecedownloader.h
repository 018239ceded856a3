#pragma once

#include "download/downloadtaskpiece.h"
#include "download/piecebuffer.h"
#include "download/piecefetch.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QVector>

#include <functional>

class QTimer;

// Fetches one piece of one file with one ranged GET below its base URL (cdnBaseUrl unless the owner
// sets another CDN host) into a piece buffer (the sink) that its owner hands over with the piece and
// takes back at its end. The request itself runs on the download network thread (PieceFetch), which
// fills the sink; the downloader sees its end. pause() aborts the request and keeps the bytes;
// start() asks for the remaining ones. An attempt fails when no byte
// arrives for the transfer timeout, and when over a whole low-speed window fewer bytes arrive than
// the low-speed limit asks for (a server trickling a byte now and then would hold it forever); a
// window in which the player's download cap held bytes back never counts (the cap is slow, not
// the server).
//
// How a failed attempt is retried depends on why it failed. The network or the CDN being away
// (refused, reset, host not found, a timeout, an HTTP 5xx, 408 or 429) is waited out: the piece is
// asked for again after pauses that grow from RetryPolicy::firstPauseMs, doubling up to maxPauseMs,
// until totalMs have passed (an attempt that brings bytes before it fails ends the outage, unless
// they trickle in below the low-speed limit); the bytes that arrived stay and the next attempt asks
// for the rest. Any other 4xx answer ends the piece at once: asking again would get the same
// answer. Anything else (a body that does not fit the range, too many redirects) is retried after
// RetryDelayMs from the piece's first byte, at most MaxAttempts requests in a row.
//
// The owner sees every failed attempt first (the failure hook) and says how to go on: it may move
// the downloader to another host, which is then asked at once; it may know that the host serves
// other requests, so that a failure of the network kind is asked again after QuickRetryMs without
// the pauses growing (at most MaxQuickRetries times in a row); or it may have a 4xx waited out like
// an outage, while hosts that may still have the file are away.
class TaskPieceDownloader : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxAttempts = 3;
    static constexpr int RetryDelayMs = 1000;
    // A request that receives no byte for this long fails like any network error.
    static constexpr int DefaultTransferTimeoutMs = 30000;
    // An attempt whose rate over the last DefaultLowSpeedWindowMs stays below this fails.
    static constexpr qint64 DefaultLowSpeedLimit = 1024; // bytes per second
    static constexpr int DefaultLowSpeedWindowMs = 30000;
    static constexpr int QuickRetryMs = 250;
    static constexpr int MaxQuickRetries = 8;

    // Pauses while the network or the CDN is away.
    struct RetryPolicy {
        int firstPauseMs = 1000;
        int maxPauseMs = 30000;
        int totalMs = 120000; // from the first failure without a byte since
    };
    // Why an attempt failed, for the retry.
    enum class Failure {
        Outage,    // the network or the server is away for now: waited out
        Trickle,   // the same, though a few bytes arrive (below the low-speed limit)
        Permanent, // the server refuses the request (4xx): asking again gets the same
        Other      // MaxAttempts requests in a row
    };

    enum class State {
        Idle,           // no piece
        Requesting,     // a request for the piece is outstanding
        WaitingToRetry, // an attempt failed; the next one starts when the retry delay ends
        Paused          // holding the piece without a request: not started yet, or paused
    };

    // What the owner makes of a failed attempt.
    enum class Retry {
        AsUsual,   // the rules above
        OtherHost, // the owner moved the downloader to another host (setBaseUrl): asked at once
        Soon,      // the host serves other requests: a failure of the outage kind is asked again soon
        AsOutage   // a 4xx to be waited out like an outage (the hosts that may have the file are away)
    };
    // Told of each failed attempt (the reason is set by then), whether or not the piece is asked
    // again. `gotBytes`: the attempt brought bytes of the range before it failed.
    using FailureHook = std::function<Retry(Failure kind, bool gotBytes)>;

    TaskPieceDownloader();
    ~TaskPieceDownloader() override;

    // The host below which remotePaths lie; applies from the next request on. A peer's requests
    // follow no redirect, are not held to the player's download cap (that is for the internet
    // line), and keep nothing of a piece they do not bring whole: its bytes count only once the
    // whole piece is there to be checked.
    void setBaseUrl(const QString &url, bool peer = false) {
        base = url;
        peerHost = peer;
    }
    const QString &baseUrl() const { return base; }
    bool onPeer() const { return peerHost; }
    // Body bytes that arrived from peers and from CDN hosts over the downloader's life (of requests
    // that have ended or been stopped).
    qint64 bytesFromPeers() const { return peerBytes; }
    qint64 bytesFromCdn() const { return cdnBytes; }
    void setFailureHook(FailureHook hook) { failureHook = std::move(hook); }

    // The piece to fetch from now on, received into `sink` (room for a whole piece). A piece
    // without a sink is not requested until giveSink() brings one.
    void setTask(DownloadTaskPiece *piece, PieceBuffer sink);
    void giveSink(PieceBuffer sink) { buffer = std::move(sink); }
    bool awaitsSink() const { return task && buffer.isNull(); }
    void start();
    void pause();
    bool cancelTask(DownloadTaskPiece *piece);
    // Applies from the next request on.
    void setTransferTimeout(int ms) { transferTimeoutMs = ms; }
    // Applies from the next request on; a limit or window of 0 turns the check off.
    void setLowSpeedLimit(qint64 bytesPerSecond, int windowMs) {
        lowSpeedLimit = bytesPerSecond;
        lowSpeedWindowMs = windowMs;
    }
    // Applies from the next failure on.
    void setRetryPolicy(const RetryPolicy &policy) { retryPolicy = policy; }

    State state() const { return currentState; }
    DownloadTaskPiece *currentTask() const { return task; }
    // Body bytes held for the current piece (or for the piece just reported, until takeSink()).
    qint64 receivedBytes() const { return fetching ? attemptStart + fetch->written() : received; }
    // The sink with the received bytes at its start.
    const PieceBuffer &sink() const { return buffer; }
    // Hands the sink over (after a successful piece: the whole piece is in it).
    PieceBuffer takeSink();
    bool isRequesting() const { return currentState == State::Requesting; }
    bool isWaitingForRetry() const { return currentState == State::WaitingToRetry; }
    // Why the latest attempt failed (the reply's error text, or what was wrong with the body).
    const QString &failureReason() const { return lastFailure; }
    // The HTTP status of the latest failed attempt; 0 when it had no HTTP answer.
    int failureStatus() const { return lastStatus; }
    // What kind of failure the latest failed attempt was.
    Failure failureKind() const { return lastKind; }
    // The current piece waits out an outage and no byte has arrived since its last failure.
    bool isWaitingOnNetwork() const {
        return task && outageClock.isValid() && !bytesSinceFailure && !(fetching && fetch->written() > 0);
    }
    // Until the next attempt while waiting for a retry; 0 otherwise.
    int retryInMs() const;

signals:
    // true: the whole piece is in the sink; false: the last attempt failed.
    // The piece no longer belongs to the downloader when this is emitted.
    void downloadFinished(bool success, DownloadTaskPiece *piece);

private slots:
    void checkSpeed();

private:
    void request();
    void fetchEnded(const PieceFetch::End &end);
    // Ends the request under way, if any, keeping in `received` what arrived of it.
    void dropReply();
    void failAttempt(const QString &why, Failure kind, int status = 0);
    static Failure classify(QNetworkReply::NetworkError error, int status);
    void finishPiece(bool success);
    // A request ended or was stopped with `bytes` of it in the sink.
    void count(qint64 bytes);

    DownloadTaskPiece *task = nullptr;
    QString base;
    bool peerHost = false;
    bool requestOnPeer = false; // the request under way, or the last one, asked a peer
    qint64 peerBytes = 0;
    qint64 cdnBytes = 0;
    FailureHook failureHook;
    PieceFetch *fetch = nullptr; // on the network thread
    quint64 requestId = 0;
    bool fetching = false; // a request is under way: its bytes go into the sink on the network thread
    PieceBuffer buffer;

    State currentState = State::Idle;
    qint64 received = 0;
    qint64 requestedBytes = 0; // bytes the outstanding request asks for
    QTimer *retryTimer = nullptr;
    int transferTimeoutMs = DefaultTransferTimeoutMs;
    qint64 lowSpeedLimit = DefaultLowSpeedLimit;
    int lowSpeedWindowMs = DefaultLowSpeedWindowMs;
    QTimer *speedTimer = nullptr;
    QElapsedTimer attemptClock;
    QVector<QPair<qint64, qint64>> speedSamples; // {ms into the attempt, received} of the last window
    quint64 heldBackSeen = 0; // the fetch's count of holds by the download cap at the last check
    QString lastFailure;
    int lastStatus = 0;
    Failure lastKind = Failure::Other;
    RetryPolicy retryPolicy;
    int otherFailures = 0;     // failures of the current piece that count towards MaxAttempts
    int quickFailures = 0;     // failures of the current piece asked again soon, in a row
    QElapsedTimer outageClock; // running from the first failure of the current outage
    bool bytesSinceFailure = false;
    qint64 attemptStart = 0; // received when the current attempt began
    int nextPauseMs = 0;
};
