// Entries of an archive asked from launchers nearby by their digest, against real HTTP servers on
// 127.0.0.1: a peer that misbehaves is asked first, a sound one after it. What arrives is exactly the
// entry; a peer that lies or fails is left out, one that lacks an entry is not.
#include "download/cdnhosts.h"
#include "support/httpserver.h"
#include "support/testdigest.h"
#include "support/testfiles.h"
#include "workflow/peerentryfetch.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <numeric>

#include <sodium.h>

using namespace TestFiles;
using TestDigest::blake2b;

class TestPeerEntryFetch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void asksTheNextPeerAndLeavesLiarsOut_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("leftOut");
        QTest::newRow("flipped byte") << "flip" << true;
        QTest::newRow("longer than the entry") << "long" << true;
        QTest::newRow("cut short") << "reset" << true;
        QTest::newRow("server error") << "500" << true;
        QTest::newRow("stalls") << "stall" << true;
        QTest::newRow("lacks the entries") << "404" << false;
    }
    void asksTheNextPeerAndLeavesLiarsOut() {
        QFETCH(QString, fault);
        QFETCH(bool, leftOut);
        QVector<QByteArray> contents;
        for (int i = 0; i < 5; ++i)
            contents.append(randomBytes(30000 + i * 7000, 80 + quint32(i)));
        HttpServer bad, good;
        QVERIFY(bad.listen() && good.listen());
        QVector<PeerEntryFetch::Wanted> wanted;
        for (const QByteArray &data : contents) {
            const QByteArray path = '/' + PeerEntryFetch::remoteName(blake2b(data)).toUtf8();
            wanted.append({blake2b(data), data.size(), data.size() / 2});
            good.setFile(path, data);
            QByteArray served = data;
            HttpServer::Faults faults;
            if (fault == QLatin1String("flip"))
                served[100] = char(served[100] ^ 1);
            else if (fault == QLatin1String("long"))
                served += "more";
            else if (fault == QLatin1String("reset"))
                faults.resetAfterBytes = 1000;
            else if (fault == QLatin1String("500"))
                faults.status = 500;
            else if (fault == QLatin1String("stall"))
                faults.hold = true;
            if (fault != QLatin1String("404"))
                bad.setFile(path, served);
            bad.setFaults(path, faults);
        }
        CdnHosts hosts(QStringList{QStringLiteral("http://127.0.0.1:1/cdn/")});
        hosts.addPeer(bad.url(QStringLiteral("/")));
        QTemporaryDir dir;
        PeerEntryFetch fetch(dir.filePath(QStringLiteral("peer")), &hosts, 500);
        QSignalSpy finished(&fetch, &PeerEntryFetch::finished);
        fetch.start(wanted);
        // The sound peer answers late, as a second launcher's answer to the search may.
        QTRY_VERIFY_WITH_TIMEOUT(bad.requestCount() > 0, 5000);
        hosts.addPeer(good.url(QStringLiteral("/")));
        QVERIFY(finished.wait(20000));

        QCOMPARE(fetch.arrived().size(), contents.size());
        QCOMPARE(fetch.arrivedWeight(),
                 std::accumulate(wanted.cbegin(), wanted.cend(), qint64(0),
                                 [](qint64 sum, const PeerEntryFetch::Wanted &w) { return sum + w.weight; }));
        for (const QByteArray &data : contents)
            QCOMPARE(readFile(dir.filePath(QStringLiteral("peer/") + blake2b(data).toHex())), data);
        QCOMPARE(QDir(dir.filePath(QStringLiteral("peer"))).entryList(QDir::Files).size(), contents.size());
        QCOMPARE(hosts.isLeftOut(bad.url(QStringLiteral("/"))), leftOut);
        QVERIFY(!hosts.isLeftOut(good.url(QStringLiteral("/"))));
        QVERIFY(hosts.hasRoom(good.url(QStringLiteral("/")))); // every request gave its peer back
        bad.release();
    }

    // Without a peer that has them nothing arrives, and the fetch ends once late answers had their
    // chance.
    void endsWithNothingWhenNoPeerHasTheEntries() {
        HttpServer lacking;
        QVERIFY(lacking.listen());
        CdnHosts hosts(QStringList{QStringLiteral("http://127.0.0.1:1/cdn/")});
        hosts.addPeer(lacking.url(QStringLiteral("/")));
        QTemporaryDir dir;
        PeerEntryFetch fetch(dir.filePath(QStringLiteral("peer")), &hosts, 500);
        QSignalSpy finished(&fetch, &PeerEntryFetch::finished);
        const QByteArray data = randomBytes(1000, 7);
        fetch.start({{blake2b(data), data.size(), data.size()}});
        QVERIFY(finished.wait(10000));
        QVERIFY(fetch.arrived().isEmpty());
        QVERIFY(!hosts.isLeftOut(lacking.url(QStringLiteral("/"))));
        QVERIFY(QDir(dir.filePath(QStringLiteral("peer"))).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPeerEntryFetch)
#include "tst_peerentryfetch.moc"
