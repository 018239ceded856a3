#pragma once

#include "download/downloadtaskpiece.h"

#include <QByteArray>
#include <QMetaObject>
#include <QNetworkReply>
#include <QObject>

class QNetworkAccessManager;
class QTimer;

// Fetches one piece of one file with one ranged GET below cdnBaseUrl and keeps the body until the
// owner takes it. A failing piece is retried after RetryDelayMs, at most MaxAttempts requests in a
// row. pause() aborts the request and keeps the bytes; start() asks for the remaining ones.
//
// The body goes to `buffer`, or, after setTarget(), straight into caller-provided memory with room
// for the whole piece (the download manager points it into the file image, saving a copy).
class TaskPieceDownloader : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxAttempts = 3;
    static constexpr int RetryDelayMs = 1000;
    // Bytes the network layer may hold for a reply before the downloader takes them.
    static constexpr qint64 ReplyReadBufferSize = 512 * 1024;
    // A request that receives no byte for this long fails like any network error.
    static constexpr int DefaultTransferTimeoutMs = 30000;

    TaskPieceDownloader();
    ~TaskPieceDownloader() override;

    void setTask(DownloadTaskPiece *piece);
    // Received bytes of the current piece are written to dest[0 .. piece length) from now on;
    // reset by setTask(), cancelTask() and the end of the piece.
    void setTarget(char *dest);
    void start();
    void pause();
    bool cancelTask(DownloadTaskPiece *piece);
    // Applies from the next request on.
    void setTransferTimeout(int ms) { transferTimeoutMs = ms; }

    DownloadTaskPiece *currentTask() const { return task; }
    // Body bytes held for the current piece (or for the piece just reported, until takeBuffer()).
    qint64 receivedBytes() const { return received; }
    const QByteArray &bufferData() const { return buffer; }
    // Hands the received bytes over and empties the buffer.
    QByteArray takeBuffer();
    bool isRequesting() const { return reply != nullptr; }
    bool isWaitingForRetry() const;
    // Why the latest attempt failed (the reply's error text, or what was wrong with the body).
    const QString &failureReason() const { return lastFailure; }

signals:
    // true: the whole piece is in the buffer (or the target); false: the last attempt failed.
    // The piece no longer belongs to the downloader when this is emitted.
    void downloadFinished(bool success, DownloadTaskPiece *piece);

private slots:
    void pieceDownloadFinished();
    void pieceDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void pieceDataReady();
    void pieceDownloadError(QNetworkReply::NetworkError error);
    void replyFinished(QNetworkReply *tmpReply);

private:
    void cutConnections();
    void dropReply(bool abort = true);
    bool takeAvailable();
    void failAttempt(const QString &why, bool abort = true);
    void finishPiece(bool success);

    DownloadTaskPiece *task = nullptr;
    QNetworkAccessManager *networkManager = nullptr;
    QNetworkReply *reply = nullptr;
    QByteArray buffer;
    QMetaObject::Connection finishedConnection;
    QMetaObject::Connection progressConnection;
    QMetaObject::Connection errorConnection;
    QMetaObject::Connection readyReadConnection;

    char *target = nullptr;
    qint64 received = 0;
    qint64 requestedBytes = 0; // bytes the outstanding request asks for
    QTimer *retryTimer = nullptr;
    int transferTimeoutMs = DefaultTransferTimeoutMs;
    QString lastFailure;
};
