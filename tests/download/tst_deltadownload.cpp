// Files patched from an older copy: only the ranges the copy lacks are fetched, and whatever goes
// wrong with the map, the copy or the partial file, the file that ends up in place is the new one.
#include "download/downloadfixture.h"
#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "download/xdmanager.h"
#include "patch/blockmap.h"
#include "support/httpserver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QByteArray FilePath = "/cdn/v2_res.pak";
const QByteArray MapPath = "/cdn/v2_res.pak.blockmap";

} // namespace

class TestDeltaDownload : public QObject {
    Q_OBJECT

    HttpServer server;
    std::unique_ptr<QTemporaryDir> dir;
    const QString name = QStringLiteral("res.pak");
    QByteArray oldBytes, newBytes, map;

    QString target() const { return dir->filePath(name); }

    struct Run {
        ErrorCode code = ErrorCode(-1);
        qint64 sent = 0; // body bytes of the file and its map
        qint64 reused = -1, fetched = -1;
        qint64 resumedAtQueue = 0, resumedAfterScan = -1;
    };
    Run runToEnd(const QString &oldCopy) {
        Run run;
        const qint64 before = server.bodyBytesSent();
        XDManager m(dir->path());
        connect(&m, &XDManager::fileDownloadFinished, this,
                [&](ErrorCode code, const QString &) { run.code = code; });
        connect(&m, &XDManager::filePatched, this, [&](const QString &, qint64 reused, qint64 fetched) {
            run.reused = reused;
            run.fetched = fetched;
        });
        QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
        m.addFile(QStringLiteral("v2_res.pak"), name, source(oldCopy));
        run.resumedAtQueue = m.resumedBytes(name);
        m.start();
        if (!all.wait(60000))
            qWarning("the run did not end");
        run.sent = server.bodyBytesSent() - before;
        return run;
    }
    DeltaSource source(const QString &oldCopy) const {
        return {oldCopy, QStringLiteral("v2_res.pak.blockmap"), BlockMap::digestHex(map), newBytes.size()};
    }
    void verifyInPlace() {
        QCOMPARE(TestFiles::readFile(target()).size(), newBytes.size());
        QVERIFY(TestFiles::readFile(target()) == newBytes);
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList({name}));
    }

private slots:
    void initTestCase() { QVERIFY(server.listenOnAssignedPort()); }

    void init() {
        QVERIFY(startAfresh(server, dir));
        // The new version: a few changed runs, 100 KiB inserted, 64 KiB deleted; 10 MiB and a bit.
        oldBytes = TestFiles::randomBytes(int(10 * MiB + 3000), 7);
        newBytes = oldBytes;
        for (qint64 at : {qint64(300000), 5 * MiB + 12345, 9 * MiB})
            newBytes.replace(int(at), 5000, TestFiles::randomBytes(5000, quint32(at)));
        newBytes.insert(int(2 * MiB), TestFiles::randomBytes(100 * 1024, 3));
        newBytes.remove(int(7 * MiB), 64 * 1024);
        QVERIFY(TestFiles::writeFile(dir->filePath("new"), newBytes));
        QVERIFY(BlockMap::make(dir->filePath("new"), &map).ok());
        QFile::remove(dir->filePath("new"));
        server.setFile(FilePath, newBytes);
        server.setFile(MapPath, map);
        putTableEntry(name, QStringLiteral("2"), newBytes);
        VersionTable::instance()[name].mapDigest = BlockMap::digestHex(map);
        QVERIFY(TestFiles::writeFile(target(), oldBytes));
    }

    void cleanup() { VersionTable::release(); }

    // The installed copy gives most blocks; the rest is asked for in ranges inside pieces.
    void olderCopyFetchesOnlyChangedRanges() {
        const Run run = runToEnd(target());
        QCOMPARE(run.code, NoError);
        verifyInPlace();
        QCOMPARE(run.reused + run.fetched, qint64(newBytes.size()));
        QCOMPARE(run.sent, map.size() + run.fetched);
        QVERIFY2(run.fetched < 300 * 1024, qPrintable(QString::number(run.fetched)));
        const QList<HttpServer::Request> requests = server.requestsFor(FilePath);
        QVERIFY(!requests.isEmpty());
        bool inside = false;
        for (const HttpServer::Request &r : requests)
            inside = inside || r.rangeStart() % DownloadTaskPiece::PieceSize != 0;
        QVERIFY(inside);
    }

    // Each of these falls back on the whole file (or fewer blocks) and still installs the new bytes.
    void unusableMapOrCopyStillInstallsTheNewFile_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("whole");
        QTest::newRow("tampered map") << QStringLiteral("tampered") << true;
        QTest::newRow("map missing") << QStringLiteral("404") << true;
        QTest::newRow("map too large") << QStringLiteral("large") << true;
        QTest::newRow("no old copy") << QStringLiteral("nocopy") << true;
        QTest::newRow("damaged old copy") << QStringLiteral("damaged") << false;
    }

    void unusableMapOrCopyStillInstallsTheNewFile() {
        QFETCH(QString, fault);
        QFETCH(bool, whole);
        QString oldCopy = target();
        QByteArray served = map;
        if (fault == "tampered") {
            served[served.size() - 1] = char(served.at(served.size() - 1) ^ 1);
            server.setFile(MapPath, served);
        } else if (fault == "404") {
            server.removeFile(MapPath);
        } else if (fault == "large") {
            served = QByteArray(int(BlockMap::MaxMapSize) + 1, 'x');
            server.setFile(MapPath, served);
        } else if (fault == "nocopy") {
            oldCopy = dir->filePath("gone");
        } else {
            // Every other MiB of the old copy is garbage: its blocks are simply not found.
            QByteArray damaged = oldBytes;
            for (int at = 0; at < damaged.size(); at += int(2 * MiB))
                damaged.replace(at, int(MiB), TestFiles::randomBytes(int(MiB), quint32(at + 1)));
            QVERIFY(TestFiles::writeFile(target(), damaged));
        }
        const Run run = runToEnd(oldCopy);
        QCOMPARE(run.code, NoError);
        verifyInPlace();
        if (whole) {
            QCOMPARE(run.reused, qint64(-1)); // not patched
            QVERIFY(run.sent >= newBytes.size());
            QVERIFY(run.sent <= newBytes.size() + served.size());
        } else {
            QVERIFY(run.reused > 2 * MiB);
            QVERIFY(run.fetched > 4 * MiB);
            QCOMPARE(run.sent, map.size() + run.fetched);
        }
    }

    // Closed while fetching: the next run takes up the record without scanning again; a kill
    // during the scan leaves no record, so the next run scans again; reused bytes found damaged
    // on the disk cost one whole fetch.
    void interruptedPatchResumes_data() {
        QTest::addColumn<QString>("after");
        QTest::newRow("as closed") << QStringLiteral("closed");
        QTest::newRow("killed while scanning") << QStringLiteral("scanning");
        QTest::newRow("reused bytes damaged") << QStringLiteral("damaged");
    }

    void interruptedPatchResumes() {
        QFETCH(QString, after);
        HttpServer::Faults hold;
        hold.hold = true;
        server.setFaults(FilePath, hold);
        qint64 reused = 0;
        {
            XDManager m(dir->path());
            m.addFile(QStringLiteral("v2_res.pak"), name, source(target()));
            m.start();
            QTRY_VERIFY_WITH_TIMEOUT(server.heldCount() > 0, 20000);
            reused = m.resumedBytes(name);
        }
        QVERIFY(reused > 9 * MiB);
        ResumeRecord record;
        QVERIFY(ResumeRecord::load(target(), VersionTable::instance().value(name), &record).ok());
        QCOMPARE(record.completeBytes(), reused);
        QCOMPARE(record.reusedBytes(), reused);
        QCOMPARE(record.mapDigest(), BlockMap::digestHex(map));
        server.clearFaults();
        server.clearRequests();

        if (after == "scanning") {
            QVERIFY(QFile::remove(ResumeRecord::recordPath(target())));
        } else if (after == "damaged") {
            QFile partial(ResumeRecord::partialPath(target()));
            QVERIFY(partial.open(QIODevice::ReadWrite));
            QVERIFY(partial.seek(10));
            QCOMPARE(partial.write("damage"), qint64(6));
        }
        const Run run = runToEnd(target());
        QCOMPARE(run.code, NoError);
        verifyInPlace();
        if (after != "damaged")
            QCOMPARE(run.reused + run.fetched, qint64(newBytes.size()));
        // The engine's own counts decide: a request the closed manager had sent may still be
        // answered into its dead socket, so the server's count can be higher.
        if (after == "closed") {
            QCOMPARE(run.resumedAtQueue, reused);
            QCOMPARE(server.requestCount(MapPath), 0);
            QCOMPARE(run.fetched, newBytes.size() - reused);
            QVERIFY(run.sent >= run.fetched);
        } else if (after == "scanning") {
            QCOMPARE(run.resumedAtQueue, qint64(0));
            QCOMPARE(server.requestCount(MapPath), 1);
            QCOMPARE(run.fetched, newBytes.size() - reused);
            QVERIFY(run.sent >= map.size() + run.fetched);
        } else {
            QCOMPARE(run.reused, qint64(-1)); // fetched whole in the end
            QVERIFY(run.sent >= newBytes.size() - reused + newBytes.size());
        }
    }
};

KV_HTTP_TEST_MAIN(QCoreApplication, TestDeltaDownload,
                  {"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/cdn/")})
#include "tst_deltadownload.moc"
