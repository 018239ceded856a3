#include "download/downloadfixture.h"
#include "download/downloadtask.h"
#include "download/downloadtaskpiece.h"
#include "download/piecebufferpool.h"
#include "download/taskpiecedownloader.h"
#include "support/httpserver.h"
#include "support/teststep.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest>

namespace {

// A piece downloader whose ends (downloadFinished) are recorded.
struct WatchedDownloader : TaskPieceDownloader {
    QSignalSpy done{this, &TaskPieceDownloader::downloadFinished};
    bool succeeded(int i = 0) const { return done.at(i).at(0).toBool(); }
};

} // namespace

class TestTaskPieceDownloader : public QObject {
    Q_OBJECT

private:
    HttpServer server;
    QByteArray tenMillion;
    DownloadTask task{QStringLiteral("v1_ten.bin"), QStringLiteral("ten.bin")};

    static DownloadTaskPiece piece(DownloadTask *t, int index, qint64 fileSize) {
        DownloadTaskPiece p;
        p.downloadTask = t;
        p.index = index;
        p.end = qMin(qint64(index + 1) * DownloadTaskPiece::PieceSize, fileSize) - 1;
        return p;
    }

    PieceBufferPool pool{2, DownloadTaskPiece::PieceSize};

    // Gives d the piece with a sink from the pool, and starts it.
    void start(TaskPieceDownloader &d, DownloadTaskPiece *p) {
        d.setTask(p, pool.acquire());
        d.start();
    }
    void throttle(qint64 bytesPerSecond) {
        HttpServer::Faults slow;
        slow.bytesPerSecond = bytesPerSecond;
        server.setFaults("/cdn/v1_ten.bin", slow);
    }
    // The bytes the downloader holds for its piece.
    static QByteArray held(const TaskPieceDownloader &d) {
        return QByteArray(d.sink().data(), int(d.receivedBytes()));
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<DownloadTaskPiece *>("DownloadTaskPiece*");
        QVERIFY(server.listenOnAssignedPort());
        tenMillion = patternBytes(10000000, 7);
        server.setFile("/cdn/v1_ten.bin", tenMillion);
    }

    void init() {
        server.clearFaults();
        server.clearRequests();
    }

    void lastPieceAsksForItsRange() {
        DownloadTaskPiece p = piece(&task, 2, tenMillion.size());
        QCOMPARE(p.end, 9999999);
        WatchedDownloader d;
        start(d, &p);
        QVERIFY(d.done.wait(20000));
        QCOMPARE(d.done.count(), 1);
        QVERIFY(d.succeeded());
        QCOMPARE(d.done.at(0).at(1).value<DownloadTaskPiece *>(), &p);
        QCOMPARE(d.currentTask(), nullptr);

        const QList<HttpServer::Request> requests = server.requestsFor("/cdn/v1_ten.bin");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.at(0).range(), QByteArray("bytes=8388608-9999999"));
        QCOMPARE(requests.at(0).headers.value("accept-encoding"), QByteArray("deflate"));
        QCOMPARE(d.receivedBytes(), p.length());
        QVERIFY(held(d) == tenMillion.mid(8388608));
        QCOMPARE(p.retryCount, 0);
    }

    // A piece handed over before its buffer is ready asks for nothing; prepared buffers arrive on
    // their own and announce themselves; then the piece is fetched as any other.
    void pieceWaitsForItsPreparedBuffer() {
        PieceBufferPool prepared(2, DownloadTaskPiece::PieceSize);
        QAtomicInt announced;
        prepared.setStarvationEnded([&announced] { announced.fetchAndAddOrdered(1); });
        QThreadPool workers;
        workers.setMaxThreadCount(1);
        QSemaphore gate; // holds the preparation back until the downloader has been looked at
        workers.start([&gate] { gate.acquire(); });
        prepared.prepare(2, &workers);
        QVERIFY(prepared.acquire().isNull()); // nothing is made on this thread meanwhile

        DownloadTaskPiece p = piece(&task, 1, tenMillion.size());
        WatchedDownloader d;
        d.setTask(&p, PieceBuffer());
        d.start();
        QVERIFY(d.awaitsSink());
        QCOMPARE(d.state(), TaskPieceDownloader::State::Paused);
        gate.release();
        QVERIFY(workers.waitForDone(20000));
        QCOMPARE(announced.loadAcquire(), 1);
        QCOMPARE(server.requestsFor("/cdn/v1_ten.bin").size(), 0);

        PieceBuffer first = prepared.acquire();
        const PieceBuffer second = prepared.acquire();
        QVERIFY(!first.isNull() && !second.isNull());
        QVERIFY(prepared.acquire().isNull()); // two is all there is
        d.giveSink(std::move(first));
        d.start();
        QVERIFY(d.done.wait(20000));
        QVERIFY(d.succeeded());
        QVERIFY(held(d) == tenMillion.mid(DownloadTaskPiece::PieceSize, DownloadTaskPiece::PieceSize));
    }

    void pauseKeepsBytesAndStartAsksForTheRest() {
        HttpServer::Faults stall;
        stall.stallAfterBytes = 1000000;
        stall.stallMs = 120000;
        server.setFaults("/cdn/v1_ten.bin", stall);

        DownloadTaskPiece p = piece(&task, 0, tenMillion.size());
        WatchedDownloader d;
        start(d, &p);
        QTRY_COMPARE_WITH_TIMEOUT(d.receivedBytes(), qint64(1000000), 20000);
        d.pause();
        QVERIFY(!d.isRequesting());
        QCOMPARE(d.currentTask(), &p);
        QCOMPARE(d.receivedBytes(), qint64(1000000));

        server.clearFaults();
        d.start();
        QVERIFY(d.done.wait(20000));
        QVERIFY(d.succeeded());
        const QList<HttpServer::Request> requests = server.requestsFor("/cdn/v1_ten.bin");
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(0).range(), QByteArray("bytes=0-4194303"));
        QCOMPARE(requests.at(1).range(), QByteArray("bytes=1000000-4194303"));
        QVERIFY(held(d) == tenMillion.left(4194304));
        QCOMPARE(p.retryCount, 0);
    }

    void failedAttemptsAreRetriedFromTheFirstByte_data() {
        addBoolRows("reset", "status 503", "connection cut");
    }

    void failedAttemptsAreRetriedFromTheFirstByte() {
        QFETCH(bool, reset);
        HttpServer::Faults twice;
        twice.failFirst = 2;
        twice.failStatus = 503;
        twice.resetFirst = reset;
        server.setFaults("/cdn/v1_ten.bin", twice);

        DownloadTaskPiece p = piece(&task, 1, tenMillion.size());
        WatchedDownloader d;
        d.setRetryPolicy({20, 100, 10000});
        start(d, &p);
        QVERIFY(d.done.wait(20000));
        QCOMPARE(d.done.count(), 1);
        QVERIFY(d.succeeded());
        QCOMPARE(p.retryCount, 2);
        const QList<HttpServer::Request> requests = server.requestsFor("/cdn/v1_ten.bin");
        QCOMPARE(requests.size(), 3);
        for (const HttpServer::Request &r : requests)
            QCOMPARE(r.range(), QByteArray("bytes=4194304-8388607"));
        QVERIFY(held(d) == tenMillion.mid(4194304, 4194304));
    }

    // While the CDN answers 5xx the piece is asked for again after pauses that double up to the
    // longest, until the total has passed; then it ends once. A 4xx ends it at once.
    void outageIsWaitedOutAndA4xxEndsAtOnce() {
        HttpServer::Faults busy;
        busy.status = 503;
        server.setFaults("/cdn/v1_ten.bin", busy);

        DownloadTaskPiece p = piece(&task, 0, tenMillion.size());
        WatchedDownloader d;
        d.setRetryPolicy({50, 200, 1000});
        QElapsedTimer clock;
        clock.start();
        start(d, &p);
        QTRY_VERIFY(d.isWaitingOnNetwork() && d.isWaitingForRetry());
        QVERIFY(d.done.wait(20000));
        QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!d.succeeded());
        QCOMPARE(d.failureStatus(), 503);
        QCOMPARE(d.currentTask(), nullptr);
        QCOMPARE(pool.inUse(), 0); // the failed piece's sink went back
        const QList<HttpServer::Request> r = server.requestsFor("/cdn/v1_ten.bin");
        // 0, 50, 150, 350, 550, 750, 950, 1000 ms; timers may be a little late, and the last pause is
        // cut to end with the total, so a slow machine may fit one or two quick attempts more there.
        QVERIFY2(r.size() >= 6 && r.size() <= 10, qPrintable(QString::number(r.size())));
        QCOMPARE(p.retryCount, r.size());
        QVERIFY(r.at(1).atMs - r.at(0).atMs >= 45);
        QVERIFY(r.at(2).atMs - r.at(1).atMs >= 95);
        QVERIFY(r.at(3).atMs - r.at(2).atMs >= 190);
        QVERIFY(r.last().atMs - r.first().atMs >= 900);
        for (const HttpServer::Request &q : r)
            QCOMPARE(q.range(), QByteArray("bytes=0-4194303"));
        // Nothing else happens afterwards.
        QVERIFY(!QTest::qWaitFor(
            [&] { return d.done.count() > 1 || server.requestCount("/cdn/v1_ten.bin") > r.size(); }, 400));

        server.clearRequests();
        DownloadTask missing{QStringLiteral("v1_missing.bin"), QStringLiteral("missing.bin")};
        DownloadTaskPiece q = piece(&missing, 0, 1000);
        WatchedDownloader e;
        e.setRetryPolicy({50, 200, 1000});
        start(e, &q);
        QVERIFY(e.done.wait(20000));
        QVERIFY(!e.succeeded());
        QCOMPARE(e.failureStatus(), 404);
        QVERIFY(!e.isWaitingOnNetwork());
        QCOMPARE(server.requestCount("/cdn/v1_missing.bin"), 1);
    }

    void cancelTaskOnlyGivesUpTheCurrentPiece() {
        throttle(2000000);

        DownloadTaskPiece current = piece(&task, 0, tenMillion.size());
        DownloadTaskPiece other = piece(&task, 1, tenMillion.size());
        WatchedDownloader d;
        start(d, &current);
        QTRY_VERIFY_WITH_TIMEOUT(d.receivedBytes() > 0, 20000);
        QCOMPARE(d.cancelTask(&other), false);
        QCOMPARE(d.cancelTask(nullptr), false);
        QCOMPARE(d.currentTask(), &current);
        QVERIFY(d.isRequesting());

        QCOMPARE(d.cancelTask(&current), true);
        QCOMPARE(d.currentTask(), nullptr);
        QCOMPARE(d.receivedBytes(), qint64(0));
        QVERIFY(!d.isRequesting());
        QTest::qWait(300);
        QCOMPARE(d.done.count(), 0);
    }

    // More bytes than the range asked fail the attempt without growing the piece. A server or proxy
    // that ignores the range sends the file from its first byte: none of that is ever kept as the
    // piece's bytes, also without a length to tell that it overflows (a pause or a timeout cutting
    // it short would otherwise keep the file's first bytes as the piece's).
    void moreBytesThanTheRangeFailTheAttempt_data() {
        QTest::addColumn<bool>("wholeFile");
        QTest::addColumn<bool>("announced");
        QTest::newRow("extra bytes after the range") << false << true;
        QTest::newRow("200 with the whole file") << true << true;
        QTest::newRow("200 with the whole file, no length, slowly") << true << false;
    }

    void moreBytesThanTheRangeFailTheAttempt() {
        QFETCH(bool, wholeFile);
        QFETCH(bool, announced);
        HttpServer::Faults f;
        if (wholeFile)
            f.ignoreRange = true;
        else
            f.extraBytes = 1000;
        if (!announced) {
            f.noLength = true;
            f.bytesPerSecond = 256 * 1024;
        }
        server.setFaults("/cdn/v1_ten.bin", f);

        DownloadTaskPiece p = piece(&task, 1, tenMillion.size());
        WatchedDownloader d;
        qint64 most = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] { most = qMax(most, d.receivedBytes()); });
        watch.start(1);
        start(d, &p);
        QVERIFY(d.done.wait(30000));
        QVERIFY(!d.succeeded());
        QCOMPARE(server.requestCount("/cdn/v1_ten.bin"), TaskPieceDownloader::MaxAttempts);
        QVERIFY(most <= p.length());
        if (wholeFile) {
            QCOMPARE(most, qint64(0));
            QVERIFY2(d.failureReason().contains(QLatin1String("200")), qPrintable(d.failureReason()));
        }
        QCOMPARE(pool.inUse(), 0);
    }

    void rangeMismatchIsTold_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentRange");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("room");
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<bool>("usable");
        const qint64 piece = DownloadTaskPiece::PieceSize;
        const QByteArray none;
        QTest::newRow("206, the range")
            << 206 << QByteArray("bytes 4194304-8388607/10000000") << piece << piece << piece << none << true;
        QTest::newRow("206, size unknown") << 206 << QByteArray("bytes 100-199/*") << qint64(100)
                                           << qint64(100) << qint64(100) << none << true;
        QTest::newRow("206, another range")
            << 206 << QByteArray("bytes 0-4194303/10000000") << piece << piece << piece << none << false;
        QTest::newRow("206, no Content-Range") << 206 << none << piece << piece << piece << none << false;
        QTest::newRow("206, identity") << 206 << QByteArray("bytes 0-99/100") << qint64(100) << qint64(0)
                                       << qint64(100) << QByteArray(" Identity") << true;
        QTest::newRow("206, deflated") << 206 << QByteArray("bytes 0-99/100") << qint64(60) << qint64(0)
                                       << qint64(100) << QByteArray("deflate") << false;
        QTest::newRow("200, whole file asked")
            << 200 << none << qint64(3000) << qint64(0) << qint64(3000) << none << true;
        QTest::newRow("200, longer file, range from its start")
            << 200 << none << qint64(10000000) << qint64(0) << piece << none << true;
        QTest::newRow("200, shorter than the range")
            << 200 << none << qint64(3000) << qint64(0) << piece << none << false;
        QTest::newRow("200, gzipped")
            << 200 << none << qint64(3000) << qint64(0) << qint64(3000) << QByteArray("gzip") << false;
        QTest::newRow("200, no length") << 200 << none << qint64(-1) << qint64(0) << piece << none << false;
        QTest::newRow("200 to a later range")
            << 200 << none << qint64(10000000) << piece << piece << none << false;
        QTest::newRow("a proxy's 203, the range") << 203 << QByteArray("bytes 0-99/100") << qint64(100)
                                                  << qint64(0) << qint64(100) << none << false;
        QTest::newRow("no status") << 0 << none << qint64(100) << qint64(0) << qint64(100) << none << false;
    }

    void rangeMismatchIsTold() {
        QFETCH(int, status);
        QFETCH(QByteArray, contentRange);
        QFETCH(qint64, length);
        QFETCH(qint64, first);
        QFETCH(qint64, room);
        QFETCH(QByteArray, encoding);
        QFETCH(bool, usable);
        QCOMPARE(PieceFetch::rangeMismatch(status, contentRange, length, first, room, encoding).isEmpty(),
                 usable);
    }

    // A server that ignores ranges still serves a one-piece file, and the first piece of a larger
    // one (its first bytes, the rest of the answer left unread), as long as it says how long the
    // file is; a body it encodes is never the file's bytes.
    void wholeFileAnswerServesThePieceFromByteZero_data() {
        QTest::addColumn<bool>("oneIsAll");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<bool>("usable");
        QTest::newRow("one-piece file") << true << true << QByteArray() << true;
        QTest::newRow("first piece of ten million") << false << true << QByteArray() << true;
        QTest::newRow("first piece, no length") << false << false << QByteArray() << false;
        QTest::newRow("one-piece file, deflated")
            << true << true << QByteArray("Content-Encoding: deflate\r\n") << false;
    }

    void wholeFileAnswerServesThePieceFromByteZero() {
        QFETCH(bool, oneIsAll);
        QFETCH(bool, announced);
        QFETCH(QByteArray, headers);
        QFETCH(bool, usable);
        const QByteArray small = patternBytes(3000, 3);
        server.setFile("/cdn/v1_small.bin", small);
        HttpServer::Faults f;
        f.ignoreRange = true;
        f.noLength = !announced;
        f.headers = headers;
        DownloadTask smallTask{QStringLiteral("v1_small.bin"), QStringLiteral("small.bin")};
        DownloadTaskPiece p =
            oneIsAll ? piece(&smallTask, 0, small.size()) : piece(&task, 0, tenMillion.size());
        server.setFaults(oneIsAll ? "/cdn/v1_small.bin" : "/cdn/v1_ten.bin", f);
        WatchedDownloader d;
        start(d, &p);
        QVERIFY(d.done.wait(30000));
        QCOMPARE(d.succeeded(), usable);
        if (usable)
            QVERIFY(held(d) == (oneIsAll ? small : tenMillion.left(int(p.length()))));
        else
            QCOMPARE(d.receivedBytes(), qint64(0));
    }

    void pausedDownloaderDoesNotRetryUntilStarted() {
        HttpServer::Faults once;
        once.failFirst = 1;
        server.setFaults("/cdn/v1_ten.bin", once);

        DownloadTaskPiece p = piece(&task, 2, tenMillion.size());
        WatchedDownloader d;
        start(d, &p);
        QTRY_VERIFY_WITH_TIMEOUT(d.isWaitingForRetry(), 20000);
        d.pause();
        QCOMPARE(d.state(), TaskPieceDownloader::State::Paused);
        QVERIFY(
            !QTest::qWaitFor([&] { return server.requestCount("/cdn/v1_ten.bin") > 1 || d.done.count() > 0; },
                             TaskPieceDownloader::RetryDelayMs + 700));

        d.start();
        QVERIFY(d.done.wait(20000));
        QVERIFY(d.succeeded());
        QCOMPARE(server.requestCount("/cdn/v1_ten.bin"), 2);
        QCOMPARE(p.retryCount, 1);
        QVERIFY(held(d) == tenMillion.mid(8388608));
    }

    void startWhileRequestingSendsNoSecondRequest() {
        throttle(4000000);
        DownloadTaskPiece p = piece(&task, 2, tenMillion.size());
        WatchedDownloader d;
        start(d, &p);
        d.start();
        QVERIFY(d.done.wait(20000));
        QCOMPARE(server.requestCount("/cdn/v1_ten.bin"), 1);
        QVERIFY(held(d) == tenMillion.mid(8388608));
    }

    // A server that trickles bytes fails each attempt once a low-speed window has passed below the
    // limit, and the piece ends after the last one; a slow but steady body still completes.
    void lowSpeedLimitEndsTricklesButNotSlowTransfers() {
        throttle(50); // a byte every 20 ms
        DownloadTaskPiece p = piece(&task, 2, tenMillion.size());
        WatchedDownloader d;
        d.setLowSpeedLimit(10000, 1000);
        // A trickle is an outage: one more attempt after the first (the second ends past the total).
        d.setRetryPolicy({20, 20, 500});
        start(d, &p);
        QVERIFY(d.done.wait(20000));
        QVERIFY(!d.succeeded());
        QCOMPARE(server.requestCount("/cdn/v1_ten.bin"), 2);
        QVERIFY2(d.failureReason().contains(QLatin1String("per second")), qPrintable(d.failureReason()));

        const QByteArray small = patternBytes(200000, 4);
        server.setFile("/cdn/v1_small.bin", small);
        HttpServer::Faults steady;
        steady.bytesPerSecond = 100000;
        server.setFaults("/cdn/v1_small.bin", steady);
        DownloadTask smallTask{QStringLiteral("v1_small.bin"), QStringLiteral("small.bin")};
        DownloadTaskPiece q = piece(&smallTask, 0, small.size());
        WatchedDownloader e;
        e.setLowSpeedLimit(10000, 1000);
        start(e, &q);
        QVERIFY(e.done.wait(20000));
        QVERIFY(e.succeeded());
        QCOMPARE(server.requestCount("/cdn/v1_small.bin"), 1);
        QVERIFY(held(e) == small);
    }

    void idleDownloaderIgnoresPauseAndStart() {
        WatchedDownloader d;
        d.pause();
        d.start();
        QTest::qWait(200);
        QCOMPARE(d.done.count(), 0);
        QCOMPARE(server.requestCount(), 0);
    }
};

KV_HTTP_TEST_MAIN(QCoreApplication, TestTaskPieceDownloader,
                  {"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/cdn/")})

#include "tst_taskpiecedownloader.moc"
