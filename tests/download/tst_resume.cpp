// An unfinished download keeps its pieces on disk with a record of them; the next run fetches only
// what is missing, and whatever the disk was left with, the file that ends up in place verifies.
#include "download/downloadfixture.h"
#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "download/taskpiecedownloader.h"
#include "download/xdmanager.h"
#include "support/diskfaults.h"
#include "support/httpserver.h"
#include "support/teststep.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 Piece = DownloadTaskPiece::PieceSize;

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeAll(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

} // namespace

class TestResume : public QObject {
    Q_OBJECT

    HttpServer server;
    std::unique_ptr<QTemporaryDir> dir;
    QString folder; // where the file goes: the temporary dir, or a small disk mounted in it
    QByteArray content;
    const QString name = QStringLiteral("res.pak");

    QString target() const { return folder + QLatin1Char('/') + name; }
    RemoteFileInfo listed() const { return VersionTable::instance().value(name); }
    int recordedPieces() const {
        ResumeRecord r;
        return ResumeRecord::load(target(), listed(), &r).ok() ? r.completeCount() : -1;
    }
    // Lets the held pieces from..to-1 through and waits until the record lists `to` pieces.
    bool releaseUntilRecorded(int from, int to) {
        for (int k = from; k < to; ++k)
            server.release("/cdn/v1_res.pak", k * Piece);
        return QTest::qWaitFor([&] { return recordedPieces() == to; }, 20000);
    }

    // One manager run for the file to its end: the code it ended with, and the body bytes sent.
    struct Run {
        ErrorCode code = ErrorCode(-1);
        int ends = 0;
        int starts = 0;
        qint64 sent = 0;
        qint64 resumedAtQueue = 0;
    };
    Run runToEnd() {
        Run run;
        const qint64 before = server.bodyBytesSent();
        XDManager m(folder);
        connect(&m, &XDManager::fileDownloadingStart, this, [&] { ++run.starts; });
        connect(&m, &XDManager::fileDownloadFinished, this, [&](ErrorCode code, const QString &) {
            run.code = code;
            ++run.ends;
        });
        QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
        m.addFile(QStringLiteral("v1_") + name, name);
        run.resumedAtQueue = m.resumedBytes();
        m.start();
        if (!all.wait(60000))
            qWarning("the run did not end");
        run.sent = server.bodyBytesSent() - before;
        return run;
    }
    // The file is in place with its content and nothing of the download is left beside it.
    void verifyInPlace() {
        QVERIFY(!QFileInfo(target()).isSymLink());
        QVERIFY(readAll(target()) == content);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList({name}));
    }
    void plant(const QByteArray &partial, const ResumeRecord &record) {
        writeAll(ResumeRecord::partialPath(target()), partial);
        writeAll(ResumeRecord::recordPath(target()), record.toBytes());
    }

private slots:
    void initTestCase() { QVERIFY(server.listenOnAssignedPort()); }

    void init() {
        QVERIFY(startAfresh(server, dir));
        folder = dir->path();
        content = patternBytes(12 * Piece - 1000, 31);
        server.setFile("/cdn/v1_res.pak", content);
        putTableEntry(name, QStringLiteral("1"), content);
    }

    void cleanup() { VersionTable::release(); }

    // Closed with six pieces recorded and four in flight; the state three pieces earlier is kept
    // aside as a power cut could leave it (an older record, an older or newer tail of the file).
    void interruptedDownloadResumesFromWhatIsOnDisk() {
        HttpServer::Faults hold;
        hold.hold = true;
        server.setFaults("/cdn/v1_res.pak", hold);
        QByteArray earlyPartial, earlyRecord;
        {
            XDManager m(dir->path());
            // Held answers must outlast a slow machine (wine): no limit may end them and send the
            // request again past the release.
            m.setTransferTimeout(600000);
            m.setLowSpeedLimit(0, 600000);
            m.addFile(QStringLiteral("v1_res.pak"), name);
            m.start();
            QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), XDManager::DownloaderCount, 20000);
            QVERIFY(releaseUntilRecorded(0, 3));
            earlyPartial = readAll(ResumeRecord::partialPath(target()));
            earlyRecord = readAll(ResumeRecord::recordPath(target()));
            QVERIFY(releaseUntilRecorded(3, 6));
        }
        // Only the pieces in flight at the close are missing; nothing is under the file's name.
        QCOMPARE(recordedPieces(), 6);
        QVERIFY(!QFile::exists(target()));
        server.clearFaults();
        const QByteArray latePartial = readAll(ResumeRecord::partialPath(target()));
        const QByteArray lateRecord = readAll(ResumeRecord::recordPath(target()));

        struct Case {
            const char *what;
            QByteArray partial, record;
            qint64 pieces; // left on disk and not fetched again; -1: whatever it takes
        };
        const QList<Case> cases = {{"as closed", latePartial, lateRecord, 6},
                                   {"older record, newer tail", latePartial, earlyRecord, 3},
                                   {"older record, older tail", earlyPartial, earlyRecord, 3},
                                   {"newer record, older tail", earlyPartial, lateRecord, -1}};
        for (const Case &c : cases) {
            QFile::remove(target());
            writeAll(ResumeRecord::partialPath(target()), c.partial);
            writeAll(ResumeRecord::recordPath(target()), c.record);
            const Run run = runToEnd();
            QVERIFY2(run.code == NoError, c.what);
            QCOMPARE(run.ends, 1);
            QCOMPARE(run.starts, 1);
            if (c.pieces >= 0) {
                QCOMPARE(run.resumedAtQueue, c.pieces * Piece);
                QCOMPARE(run.sent, content.size() - c.pieces * Piece);
            }
            verifyInPlace();
        }
    }

    // Closed (or paused, then closed) while ten pieces are under way on a slow line: what arrived of
    // them is on the disk and recorded, and the next run asks only for the rest of each piece.
    void closingMidPieceKeepsWhatArrived_data() {
        addBoolRows("pauseFirst", "closed while fetching", "paused, then closed");
    }

    void closingMidPieceKeepsWhatArrived() {
        QFETCH(bool, pauseFirst);
        const qint64 sentBefore = server.bodyBytesSent();
        HttpServer::Faults slow;
        slow.bytesPerSecond = 512 * 1024;
        server.setFaults("/cdn/v1_res.pak", slow);
        qint64 shown = 0;
        {
            XDManager m(folder);
            m.addFile(QStringLiteral("v1_res.pak"), name);
            m.start();
            // About half of every piece under way, none of them whole.
            QTRY_VERIFY_WITH_TIMEOUT(m.bufferedBytes() >= 10 * 1024 * 1024, 30000);
            if (pauseFirst)
                m.pause();
            shown = m.bufferedBytes() + listed().downloadedBytes;
        }
        // Whatever the server still sent into the closed connections counts as fetched.
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 20000);
        const qint64 sentFirst = server.bodyBytesSent() - sentBefore;
        server.clearFaults();
        ResumeRecord kept;
        QVERIFY(ResumeRecord::load(target(), listed(), &kept).ok());
        QVERIFY2(kept.completeBytes() >= shown * 95 / 100,
                 qPrintable(QStringLiteral("%1 of %2 shown").arg(kept.completeBytes()).arg(shown)));
        const Run run = runToEnd();
        QCOMPARE(run.code, NoError);
        QCOMPARE(run.resumedAtQueue, kept.completeBytes());
        // Fetched twice: only what was on its way at the close.
        const qint64 twice = sentFirst + run.sent - content.size();
        qInfo("closed at %lld bytes shown of %d: %lld kept (%.1f %%), %lld bytes fetched twice", shown,
              content.size(), kept.completeBytes(), 100.0 * double(kept.completeBytes()) / double(shown),
              twice);
        QVERIFY2(twice <= XDManager::DownloaderCount * 64 * 1024, qPrintable(QString::number(twice)));
        verifyInPlace();
    }

    // A piece takes long on a slow line: what arrived of it is recorded about every second, so
    // that a kill loses little of it.
    void piecesUnderWayAreRecordedAsTheyArrive() {
        HttpServer::Faults slow;
        slow.bytesPerSecond = 128 * 1024;
        server.setFaults("/cdn/v1_res.pak", slow);
        XDManager m(folder);
        m.addFile(QStringLiteral("v1_res.pak"), name);
        m.start();
        const auto recorded = [this] {
            ResumeRecord r;
            return ResumeRecord::load(target(), listed(), &r).ok() ? r.completeBytes() : -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(recorded() >= 10 * 128 * 1024, 20000);
        // No piece is whole yet: these are the pieces under way.
        QCOMPARE(recordedPieces(), 0);
        QVERIFY(recorded() <= m.bufferedBytes());
        m.pause();
        // The slow answers end before the next case counts what is sent.
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 20000);
    }

    void unusableRecordsAreDiscarded_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("partialPieces");
        QTest::addColumn<QByteArray>("garble");
        const QString v = QStringLiteral("1");
        const QString md5 = md5Hex(patternBytes(12 * Piece - 1000, 31));
        const qint64 size = 12 * Piece - 1000;
        QTest::newRow("other version") << QStringLiteral("0") << md5 << size << 2 << QByteArray();
        QTest::newRow("other md5") << v << md5Hex("x") << size << 2 << QByteArray();
        QTest::newRow("other size") << v << md5 << size - 1 << 2 << QByteArray();
        QTest::newRow("partial shorter than claimed") << v << md5 << size << 1 << QByteArray();
        QTest::newRow("garbage") << v << md5 << size << 2 << QByteArray("{\"format\":1,\"pieces\":");
        QTest::newRow("too large") << v << md5 << size << 2
                                   << QByteArray(ResumeRecord::MaxRecordSize + 1, ' ');
        QTest::newRow("partial without record") << v << md5 << size << 2 << QByteArray("-");
    }

    void unusableRecordsAreDiscarded() {
        QFETCH(QString, version);
        QFETCH(QString, md5);
        QFETCH(qint64, size);
        QFETCH(int, partialPieces);
        QFETCH(QByteArray, garble);
        ResumeRecord r(name, version, size, md5);
        r.setComplete(0);
        r.setComplete(1);
        writeAll(ResumeRecord::partialPath(target()), content.left(int(partialPieces * Piece)));
        if (garble == "-")
            QFile::remove(ResumeRecord::recordPath(target()));
        else
            writeAll(ResumeRecord::recordPath(target()), garble.isEmpty() ? r.toBytes() : garble);

        const Run run = runToEnd();
        QCOMPARE(run.code, NoError);
        QCOMPARE(run.resumedAtQueue, qint64(0));
        QCOMPARE(run.sent, qint64(content.size()));
        verifyInPlace();
    }

    // A record that matches but pieces whose bytes are not the file's: the digest at the end
    // tells, and the whole file is fetched again, once.
    void resumedBytesThatFailTheDigestAreFetchedWholeOnce() {
        ResumeRecord r(name, QStringLiteral("1"), content.size(), md5Hex(content));
        r.setComplete(0);
        r.setComplete(1);
        QByteArray partial = content.left(int(2 * Piece));
        partial[int(Piece + 5)] = char(partial.at(int(Piece + 5)) ^ 1);
        writeAll(ResumeRecord::partialPath(target()), partial);
        writeAll(ResumeRecord::recordPath(target()), r.toBytes());

        Run run = runToEnd();
        QCOMPARE(run.code, NoError);
        QCOMPARE(run.starts, 1);
        QCOMPARE(run.ends, 1);
        QCOMPARE(run.sent, content.size() - 2 * Piece + content.size());
        verifyInPlace();

        // Listed with a digest no bytes have: the second failure ends the file.
        VersionTable::instance()[name].md5 = md5Hex("other");
        QFile::remove(target());
        r = ResumeRecord(name, QStringLiteral("1"), content.size(), md5Hex("other"));
        r.setComplete(0);
        writeAll(ResumeRecord::partialPath(target()), content.left(int(Piece)));
        writeAll(ResumeRecord::recordPath(target()), r.toBytes());
        run = runToEnd();
        QCOMPARE(run.code, VerifyError);
        QCOMPARE(run.ends, 1);
        QCOMPARE(run.sent, content.size() - Piece + content.size());
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
    // Whatever lies beyond the listed size (a stale tail, a second archive appended) is never
    // installed: the file in place has exactly the listed bytes.
    void bytesBeyondTheListedSizeAreNotInstalled() {
        const QByteArray tail = QByteArray("PK\x03\x04") + patternBytes(70000, 5);
        ResumeRecord all(name, QStringLiteral("1"), content.size(), md5Hex(content));
        for (int k = 0; k < all.pieceCount(); ++k)
            all.setComplete(k);
        ResumeRecord two(name, QStringLiteral("1"), content.size(), md5Hex(content));
        two.setComplete(0);
        two.setComplete(1);
        const struct {
            const char *what;
            ResumeRecord record;
            qint64 sent;
        } cases[] = {{"every piece recorded", all, 0},
                     {"two pieces recorded", two, content.size() - 2 * Piece}};
        for (const auto &c : cases) {
            QFile::remove(target());
            plant(content + tail, c.record);
            const Run run = runToEnd();
            QVERIFY2(run.code == NoError, c.what);
            QCOMPARE(run.sent, c.sent);
            verifyInPlace();
        }
    }

    // A leftover that is a link is removed (the link, not what it points to) and never written or
    // read through; the file is fetched afresh and ends up in place as a plain file.
    void leftoversThatAreLinksAreNotFollowed_data() {
        QTest::addColumn<QString>("linked"); // the leftover that is a link
        QTest::addColumn<bool>("dangling");  // to nothing, and no record beside it
        QTest::newRow("partial file links outside") << QString(ResumeRecord::PartialSuffix) << false;
        QTest::newRow("partial file links to nothing") << QString(ResumeRecord::PartialSuffix) << true;
        QTest::newRow("record links outside") << QString(ResumeRecord::RecordSuffix) << false;
    }

    void leftoversThatAreLinksAreNotFollowed() {
        QFETCH(QString, linked);
        QFETCH(bool, dangling);
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        const QString outside = elsewhere.filePath(QStringLiteral("victim"));
        ResumeRecord r(name, QStringLiteral("1"), content.size(), md5Hex(content));
        r.setComplete(0);
        r.setComplete(1);
        const QByteArray planted =
            linked == ResumeRecord::RecordSuffix ? r.toBytes() : content.left(int(2 * Piece));
        if (!dangling)
            writeAll(outside, planted);
        plant(content.left(int(2 * Piece)), r);
        if (dangling)
            QFile::remove(ResumeRecord::recordPath(target()));
        QFile::remove(target() + linked);
        QVERIFY(QFile::link(outside, target() + linked));

        const Run run = runToEnd();
        QCOMPARE(run.code, NoError);
        QCOMPARE(run.resumedAtQueue, qint64(0));
        QCOMPARE(run.sent, qint64(content.size()));
        verifyInPlace();
        QCOMPARE(QFileInfo::exists(outside), !dangling);
        if (!dangling)
            QVERIFY(readAll(outside) == planted);
    }

    // A disk that fills up: fetching stops at the first failed write, the pieces recorded so far
    // stay with their record, and once there is room the next run fetches only the rest.
    void fullDiskKeepsRecordedPiecesForTheNextRun() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        folder = dir->filePath(QStringLiteral("disk"));
        QString why;
        QVERIFY2(DiskFaults::mountSmallDisk(folder, 12 * Piece + 2 * 1024 * 1024, &why), qPrintable(why));
        const auto unmount = qScopeGuard([this] { DiskFaults::unmount(folder); });
        // Room for two pieces, the record and half a piece.
        const QString filler = folder + QStringLiteral("/filler");
        writeAll(filler, QByteArray(int(10 * Piece), 'f'));
        HttpServer::Faults hold;
        hold.hold = true;
        server.setFaults("/cdn/v1_res.pak", hold);
        server.clearRequests();
        {
            XDManager m(folder);
            QSignalSpy ended(&m, &XDManager::fileDownloadFinished);
            QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
            m.addFile(QStringLiteral("v1_res.pak"), name);
            m.start();
            QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), XDManager::DownloaderCount, 20000);
            QVERIFY(releaseUntilRecorded(0, 2));
            const int requested = server.requestCount("/cdn/v1_res.pak");
            server.release("/cdn/v1_res.pak", 2 * Piece);
            // Seven pieces are still held back: only the failed write can end the file.
            QTRY_COMPARE_WITH_TIMEOUT(all.count(), 1, 20000);
            QCOMPARE(ended.count(), 1);
            QCOMPARE(ended.at(0).at(0).value<ErrorCode>(), WriteError);
            const QString reason = m.failureReason(name);
            QVERIFY2(reason.contains(QLatin1String("full")) && reason.contains(QLatin1String("more bytes")),
                     qPrintable(reason));
            for (int i = 0; i < XDManager::DownloaderCount; ++i)
                QCOMPARE(m.downloader(i)->state(), TaskPieceDownloader::State::Idle);
            server.release();
            QCOMPARE(server.requestCount("/cdn/v1_res.pak"), requested);
        }
        QCOMPARE(recordedPieces(), 2);
        server.clearFaults();
        QVERIFY(QFile::remove(filler));
        const Run run = runToEnd();
        QCOMPARE(run.code, NoError);
        QCOMPARE(run.resumedAtQueue, 2 * Piece);
        QCOMPARE(run.sent, content.size() - 2 * Piece);
        verifyInPlace();
    }

    // A verified file whose old copy cannot be replaced (held by the game or a scanner) is kept:
    // the move is retried within the run, and the next run puts it in place without fetching.
    void verifiedFileThatCannotTakeItsNameIsKept() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        QString why;
        writeAll(target(), "old");
        QVERIFY2(DiskFaults::holdFile(target(), &why), qPrintable(why));
        auto release = qScopeGuard([this] { DiskFaults::unmount(target()); });
        {
            // Let go after the first attempt: the file goes in place in the same run.
            XDManager m(folder);
            QSignalSpy ended(&m, &XDManager::fileDownloadFinished);
            m.addFile(QStringLiteral("v1_res.pak"), name);
            m.start();
            QTRY_VERIFY_WITH_TIMEOUT(!m.failureReason(name).isEmpty(), 30000);
            QCOMPARE(ended.count(), 0);
            QCOMPARE(recordedPieces(), 12);
            QVERIFY(readAll(target()) == "old");
            QVERIFY(DiskFaults::unmount(target()));
            QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
            QCOMPARE(ended.at(0).at(0).value<ErrorCode>(), NoError);
        }
        verifyInPlace();

        // Held for good: the run ends with WriteError, the next one fetches nothing.
        writeAll(target(), "old");
        QVERIFY2(DiskFaults::holdFile(target(), &why), qPrintable(why));
        Run run = runToEnd();
        QCOMPARE(run.code, WriteError);
        QVERIFY(readAll(target()) == "old");
        QCOMPARE(recordedPieces(), 12);
        release.dismiss();
        QVERIFY(DiskFaults::unmount(target()));
        server.clearRequests();
        run = runToEnd();
        QCOMPARE(run.code, NoError);
        QCOMPARE(run.sent, qint64(0));
        QCOMPARE(server.requestCount(), 0);
        verifyInPlace();
    }
};

KV_HTTP_TEST_MAIN(QCoreApplication, TestResume,
                  {"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/cdn/")})

#include "tst_resume.moc"
