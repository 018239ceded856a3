// An unfinished download keeps its pieces on disk with a record of them; the next run fetches only
// what is missing, and whatever the disk was left with, the file that ends up in place verifies.
#include "download/downloadfixture.h"
#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "download/xdmanager.h"
#include "support/httpserver.h"

#include <QDir>
#include <QFile>
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
    QByteArray content;
    const QString name = QStringLiteral("res.pak");

    QString target() const { return dir->filePath(name); }
    RemoteFileInfo listed() const { return VersionTable::instance().value(name); }
    int recordedPieces() const {
        ResumeRecord r;
        return ResumeRecord::load(target(), listed(), &r).ok() ? r.completeCount() : -1;
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
        XDManager m(dir->path());
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
        QVERIFY(readAll(target()) == content);
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList({name}));
    }

private slots:
    void initTestCase() { QVERIFY(server.listenOnAssignedPort()); }

    void init() {
        server.clearFaults();
        VersionTable::release();
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
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
            m.addFile(QStringLiteral("v1_res.pak"), name);
            m.start();
            QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), XDManager::DownloaderCount, 20000);
            for (int k = 0; k < 3; ++k)
                server.release("/cdn/v1_res.pak", k * Piece);
            QTRY_COMPARE_WITH_TIMEOUT(recordedPieces(), 3, 20000);
            earlyPartial = readAll(ResumeRecord::partialPath(target()));
            earlyRecord = readAll(ResumeRecord::recordPath(target()));
            for (int k = 3; k < 6; ++k)
                server.release("/cdn/v1_res.pak", k * Piece);
            QTRY_COMPARE_WITH_TIMEOUT(recordedPieces(), 6, 20000);
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
};

KV_HTTP_TEST_MAIN(QCoreApplication, TestResume,
                  {"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/cdn/")})

#include "tst_resume.moc"
