#include "download/cdnhosts.h"
#include "download/downloadfixture.h"
#include "download/downloadtask.h"
#include "download/downloadtaskpiece.h"
#include "download/fileassembler.h"
#include "download/piecebufferpool.h"
#include "download/resumerecord.h"
#include "download/taskpiecedownloader.h"
#include "download/xdmanager.h"
#include "platform/filenamerules.h"
#include "support/httpserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
using Results = QMap<QString, ErrorCode>;

// The results of the files named, each as {name, code}.
#define QCOMPARE_RESULTS(recorder, ...)                                                                      \
    do {                                                                                                     \
        const Results expected_{__VA_ARGS__};                                                                \
        QCOMPARE((recorder).resultsOf(expected_), expected_);                                                \
    } while (false)

// Every signal of a manager, in the order they came.
struct Recorder {
    QStringList events;
    QList<QPair<ErrorCode, QString>> results;
    int runEnds = 0;

    explicit Recorder(XDManager *m) {
        QObject::connect(m, &XDManager::downloadStart, [this] { events << QStringLiteral("start"); });
        QObject::connect(m, &XDManager::allFileDownloadFinished, [this] {
            events << QStringLiteral("all");
            ++runEnds;
        });
        QObject::connect(m, &XDManager::fileDownloadingStart,
                         [this](const QString &name) { events << QStringLiteral("begin ") + name; });
        QObject::connect(m, &XDManager::fileDownloadFinished, [this](ErrorCode code, const QString &name) {
            events << QStringLiteral("end %1 %2").arg(int(code)).arg(name);
            results.append({code, name});
        });
    }
    // The (first) result of each file named in `names` (-1: none).
    Results resultsOf(const Results &names) const {
        Results got;
        for (auto it = names.cbegin(); it != names.cend(); ++it)
            got.insert(it.key(), resultOf(it.key()));
        return got;
    }
    ErrorCode resultOf(const QString &name) const {
        for (const auto &r : results) {
            if (r.second == name)
                return r.first;
        }
        return ErrorCode(-1);
    }
    int resultCount(const QString &name) const {
        int n = 0;
        for (const auto &r : results)
            n += r.second == name ? 1 : 0;
        return n;
    }
};

} // namespace

class TestXDManager : public QObject {
    Q_OBJECT

private:
    HttpServer server;
    std::unique_ptr<QTemporaryDir> dir;

    // Publishes content as release `version` of `name` and enters it in the version table.
    QByteArray publish(const QString &name, qint64 size, quint32 seed,
                       const QString &version = QStringLiteral("1")) {
        const QByteArray content = patternBytes(size, seed);
        server.setFile(remote(name, version).toUtf8(), content);
        putTableEntry(name, version, content);
        return content;
    }
    static QString remote(const QString &name, const QString &version = QStringLiteral("1")) {
        return QStringLiteral("/cdn/v%1_%2").arg(version, name);
    }
    static void queue(XDManager &m, const QString &name, const QString &version = QStringLiteral("1")) {
        m.addFile(QStringLiteral("v%1_%2").arg(version, name), name);
    }
    static void queue(XDManager &m, const QStringList &names) {
        for (const QString &name : names)
            queue(m, name);
    }
    void throttle(const QByteArray &path, qint64 bytesPerSecond) {
        HttpServer::Faults slow;
        slow.bytesPerSecond = bytesPerSecond;
        server.setFaults(path, slow);
    }
    // Every request of path (starting at rangeStart) answers with status.
    void fail(const QByteArray &path, int status, qint64 rangeStart = -1) {
        HttpServer::Faults broken;
        broken.status = status;
        server.setFaults(path, broken, rangeStart);
    }
    QByteArray onDisk(const QString &name) const {
        QFile f(dir->filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray("<missing>");
        return f.readAll();
    }
    // Bytes the resume record of `name` lists; -1 without a usable one.
    qint64 recordedBytes(const QString &name) const {
        ResumeRecord r;
        const QString target = dir->filePath(name);
        return ResumeRecord::load(target, VersionTable::instance().value(name), &r).ok() ? r.completeBytes()
                                                                                         : -1;
    }
    // Everything in the launcher directory (to show that no half or temporary file is left).
    QStringList dirEntries() const {
        return QDir(dir->path())
            .entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

private slots:
    void initTestCase() { QVERIFY(server.listenOnAssignedPort()); }

    void init() { QVERIFY(startAfresh(server, dir)); }

    void cleanup() { VersionTable::release(); }

    void typesAndSignals() {
        XDManager m(dir->path());
        QVERIFY(QMetaType::type("ErrorCode") != QMetaType::UnknownType);
        QVERIFY(QMetaType::type("DownloadTaskPiece") != QMetaType::UnknownType);
        const QMetaObject *mo = m.metaObject();
        const int a = mo->indexOfSignal("downloadStart()");
        const int b = mo->indexOfSignal("allFileDownloadFinished()");
        const int c = mo->indexOfSignal("fileDownloadingStart(QString)");
        const int d = mo->indexOfSignal("fileDownloadFinished(ErrorCode,QString)");
        QVERIFY(a >= 0 && a < b && b < c && c < d);
        QVERIFY(mo->indexOfSlot("pieceDownloadFinished(bool,DownloadTaskPiece*)") >= 0);
        QCOMPARE(int(NoError), 0);
        QCOMPARE(int(WriteError), 3);
    }

    void smallFilesGoToTheFirstDownloaders() {
        QMap<QString, QByteArray> files;
        files[QStringLiteral("a.zip")] = publish(QStringLiteral("a.zip"), MiB, 1);
        files[QStringLiteral("b.zip")] = publish(QStringLiteral("b.zip"), MiB, 2);
        files[QStringLiteral("c.exe")] = publish(QStringLiteral("c.exe"), MiB, 3);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"a.zip", "b.zip", "c.exe"});
        m.start();
        QCOMPARE(rec.events, QStringList({"begin a.zip", "begin b.zip", "begin c.exe", "start"}));
        QCOMPARE(m.downloader(0)->currentTask()->downloadTask->localName, QStringLiteral("a.zip"));
        QCOMPARE(m.downloader(1)->currentTask()->downloadTask->localName, QStringLiteral("b.zip"));
        QCOMPARE(m.downloader(2)->currentTask()->downloadTask->localName, QStringLiteral("c.exe"));
        for (int i = 3; i < XDManager::DownloaderCount; ++i)
            QCOMPARE(m.downloader(i)->currentTask(), nullptr);

        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.events.last(), QStringLiteral("all"));
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QCOMPARE(rec.resultOf(it.key()), NoError);
            QVERIFY(onDisk(it.key()) == it.value());
            QCOMPARE(VersionTable::instance().value(it.key()).downloadedBytes, 0);
            QVERIFY(VersionTable::instance().value(it.key()).data.isEmpty());
        }
        QCOMPARE(dirEntries(), QStringList({"a.zip", "b.zip", "c.exe"}));
        for (const HttpServer::Request &r : server.requests())
            QCOMPARE(r.range(), QByteArray("bytes=0-1048575"));
        QCOMPARE(m.bufferedBytes(), qint64(0));
    }

    void largeFileRunsTenPiecesAtOnceInOrder() {
        const QByteArray content = publish(QStringLiteral("big.pak"), 100 * MiB, 4);
        // A piece takes a while, as over a real network (a second here): on loopback one could be
        // done before the last downloader's buffer is ready, and on a loaded machine ten would then
        // never be seen under way together.
        throttle("/cdn/v1_big.pak", 4 * MiB);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("big.pak"));

        m.start();
        for (int i = 0; i < XDManager::DownloaderCount; ++i)
            QCOMPARE(m.downloader(i)->currentTask()->index, i);
        // Pieces are handed out in order: every newly seen piece comes after all earlier ones.
        int mostInFlight = 0;
        int highest = XDManager::DownloaderCount - 1;
        int handedOut = XDManager::DownloaderCount;
        bool outOfOrder = false;
        QVector<const DownloadTaskPiece *> seen(XDManager::DownloaderCount, nullptr);
        for (int i = 0; i < XDManager::DownloaderCount; ++i)
            seen[i] = m.downloader(i)->currentTask();
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            int n = 0;
            QList<int> fresh;
            for (int i = 0; i < XDManager::DownloaderCount; ++i) {
                const DownloadTaskPiece *p = m.downloader(i)->currentTask();
                n += m.downloader(i)->isRequesting() ? 1 : 0;
                if (p && p != seen[i])
                    fresh.append(p->index);
                seen[i] = p;
            }
            std::sort(fresh.begin(), fresh.end());
            for (int index : fresh) {
                outOfOrder |= index != highest + 1;
                highest = index;
                ++handedOut;
            }
            mostInFlight = qMax(mostInFlight, n);
        });
        watch.start(1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 120000);
        QCOMPARE(rec.resultOf(QStringLiteral("big.pak")), NoError);
        QCOMPARE(handedOut, 25);
        QVERIFY(!outOfOrder);
        QCOMPARE(mostInFlight, XDManager::DownloaderCount);
        const QList<HttpServer::Request> requests = server.requestsFor("/cdn/v1_big.pak");
        QCOMPARE(requests.size(), 25);
        QSet<QByteArray> ranges;
        for (const HttpServer::Request &r : requests)
            ranges.insert(r.range());
        QCOMPARE(ranges.size(), 25);
        QVERIFY(ranges.contains("bytes=100663296-104857599"));
        QVERIFY(onDisk(QStringLiteral("big.pak")) == content);
    }

    void piecesCompletingOutOfOrderGiveTheSameFile() {
        const QByteArray content = publish(QStringLiteral("ten.bin"), 10000000, 5);
        HttpServer::Faults hold;
        hold.hold = true;
        server.setFaults("/cdn/v1_ten.bin", hold);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("ten.bin"));
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 3, 20000);
        const RemoteFileInfo &e = VersionTable::instance()[QStringLiteral("ten.bin")];

        QCOMPARE(server.release("/cdn/v1_ten.bin", 8388608), 1);
        QTRY_COMPARE_WITH_TIMEOUT(e.downloadedBytes, 10000000 - 8388608, 20000);
        QCOMPARE(server.release("/cdn/v1_ten.bin", 0), 1);
        QTRY_COMPARE_WITH_TIMEOUT(e.downloadedBytes, 10000000 - 4194304, 20000);
        QCOMPARE(rec.results.size(), 0);
        QCOMPARE(server.release("/cdn/v1_ten.bin", 4194304), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 20000);
        QCOMPARE(rec.resultOf(QStringLiteral("ten.bin")), NoError);
        QVERIFY(onDisk(QStringLiteral("ten.bin")) == content);
    }

    // Pieces that arrive while the first one is held back do not keep their buffers until it comes
    // (they are hashed back from the partial file later): every other piece of a file of more
    // pieces than there are buffers arrives meanwhile, and the file is whole once the first does.
    void piecesWaitingForAnEarlierOneHoldNoBuffer() {
        const qint64 size = (XDManager::PieceBufferCount + 4) * 4 * MiB + 12345;
        const QByteArray content = publish(QStringLiteral("long.bin"), size, 8);
        HttpServer::Faults hold;
        hold.hold = true;
        server.setFaults("/cdn/v1_long.bin", hold, 0);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("long.bin"));
        m.start();
        const RemoteFileInfo &e = VersionTable::instance()[QStringLiteral("long.bin")];
        QTRY_COMPARE_WITH_TIMEOUT(e.downloadedBytes, size - 4 * MiB, 30000);
        QCOMPARE(rec.results.size(), 0);
        QCOMPARE(server.release("/cdn/v1_long.bin", 0), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.resultOf(QStringLiteral("long.bin")), NoError);
        QVERIFY(onDisk(QStringLiteral("long.bin")) == content);
    }

    void wrongDigestWritesNothingAndTheRunGoesOn() {
        publish(QStringLiteral("bad.zip"), 9 * MiB, 6);
        const QByteArray good = publish(QStringLiteral("good.zip"), 3 * MiB, 7);
        VersionTable::instance()[QStringLiteral("bad.zip")].md5 = md5Hex("something else");
        // Digests are compared as lower-case text: an upper-case digest does not match.
        const QByteArray upper = publish(QStringLiteral("upper.zip"), 1000, 8);
        VersionTable::instance()[QStringLiteral("upper.zip")].md5 = md5Hex(upper).toUpper();
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"bad.zip", "good.zip", "upper.zip"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE_RESULTS(rec, {"bad.zip", VerifyError}, {"upper.zip", VerifyError}, {"good.zip", NoError});
        // The reason names both digests; a success leaves none.
        const QString why = m.failureReason(QStringLiteral("bad.zip"));
        QVERIFY2(why.contains(md5Hex("something else")) && why.contains(QLatin1String("md5 of")),
                 qPrintable(why));
        QVERIFY(m.failureReason(QStringLiteral("good.zip")).isEmpty());
        QCOMPARE(dirEntries(), QStringList({"good.zip"}));
        QVERIFY(onDisk(QStringLiteral("good.zip")) == good);
    }

    void verifiedFileReplacesAnOlderCopy() {
        QFile old(dir->filePath(QStringLiteral("game.pak")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(20 * MiB, 'o'));
        old.close();
        const QByteArray content = publish(QStringLiteral("game.pak"), 5 * MiB + 3, 9, QStringLiteral("2"));
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("game.pak"), QStringLiteral("2"));
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.resultOf(QStringLiteral("game.pak")), NoError);
        QVERIFY(onDisk(QStringLiteral("game.pak")) == content);
        QCOMPARE(dirEntries(), QStringList({"game.pak"}));
    }

    void failedPieceDropsItsFileOnceAndTheRunGoesOn() {
        publish(QStringLiteral("a.pak"), 20 * MiB, 10);
        const QByteArray b = publish(QStringLiteral("b.pak"), 30 * MiB, 11);
        const QByteArray c = publish(QStringLiteral("c.pak"), 2 * MiB, 12);
        // Piece 1 of a.pak always fails; its other pieces are kept running until then.
        fail("/cdn/v1_a.pak", 500, 4194304);
        throttle("/cdn/v1_a.pak", 256 * 1024);

        XDManager m(dir->path());
        m.setRetryPolicy({10, 50, 300});
        Recorder rec(&m);
        queue(m, {"a.pak", "b.pak", "c.pak"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.resultCount(QStringLiteral("a.pak")), 1, 30000);
        QCOMPARE(rec.resultOf(QStringLiteral("a.pak")), NetworkError);
        const QString why = m.failureReason(QStringLiteral("a.pak"));
        QVERIFY2(why.startsWith(QLatin1String("piece 1 of v1_a.pak failed every attempt: ")) &&
                     why.contains(QLatin1String("Internal Server Error")),
                 qPrintable(why));
        // No downloader holds a piece of a.pak any more.
        for (int i = 0; i < XDManager::DownloaderCount; ++i) {
            const DownloadTaskPiece *p = m.downloader(i)->currentTask();
            QVERIFY(!p || p->downloadTask->localName != QStringLiteral("a.pak"));
        }
        QCOMPARE(VersionTable::instance().value(QStringLiteral("a.pak")).downloadedBytes, 0);
        QVERIFY(VersionTable::instance().value(QStringLiteral("a.pak")).data.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 60000);
        QCOMPARE(rec.resultCount(QStringLiteral("a.pak")), 1);
        QCOMPARE_RESULTS(rec, {"b.pak", NoError}, {"c.pak", NoError});
        QCOMPARE(rec.events.last(), QStringLiteral("all"));
        // What arrived of a.pak stays for the next run, and counts as done.
        const qint64 keptOfA = m.resumedBytes(QStringLiteral("a.pak"));
        QVERIFY(keptOfA > 0);
        QTRY_VERIFY_WITH_TIMEOUT(recordedBytes(QStringLiteral("a.pak")) >= keptOfA, 20000);
        QCOMPARE(dirEntries(),
                 QStringList({"a.pak.kestrivane-download", "a.pak.kestrivane-resume", "b.pak", "c.pak"}));
        QVERIFY(onDisk(QStringLiteral("b.pak")) == b);
        QVERIFY(onDisk(QStringLiteral("c.pak")) == c);
        QCOMPARE(server.requestsFor("/cdn/v1_a.pak").size() >= 3, true);
        QTest::qWait(300);
        QCOMPARE(rec.runEnds, 1);
    }

    void failedFileFollowedOnlyByFilesThatEndAtOnceEndsTheRun() {
        // Ten pieces keep every downloader on the failing file, so the files behind it are taken up
        // only once it failed, and each of those ends as soon as it is split.
        RemoteFileInfo big;
        big.name = QStringLiteral("big.pak");
        big.version = QStringLiteral("1");
        big.md5 = md5Hex("x");
        big.size = XDManager::DownloaderCount * DownloadTaskPiece::PieceSize;
        VersionTable::instance().insert(big.name, big);
        fail("/cdn/v1_big.pak", 403);
        putTableEntry(QStringLiteral("empty.txt"), QStringLiteral("1"), QByteArray());

        XDManager m(dir->path());
        m.setRetryPolicy({10, 50, 300});
        Recorder rec(&m);
        queue(m, {"big.pak", "empty.txt", "unlisted.bin"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE_RESULTS(rec, {"big.pak", NetworkError}, {"empty.txt", NoError},
                         {"unlisted.bin", NetworkError});
        QCOMPARE(rec.events.last(), QStringLiteral("all"));
    }

    // The CDN goes away in the middle of a file and comes back: the pieces wait it out, keep what
    // arrived and ask only for the rest. A file it does not have fails at once with its status,
    // and a failed file's pieces on the disk still count.
    void outageIsWaitedOutAndAMissingFileFailsAtOnce() {
        const QByteArray a = publish(QStringLiteral("a.pak"), 5 * MiB, 31);
        throttle("/cdn/v1_a.pak", 2 * MiB);
        putTableEntry(QStringLiteral("gone.pak"), QStringLiteral("1"), patternBytes(1000, 32));
        publish(QStringLiteral("half.pak"), 5 * MiB, 33);
        HttpServer::Faults heldNotFound; // once piece 0 is in
        heldNotFound.status = 404;
        heldNotFound.hold = true;
        server.setFaults("/cdn/v1_half.pak", heldNotFound, 4 * MiB);
        XDManager m(dir->path());
        m.setRetryPolicy({20, 100, 10000});
        Recorder rec(&m);
        queue(m, {"a.pak", "gone.pak", "half.pak"});
        const qint64 sentBefore = server.bodyBytesSent();
        const auto receivedOfA = [&m] {
            qint64 n = 0;
            for (int i = 0; i < XDManager::DownloaderCount; ++i) {
                const DownloadTaskPiece *p = m.downloader(i)->currentTask();
                if (p && p->downloadTask->localName == QLatin1String("a.pak"))
                    n += m.downloader(i)->receivedBytes();
            }
            return n;
        };
        m.start();
        QTRY_VERIFY_WITH_TIMEOUT(
            receivedOfA() > MiB &&
                VersionTable::instance().value(QStringLiteral("half.pak")).downloadedBytes == 4 * MiB,
            20000);
        QCOMPARE(m.networkWaitMs(), -1);
        server.stopFor(800);
        const qint64 kept = receivedOfA();
        QTRY_VERIFY_WITH_TIMEOUT(m.networkWaitMs() >= 0, 5000);
        QVERIFY(receivedOfA() >= kept);
        QTRY_COMPARE_WITH_TIMEOUT(rec.resultOf(QStringLiteral("a.pak")), NoError, 30000);
        QTRY_COMPARE(server.heldCount(), 1);
        QCOMPARE(server.release(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE_RESULTS(rec, {"a.pak", NoError}, {"gone.pak", NetworkError}, {"half.pak", NetworkError});
        QVERIFY(onDisk(QStringLiteral("a.pak")) == a);
        QCOMPARE(server.requestsFor("/cdn/v1_gone.pak").size(), 1);
        QCOMPARE(m.failureStatus(QStringLiteral("gone.pak")), 404);
        QCOMPARE(m.failureStatus(QStringLiteral("a.pak")), 0);
        QCOMPARE(m.failureStatus(QStringLiteral("half.pak")), 404);
        QCOMPARE(m.resumedBytes(QStringLiteral("half.pak")), 4 * MiB);
        QCOMPARE(m.resumedBytes(), 4 * MiB);
        // Every byte was sent once, but what was under way as the connections were cut.
        const qint64 sent = server.bodyBytesSent() - sentBefore;
        QVERIFY2(sent <= a.size() + 4 * MiB + 2 * 256 * 1024,
                 qPrintable(QString::number(sent))); // half.pak: 4 MiB
        QList<qint64> starts;
        for (const HttpServer::Request &r : server.requestsFor("/cdn/v1_a.pak"))
            starts << r.rangeStart();
        QVERIFY(starts.contains(0) && starts.contains(4 * MiB));
        const bool resumedInside = std::any_of(
            starts.cbegin(), starts.cend(), [](qint64 at) { return at % DownloadTaskPiece::PieceSize != 0; });
        QVERIFY2(resumedInside, "a piece cut by the outage was asked for from its first byte again");
    }

    // A host under load that answers one piece with 503 again and again while it serves the others:
    // the piece is asked again soon each time, not after pauses that double as in an outage.
    void pieceUnluckyOnAServingHostIsAskedAgainSoon() {
        const QByteArray a = publish(QStringLiteral("a.pak"), 3 * 4 * MiB, 34);
        HttpServer::Faults unlucky;
        unlucky.failFirst = 4;
        unlucky.failStatus = 503;
        server.setFaults("/cdn/v1_a.pak", unlucky, 4 * MiB);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("a.pak"));
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.resultOf(QStringLiteral("a.pak")), NoError);
        QVERIFY(onDisk(QStringLiteral("a.pak")) == a);
        QList<qint64> at;
        for (const HttpServer::Request &r : server.requestsFor("/cdn/v1_a.pak")) {
            if (r.rangeStart() == 4 * MiB)
                at << r.atMs;
        }
        QCOMPARE(at.size(), 5);
        // The outage rules would wait 1, 2, 4 and 8 s.
        for (int i = 1; i < at.size(); ++i)
            QVERIFY2(at[i] - at[i - 1] < 900, qPrintable(QStringLiteral("%1 ms").arg(at[i] - at[i - 1])));
    }

    // No host answers at all: once the first file has waited the outage out, the files behind it end
    // with it instead of each starting to wait its own time.
    void outageWithoutAnswerEndsTheRunAsOne() {
        const QList<quint16> ports = HttpServer::freePorts(1);
        QVERIFY(!ports.isEmpty());
        CdnHosts hosts({QStringLiteral("http://127.0.0.1:%1/cdn/").arg(ports.first())});
        RemoteFileInfo big;
        big.name = QStringLiteral("big.pak");
        big.version = QStringLiteral("1");
        big.md5 = md5Hex("x");
        big.size = XDManager::DownloaderCount * DownloadTaskPiece::PieceSize;
        VersionTable::instance().insert(big.name, big);
        publish(QStringLiteral("b.pak"), 1000, 35);
        XDManager m(dir->path());
        m.setHosts(&hosts);
        m.setRetryPolicy({10, 50, 500});
        Recorder rec(&m);
        queue(m, {"big.pak", "b.pak"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE_RESULTS(rec, {"big.pak", NetworkError}, {"b.pak", NetworkError});
        QVERIFY(!rec.events.contains(QStringLiteral("begin b.pak")));
        QVERIFY(m.failedWhileAway(QStringLiteral("b.pak")));
        QVERIFY2(m.failureReason(QStringLiteral("b.pak")).contains(QLatin1String("away")),
                 qPrintable(m.failureReason(QStringLiteral("b.pak"))));
    }

    // A process that cannot get memory for a piece buffer ends the run with write errors that name
    // the memory, instead of waiting for a buffer without end.
    void noMemoryForBuffersEndsTheRunWithWriteErrors() {
        publish(QStringLiteral("a.pak"), 9 * MiB, 36);
        publish(QStringLiteral("b.pak"), 1000, 37);
        PieceBufferPool::setFailingAllocations(true);
        const auto restore = qScopeGuard([] { PieceBufferPool::setFailingAllocations(false); });
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"a.pak", "b.pak"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 20000);
        QCOMPARE_RESULTS(rec, {"a.pak", WriteError}, {"b.pak", WriteError});
        QVERIFY2(m.failureReason(QStringLiteral("a.pak")).contains(QLatin1String("memory")),
                 qPrintable(m.failureReason(QStringLiteral("a.pak"))));
        QCOMPARE(server.requestCount("/cdn/v1_a.pak"), 0);
    }

    void pauseAndResumeLoseAndRepeatNothing() {
        const QByteArray a = publish(QStringLiteral("a.pak"), 13 * MiB + 5, 13);
        const QByteArray b = publish(QStringLiteral("b.pak"), 3 * MiB, 14);
        throttle("/cdn/v1_a.pak", 400 * 1024);
        throttle("/cdn/v1_b.pak", 400 * 1024);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"a.pak", "b.pak"});
        m.start();

        QTRY_VERIFY_WITH_TIMEOUT(m.bufferedBytes() > 2 * MiB, 30000);
        m.pause();
        QVERIFY(m.isPaused());
        // First byte the next request of each piece (path, first byte of the piece) must ask for.
        QHash<QPair<QByteArray, qint64>, qint64> resumeAt;
        for (int i = 0; i < XDManager::DownloaderCount; ++i) {
            const TaskPieceDownloader *d = m.downloader(i);
            QVERIFY(!d->isRequesting());
            if (const DownloadTaskPiece *p = d->currentTask()) {
                const QByteArray path = "/cdn/" + p->downloadTask->remotePath.toUtf8();
                resumeAt.insert({path, p->begin()}, p->begin() + d->receivedBytes());
            }
        }
        QVERIFY(!resumeAt.isEmpty());
        const qint64 buffered = m.bufferedBytes();
        const int requestsBefore = server.requestCount();
        QTest::qWait(600);
        QCOMPARE(m.bufferedBytes(), buffered);
        QCOMPARE(server.requestCount(), requestsBefore);

        server.clearFaults();
        m.resume();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 60000);
        const QList<HttpServer::Request> requests = server.requests().mid(requestsBefore);
        int resumed = 0;
        for (const HttpServer::Request &r : requests) {
            const qint64 start = r.rangeStart();
            const QPair<QByteArray, qint64> key(r.path, start / DownloadTaskPiece::PieceSize *
                                                            DownloadTaskPiece::PieceSize);
            if (resumeAt.contains(key) && resumeAt.value(key) != key.second) {
                QCOMPARE(start, resumeAt.value(key));
                ++resumed;
            }
        }
        QVERIFY(resumed > 0);
        QCOMPARE_RESULTS(rec, {"a.pak", NoError}, {"b.pak", NoError});
        QVERIFY(onDisk(QStringLiteral("a.pak")) == a);
        QVERIFY(onDisk(QStringLiteral("b.pak")) == b);
    }

    void progressCountsEveryByteOnce() {
        const QByteArray content = publish(QStringLiteral("p.pak"), 18 * MiB, 15);
        throttle("/cdn/v1_p.pak", 1500 * 1024);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("p.pak"));
        bool overCounted = false;
        bool sawBoth = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            const RemoteFileInfo e = VersionTable::instance().value(QStringLiteral("p.pak"));
            const qint64 committed = m.bufferedBytes() + e.downloadedBytes;
            overCounted |= committed > content.size();
            sawBoth |= m.bufferedBytes() > 0 && e.downloadedBytes > 0;
        });
        watch.start(2);
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 60000);
        QVERIFY(!overCounted);
        QVERIFY(sawBoth);
        QCOMPARE(m.bufferedBytes(), qint64(0));
    }

    void emptyTinyAndUnknownFiles() {
        putTableEntry(QStringLiteral("empty.txt"), QStringLiteral("1"), QByteArray());
        const QByteArray one = publish(QStringLiteral("one.bin"), 1, 16);
        putTableEntry(QStringLiteral("empty-bad.txt"), QStringLiteral("1"), QByteArray());
        VersionTable::instance()[QStringLiteral("empty-bad.txt")].md5 = md5Hex("x");
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"empty.txt", "missing.zip", "one.bin", "empty-bad.txt"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 20000);
        QCOMPARE_RESULTS(rec, {"empty.txt", NoError}, {"missing.zip", NetworkError});
        QCOMPARE(m.failureReason(QStringLiteral("missing.zip")),
                 QStringLiteral("\"missing.zip\" is not in the version file"));
        QCOMPARE_RESULTS(rec, {"one.bin", NoError}, {"empty-bad.txt", VerifyError});
        QCOMPARE(rec.events.count(QStringLiteral("all")), 1);
        QCOMPARE(rec.events.last(), QStringLiteral("all"));
        QVERIFY(!VersionTable::instance().contains(QStringLiteral("missing.zip")));
        QCOMPARE(dirEntries(), QStringList({"empty.txt", "one.bin"}));
        QCOMPARE(onDisk(QStringLiteral("empty.txt")), QByteArray());
        QVERIFY(onDisk(QStringLiteral("one.bin")) == one);
        const QList<HttpServer::Request> requests = server.requestsFor("/cdn/v1_one.bin");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.at(0).range(), QByteArray("bytes=0-0"));
        QCOMPARE(server.requestCount(), 1);
    }

    void runOfNothingEndsAfterStartReturns() {
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("missing.zip"));
        m.start();
        QCOMPARE(rec.events, QStringList({"begin missing.zip", "end 2 missing.zip", "start"}));
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 5000);
        QTest::qWait(100);
        QCOMPARE(rec.runEnds, 1);
    }

    void unwritableTargetGivesWriteError() {
        const QByteArray content = publish(QStringLiteral("a.zip"), 5 * MiB, 17);
        const QByteArray b = publish(QStringLiteral("b.zip"), MiB, 18);
        // A directory where the file should go cannot be replaced.
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("a.zip")));
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"a.zip", "b.zip"});
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE_RESULTS(rec, {"a.zip", WriteError}, {"b.zip", NoError});
        QVERIFY2(m.failureReason(QStringLiteral("a.zip")).contains(dir->filePath(QStringLiteral("a.zip"))),
                 qPrintable(m.failureReason(QStringLiteral("a.zip"))));
        QVERIFY(QFileInfo(dir->filePath(QStringLiteral("a.zip"))).isDir());
        // The verified download stays, with its record, to take the name once it can.
        QCOMPARE(dirEntries(),
                 QStringList({"a.zip", "a.zip.kestrivane-download", "a.zip.kestrivane-resume", "b.zip"}));
    }

    void readOnlyDirectoryGivesWriteError() {
        const QByteArray content = publish(QStringLiteral("a.zip"), 5 * MiB, 19);
        QFile::setPermissions(dir->path(),
                              QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser);
        // Root ignores the mode bits; an immutable directory refuses new files even to root.
        bool immutable = false;
        const auto setImmutable = [&](bool on) {
            QProcess chattr;
            chattr.start(QStringLiteral("chattr"),
                         {on ? QStringLiteral("+i") : QStringLiteral("-i"), dir->path()});
            return chattr.waitForFinished(10000) && chattr.exitStatus() == QProcess::NormalExit &&
                   chattr.exitCode() == 0;
        };
        const auto writable = [&] {
            QFile probe(dir->filePath(QStringLiteral("probe")));
            if (!probe.open(QIODevice::WriteOnly))
                return false;
            probe.remove();
            return true;
        };
        const auto restore = [&] {
            if (immutable)
                setImmutable(false);
            QFile::setPermissions(dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        };
        if (writable()) {
            immutable = setImmutable(true);
            if (!immutable || writable()) {
                restore();
                QSKIP("this user can write into read-only directories");
            }
        }
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("a.zip"));
        m.start();
        const bool ended = QTest::qWaitFor([&] { return rec.runEnds == 1; }, 30000);
        restore();
        QVERIFY(ended);
        QCOMPARE(rec.resultOf(QStringLiteral("a.zip")), WriteError);
        QCOMPARE(dirEntries(), QStringList());
    }

    void missingTargetDirectoryGivesWriteError() {
        publish(QStringLiteral("a.zip"), 2 * MiB, 20);
        XDManager m(dir->filePath(QStringLiteral("gone")));
        Recorder rec(&m);
        queue(m, QStringLiteral("a.zip"));
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.resultOf(QStringLiteral("a.zip")), WriteError);
    }

    void tooManyBytesFailTheFileWithoutGrowing() {
        publish(QStringLiteral("a.pak"), 6 * MiB, 21);
        const QByteArray b = publish(QStringLiteral("b.pak"), 2 * MiB, 22);
        HttpServer::Faults whole;
        whole.ignoreRange = true;
        server.setFaults("/cdn/v1_a.pak", whole);
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, {"a.pak", "b.pak"});
        qint64 most = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] { most = qMax(most, m.bufferedBytes()); });
        watch.start(1);
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 60000);
        QCOMPARE(rec.resultOf(QStringLiteral("a.pak")), NetworkError);
        QCOMPARE(rec.resultCount(QStringLiteral("a.pak")), 1);
        QVERIFY2(m.failureReason(QStringLiteral("a.pak")).contains(QLatin1String("bytes")),
                 qPrintable(m.failureReason(QStringLiteral("a.pak"))));
        QCOMPARE(rec.resultOf(QStringLiteral("b.pak")), NoError);
        QVERIFY(most <= 2 * qint64(DownloadTaskPiece::PieceSize) + 2 * MiB);
        // The first piece is the start of the whole file the server sent: that much is kept.
        QCOMPARE(recordedBytes(QStringLiteral("a.pak")), qint64(DownloadTaskPiece::PieceSize));
        QCOMPARE(dirEntries(),
                 QStringList({"a.pak.kestrivane-download", "a.pak.kestrivane-resume", "b.pak"}));
    }

    void destroyingTheManagerLeavesNoFileUnderItsName() {
        publish(QStringLiteral("a.pak"), 40 * MiB, 23);
        throttle("/cdn/v1_a.pak", 2 * MiB);
        {
            XDManager m(dir->path());
            queue(m, QStringLiteral("a.pak"));
            m.start();
            QTRY_VERIFY_WITH_TIMEOUT(
                VersionTable::instance().value(QStringLiteral("a.pak")).downloadedBytes > 0, 60000);
        }
        // Only what the next run resumes from.
        QCOMPARE(dirEntries(), QStringList({"a.pak.kestrivane-download", "a.pak.kestrivane-resume"}));
        QVERIFY(VersionTable::instance().value(QStringLiteral("a.pak")).data.isEmpty());
    }

    void onlyTheLaunchersOwnLeftoversAreRemoved() {
        const QByteArray content = publish(QStringLiteral("data"), MiB, 24);
        // A player's copies beside a listed file, whatever they look like, and the leftover of a
        // killed download of another file, stay; the leftover of this file's download goes.
        const QStringList strays = {QStringLiteral("data.backup"), QStringLiteral("data.Ab12Cd"),
                                    QStringLiteral("other.kestrivane-download")};
        for (const QString &name : strays + QStringList{QStringLiteral("data.kestrivane-download"),
                                                        QStringLiteral("data.kestrivane-resume.Ab12Cd")}) {
            QFile f(dir->filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("left over");
        }
        XDManager m(dir->path());
        Recorder rec(&m);
        queue(m, QStringLiteral("data"));
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.resultOf(QStringLiteral("data")), NoError);
        QVERIFY(onDisk(QStringLiteral("data")) == content);
        for (const QString &name : strays)
            QCOMPARE(onDisk(name), QByteArray("left over"));
        QCOMPARE(dirEntries().size(), strays.size() + 1);
    }

    void writeDataToFileReplacesInOneGo() {
        XDManager m(dir->path());
        QVERIFY(m.writeDataToFile("hello", QStringLiteral("x.txt")));
        QCOMPARE(onDisk(QStringLiteral("x.txt")), QByteArray("hello"));
        QVERIFY(m.writeDataToFile(QByteArray(), QStringLiteral("x.txt")));
        QCOMPARE(onDisk(QStringLiteral("x.txt")), QByteArray());
        QVERIFY(!m.writeDataToFile("x", QStringLiteral("../escape.txt")));
        QVERIFY(!QFile::exists(QDir(dir->path()).filePath(QStringLiteral("../escape.txt"))));
        QCOMPARE(dirEntries(), QStringList({"x.txt"}));
    }

    void namesWithControlCharactersAreRefused() {
        const QStringList bad = {QStringLiteral("a\r.zip"),
                                 QStringLiteral("a.zip\n"),
                                 QStringLiteral("x\r\n[version]\r\nres.zip=9"),
                                 QStringLiteral("tab\t.pak"),
                                 QStringLiteral("del\x7f.pak"),
                                 QStringLiteral("esc\x1b[2J.pak"),
                                 QString::fromUtf8("c1\xc2\x85.pak"),
                                 QString(QChar(0)) + QStringLiteral("a")};
        for (const QString &name : bad) {
            QVERIFY2(!FileNameRules::isSafeFileName(name), qPrintable(name.toUtf8().toHex()));
            RemoteFileInfo info;
            QVERIFY(!VersionTable::parseLine(name + QStringLiteral(":1:00:5"), &info));
        }
        for (const QString &name :
             {QStringLiteral("res.zip"), QStringLiteral("Quelvane.exe"), QStringLiteral("with space.pak"),
              QString::fromUtf8("\xe8\xb5\x84\xe6\xba\x90.zip")})
            QVERIFY2(FileNameRules::isSafeFileName(name), qPrintable(name));

        XDManager m(dir->path());
        QVERIFY(!m.writeDataToFile("x", QStringLiteral("a\r.zip")));
        QVERIFY(!m.writeDataToFile("x", QStringLiteral("a\n.zip")));

        // Entered in the table behind the parser's back, the name is still not fetched nor written,
        // and the run goes on with the next file.
        const QByteArray good = publish(QStringLiteral("good.pak"), MiB, 26);
        const QString crName = QStringLiteral("evil\r.zip");
        server.setFile("/cdn/v1_evil%0D.zip", good);
        putTableEntry(crName, QStringLiteral("1"), good);
        Recorder rec(&m);
        queue(m, crName);
        queue(m, QStringLiteral("good.pak"));
        m.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.runEnds, 1, 30000);
        QCOMPARE(rec.resultOf(crName), WriteError);
        QCOMPARE(rec.resultOf(QStringLiteral("good.pak")), NoError);
        for (const HttpServer::Request &r : server.requests())
            QVERIFY2(r.path.startsWith("/cdn/v1_good.pak"), r.path.constData());
        QCOMPARE(dirEntries(), QStringList({"good.pak"}));
        QCOMPARE(onDisk(QStringLiteral("good.pak")), good);
    }
};

KV_HTTP_TEST_MAIN(QCoreApplication, TestXDManager,
                  {"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/cdn/")})

#include "tst_xdmanager.moc"
