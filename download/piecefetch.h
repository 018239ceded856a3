#pragma once

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class QNetworkAccessManager;
class QThread;
class QTimer;

// The network side of a piece downloader: one ranged request at a time, run on the download
// network thread, whose reply's bytes go straight into the downloader's sink there. The thread
// that runs the downloaders (the launcher's GUI thread) then handles the end of a request only,
// not each of its chunks: copying them there had it busy, and the network layer waiting for it.
//
// Bytes are taken out of the reply as the process-wide download cap (BandwidthCap) allows: what it
// holds back stays in the reply, asked for again every tick, and an ended request is reported once
// the cap has let its last bytes through.
//
// The owner has get() run on the fetch's thread (a queued call) and calls stop() and close() on
// its own thread, which wait for the fetch's. The end of a request comes through the end handler,
// called on the fetch's thread.
class PieceFetch : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        Completed, // the reply ended without an error; its body (what fitted) is in the sink
        Failed,    // the reply's error, its HTTP status and text
        Overflow,  // the body is longer than the room (announced: its announced length; -1: it arrived)
        Mismatch   // not the range asked: a 200 with the whole file, another Content-Range, another status
    };
    struct End {
        quint64 id = 0;
        Outcome outcome = Outcome::Completed;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QString why;
        qint64 bytes = 0;
        qint64 announced = -1;
    };
    using EndHandler = std::function<void(const End &)>;

    explicit PieceFetch(EndHandler onEnd);
    ~PieceFetch() override;

    // The thread every fetch lives on: started with the first one, stopped as the application ends.
    static QThread *networkThread();

    // Times the cap held back bytes of a reply: a request slowed by the cap, not by its server.
    quint64 heldBack() const { return heldBackCount.load(std::memory_order_acquire); }

    // Bytes of the current request in the sink. The owner may reset it between requests.
    qint64 written() const { return writtenBytes.load(std::memory_order_acquire); }
    void resetWritten() { writtenBytes.store(0, std::memory_order_release); }

    // Asks for `request`, the range of `room` bytes from `first` on, into `sink` (the fetch's
    // thread). Only the body of an answer that is that range goes into the sink: a 206 whose
    // Content-Range names it, or a 200 (the whole file) to a range from the file's start that
    // announces at least `room` bytes, of which the first `room` are taken and the rest not read.
    // Without `capped` the bytes pass by the download cap (a peer on the local network).
    void get(quint64 id, const QNetworkRequest &request, qint64 first, char *sink, qint64 room,
             bool capped = true);

    // Why an answer with `status`, `contentRange`, `contentLength` (-1: none) and `contentEncoding`
    // is not the range of `room` bytes from `first` on; empty when it is.
    static QString rangeMismatch(int status, const QByteArray &contentRange, qint64 contentLength,
                                 qint64 first, qint64 room, const QByteArray &contentEncoding = QByteArray());
    // Ends request `id` without a report, keeping what has arrived as far as it fits, and returns
    // the bytes in the sink. Called on the owner's thread: waits for the fetch's thread to do it
    // (run here once that thread has ended, as the application ends).
    qint64 stop(quint64 id);
    // Ends the fetch: its request and its connections are gone when this returns (the owner's
    // thread; blocks as stop() does), the object itself goes later.
    void close();

private:
    // Runs `work` on the fetch's thread and waits for it.
    void runOnFetchThread(const std::function<void()> &work);
    qint64 stopHere(quint64 id);
    // Takes what the reply holds when all of it fits the room (a request ending early).
    void keepWhatFits();
    void take();
    void finish();
    void dropReply();
    void end(End e);
    bool answersWithData() const;
    // Checks the answer's headers once, before its first byte is taken; false: reported as a mismatch.
    bool answerIsTheRange();
    QString answerMismatch() const;

    EndHandler onEnd;
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    quint64 current = 0;
    char *sink = nullptr;
    qint64 room = 0;
    qint64 firstByte = 0;
    bool answerChecked = false;
    bool capped = true;
    bool cutAtRoom = false; // a 200 with the whole file: its first `room` bytes are the range
    bool draining = false;  // the reply has ended; the cap still holds back some of its bytes
    quint64 capReader = 0;
    QTimer *capTimer = nullptr;
    qint64 readBuffer = 0; // the reply's read buffer size as last set
    std::atomic<qint64> writtenBytes{0};
    std::atomic<quint64> heldBackCount{0};
};
