// Where the host chooser sends a connection: kept, pinned and lacking hosts, failed attempts, the
// end game's takeover and a wrong file, decided without a request being made.
#include "download/cdnhosts.h"
#include "download/downloadtaskpiece.h"
#include "download/fetchedfile.h"
#include "download/hostchooser.h"
#include "download/piecebuffer.h"
#include "download/piececonnection.h"

#include <QtTest>

#include <memory>

namespace {

const QString A = QStringLiteral("http://a.test/cdn/");
const QString B = QStringLiteral("http://b.test/cdn/");
const QString C = QStringLiteral("http://c.test/cdn/");

// One file with one piece, held by its own connection; no request is made (the piece has no buffer).
struct Piece {
    FetchedFile::Run run;
    DownloadTask task{QStringLiteral("v1_f.bin"), QStringLiteral("f.bin")};
    FetchedFile file{task, &run};
    DownloadTaskPiece piece;
    PieceConnection connection;

    Piece() {
        piece.downloadTask = &task;
        piece.file = &file;
        piece.end = DownloadTaskPiece::PieceSize - 1;
    }
    ~Piece() { connection.drop(); }
    // On `host` already, as the chooser put it there.
    void holding(CdnHosts &hosts, const QString &host) {
        connection.hosts.held = host;
        hosts.hold(host);
        connection.downloader()->setBaseUrl(host);
    }
};

} // namespace

class TestHostChooser : public QObject {
    Q_OBJECT

private slots:
    void holdsTheRightHost_data() {
        QTest::addColumn<QString>("held");
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<QStringList>("lacking");
        QTest::addColumn<QString>("expected");
        QTest::newRow("keeps to its host") << B << QString() << QStringList() << B;
        QTest::newRow("the pinned host wins") << A << B << QStringList() << B;
        QTest::newRow("leaves a host that lacks the file") << A << QString() << QStringList{A} << B;
        QTest::newRow("a pinned host that lacks the file is not asked") << A << B << QStringList{B} << A;
    }
    void holdsTheRightHost() {
        QFETCH(QString, held);
        QFETCH(QString, pinned);
        QFETCH(QStringList, lacking);
        QFETCH(QString, expected);
        CdnHosts hosts({A, B});
        HostChooser chooser(&hosts);
        Piece p;
        p.holding(hosts, held);
        p.file.hosts.pinned = pinned;
        p.file.hosts.lacking = lacking;
        chooser.hold(p.connection, &p.file.hosts);
        QCOMPARE(p.connection.host(), expected);
        QCOMPARE(p.connection.hosts.held, expected);
        chooser.release(p.connection);
        QVERIFY(p.connection.hosts.held.isEmpty());
    }

    // A failed attempt moves the piece to a host it has not failed on; a 4xx marks the file as
    // lacking there; once every host said 4xx the rules decide, waiting it out while one may be away.
    void failedAttempts() {
        using Failure = TaskPieceDownloader::Failure;
        using Retry = TaskPieceDownloader::Retry;
        CdnHosts hosts({A, B, C});
        HostChooser chooser(&hosts);
        Piece p;
        p.holding(hosts, A);

        QCOMPARE(chooser.attemptFailed(p.connection, &p.file.hosts, Failure::Outage, false),
                 Retry::OtherHost);
        const QString second = p.connection.host();
        QVERIFY(second != A);
        QCOMPARE(p.connection.hosts.tried, QStringList{A});
        QVERIFY(p.file.hosts.lacking.isEmpty());

        QCOMPARE(chooser.attemptFailed(p.connection, &p.file.hosts, Failure::Permanent, false),
                 Retry::OtherHost);
        QCOMPARE(p.file.hosts.lacking, QStringList{second});
        const QString third = p.connection.host();
        QVERIFY(third != A && third != second);

        // Every host tried: A failed for want of an answer, so it may have the file after all.
        QCOMPARE(chooser.attemptFailed(p.connection, &p.file.hosts, Failure::Permanent, false),
                 Retry::AsOutage);
        QVERIFY(p.connection.hosts.tried.isEmpty());
        QCOMPARE(p.file.hosts.lacking.size(), 2);
    }

    // At the end of a run, an idle connection on the fastest host takes over the piece a slow host
    // has sent nothing of; not a piece pinned to its host, nor one taken over once already.
    void takesOverSlowPieces_data() {
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<bool>("takenOver");
        QTest::addColumn<bool>("expected");
        QTest::newRow("slow piece") << false << false << true;
        QTest::newRow("pinned file") << true << false << false;
        QTest::newRow("taken over before") << false << true << false;
    }
    void takesOverSlowPieces() {
        QFETCH(bool, pinned);
        QFETCH(bool, takenOver);
        QFETCH(bool, expected);
        CdnHosts hosts({A, B});
        HostChooser chooser(&hosts);
        chooser.pieceTimed(A, DownloadTaskPiece::PieceSize, 100);
        Piece slow;
        slow.holding(hosts, B);
        slow.connection.take(&slow.piece, PieceBuffer());
        slow.piece.takenOver = takenOver;
        if (pinned)
            slow.file.hosts.pinned = B;
        QTRY_VERIFY_WITH_TIMEOUT(slow.connection.msOn(&slow.piece) >= HostChooser::TakeOverAfterMs, 5000);

        QString fast;
        PieceConnection *found = chooser.slowPiece({&slow.connection}, &fast);
        QCOMPARE(found != nullptr, expected);
        if (!expected)
            return;
        QCOMPARE(fast, A);
        // Nothing at all came: the slow host counts a failed request.
        QVERIFY(hosts.mayBeAway(B));
        Piece idle;
        chooser.moveTo(idle.connection, fast);
        QCOMPARE(idle.connection.host(), A);
    }

    // A file that fails its MD5: the one host that served all of it is left out, unless bytes of an
    // earlier run were part of it; the file is fetched again from a host that did not serve it.
    void judgesWrongBytes_data() {
        QTest::addColumn<QStringList>("servedBy");
        QTest::addColumn<bool>("resumed");
        QTest::addColumn<bool>("leftOut");
        QTest::addColumn<QString>("again");
        QTest::newRow("one host, nothing resumed") << QStringList{A} << false << true << B;
        QTest::newRow("one host and an earlier run") << QStringList{A} << true << false << B;
        QTest::newRow("two hosts") << QStringList{A, B} << false << false << A;
    }
    void judgesWrongBytes() {
        QFETCH(QStringList, servedBy);
        QFETCH(bool, resumed);
        QFETCH(bool, leftOut);
        QFETCH(QString, again);
        CdnHosts hosts({A, B});
        HostChooser chooser(&hosts);
        FileHosts file;
        file.servedBy = servedBy;
        DownloadResult result{VerifyError, QStringLiteral("md5 of f.bin is x")};
        QCOMPARE(chooser.judgeWrongBytes(file, QStringLiteral("f.bin"), resumed, &result), again);
        QCOMPARE(hosts.isLeftOut(A), leftOut);
        QVERIFY(file.servedBy.isEmpty());
        QVERIFY2(result.reason().contains(QStringLiteral("pieces from a.test")), qPrintable(result.reason()));

        CdnHosts single(QStringList{A});
        HostChooser alone(&single);
        FileHosts one;
        one.servedBy = QStringList{A};
        QVERIFY(alone.judgeWrongBytes(one, QStringLiteral("f.bin"), false, &result).isEmpty());
        QVERIFY(!single.isLeftOut(A));
    }
};

QTEST_GUILESS_MAIN(TestHostChooser)
#include "tst_hostchooser.moc"
