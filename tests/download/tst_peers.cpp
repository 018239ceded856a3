// A peer on the local network among the hosts of a run: it serves the files it may (one with a block
// map, one of a single piece), the CDN the others and whatever the peer fails; a peer that lies,
// vanishes or redirects is left out, and its bytes never count against the download cap.
#include "download/bandwidthcap.h"
#include "download/cdnhosts.h"
#include "download/downloadfixture.h"
#include "download/downloadtaskpiece.h"
#include "download/xdmanager.h"
#include "patch/blockmap.h"
#include "support/httpserver.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QString Big = QStringLiteral("big.pak");     // three pieces, with a block map
const QString Small = QStringLiteral("small.dat"); // one piece
const QString Plain = QStringLiteral("plain.bin"); // two pieces, no map: the CDN's only

QByteArray cdnPath(const QString &name) {
    return "/cdn/v1_" + name.toUtf8();
}
QByteArray peerPath(const QString &name) {
    return "/v1_" + name.toUtf8();
}

} // namespace

class TestPeers : public QObject {
    Q_OBJECT

    enum Fault { None, FlippedBlock, FlippedSmall, Vanishes, Lacks, Redirects };

    std::unique_ptr<QTemporaryDir> dir;
    QMap<QString, QByteArray> published;
    QByteArray map;

    void publish(const QString &name, qint64 size, quint32 seed, HttpServer &cdn, HttpServer &peer) {
        const QByteArray content = TestFiles::randomBytes(int(size), seed);
        putTableEntry(name, QStringLiteral("1"), content);
        cdn.setFile(cdnPath(name), content);
        peer.setFile(peerPath(name), content);
        published.insert(name, content);
    }

private slots:
    void run_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("leftOut");
        QTest::addColumn<qint64>("peerMiB");  // from the peer, -1: any
        QTest::addColumn<qint64>("wasteMiB"); // at most fetched twice
        QTest::newRow("peer serves") << int(None) << false << 11LL << 0LL;
        QTest::newRow("wrong block") << int(FlippedBlock) << true << -1LL << 4LL;
        QTest::newRow("wrong small file") << int(FlippedSmall) << true << -1LL << 17LL;
        QTest::newRow("vanishes mid-piece")
            << int(Vanishes) << true << -1LL << qint64(CdnHosts::PeerConnections);
        QTest::newRow("lacks the files") << int(Lacks) << false << 0LL << 0LL;
        QTest::newRow("redirects") << int(Redirects) << true << 0LL << 0LL;
    }
    void run() {
        QFETCH(int, fault);
        QFETCH(bool, leftOut);
        QFETCH(qint64, peerMiB);
        QFETCH(qint64, wasteMiB);
        VersionTable::release();
        published.clear();
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        HttpServer cdn, peer;
        QVERIFY(cdn.listen() && peer.listen());

        publish(Big, 10 * MiB, 1, cdn, peer);
        publish(Small, 1 * MiB, 2, cdn, peer);
        publish(Plain, 6 * MiB, 3, cdn, peer);
        QVERIFY(TestFiles::writeFile(dir->filePath(QStringLiteral("map-of-big")), published[Big]));
        QVERIFY(BlockMap::make(dir->filePath(QStringLiteral("map-of-big")), &map).ok());
        VersionTable::instance()[Big].mapDigest = BlockMap::digestHex(map);
        const QByteArray mapName = "v1_" + Big.toUtf8() + BlockMap::RemoteSuffix;
        cdn.setFile("/cdn/" + mapName, map);
        peer.setFile("/" + mapName, map); // never asked

        // The CDN far slower than the peer, as on the internet line: the pace logic keeps to the peer.
        HttpServer::Faults slow;
        slow.bytesPerSecond = 16 * MiB;
        for (const QString &name : published.keys())
            cdn.setFaults(cdnPath(name), slow);
        HttpServer::Faults f;
        switch (Fault(fault)) {
        case FlippedBlock:
        case FlippedSmall: {
            const QString name = fault == FlippedBlock ? Big : Small;
            QByteArray wrong = published[name];
            wrong[int(wrong.size() / 2 + 7)] = char(wrong[int(wrong.size() / 2 + 7)] ^ 1);
            peer.setFile(peerPath(name), wrong);
            break;
        }
        case Vanishes:
            f.resetAfterBytes = MiB;
            peer.setFaults(peerPath(Big), f);
            peer.setFaults(peerPath(Small), f);
            break;
        case Lacks:
            peer.removeFile(peerPath(Big));
            peer.removeFile(peerPath(Small));
            break;
        case Redirects:
            f.status = 302;
            f.location = peer.url(QStringLiteral("/elsewhere")).toUtf8() + peerPath(Big);
            peer.setFile("/elsewhere" + peerPath(Big), published[Big]);
            peer.setFaults(peerPath(Big), f);
            peer.setFaults(peerPath(Small), f);
            break;
        case None:
            break;
        }

        CdnHosts hosts({cdn.url(QStringLiteral("/cdn/"))});
        const QString peerBase = peer.url(QStringLiteral("/"));
        hosts.addPeer(peerBase);
        QVERIFY(hosts.isPeer(peerBase));
        const qint64 passedBefore = BandwidthCap::instance().passedBytes();
        {
            XDManager m(dir->path());
            m.setHosts(&hosts);
            QMap<QString, ErrorCode> results;
            connect(&m, &XDManager::fileDownloadFinished, this,
                    [&](ErrorCode code, const QString &name) { results.insert(name, code); });
            QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
            DeltaSource withMap;
            withMap.mapRemotePath = QString::fromUtf8(mapName);
            withMap.mapDigest = BlockMap::digestHex(map);
            withMap.listedSize = published[Big].size();
            m.addFile(QStringLiteral("v1_") + Big, Big, withMap);
            m.addFile(QStringLiteral("v1_") + Small, Small);
            m.addFile(QStringLiteral("v1_") + Plain, Plain);
            m.start();
            QVERIFY(all.wait(60000));

            for (const QString &name : published.keys()) {
                QCOMPARE(results.value(name, ErrorCode(-1)), NoError);
                QCOMPARE(TestFiles::readFile(dir->filePath(name)), published[name]);
            }
            QCOMPARE(hosts.isLeftOut(peerBase), leftOut);
            const qint64 total = 17 * MiB;
            const qint64 peerBytes = m.bytesFromPeers(), cdnBytes = m.bytesFromCdn();
            // The cap was asked for the CDN's bytes (the map's among them), none of the peer's.
            QCOMPARE(BandwidthCap::instance().passedBytes() - passedBefore, cdnBytes + map.size());
            // Block maps come from the CDN; files without a map and of several pieces too.
            QCOMPARE(peer.requestsFor("/" + mapName).size(), 0);
            QCOMPARE(cdn.requestsFor("/cdn/" + mapName).size(), 1);
            QCOMPARE(peer.requestsFor(peerPath(Plain)).size(), 0);
            // What was fetched twice: the refused piece, the file its MD5 blamed, or what was in flight.
            QVERIFY(peerBytes + cdnBytes >= total);
            QVERIFY(peerBytes + cdnBytes - total <= wasteMiB * MiB);
            if (peerMiB >= 0)
                QCOMPARE(peerBytes, peerMiB * MiB);
            QCOMPARE(peer.requestsFor("/elsewhere" + peerPath(Big)).size(), 0);
            const int bigAsked = cdn.requestsFor(cdnPath(Big)).size(),
                      smallAsked = cdn.requestsFor(cdnPath(Small)).size();
            if (Fault(fault) == None)
                QCOMPARE(bigAsked + smallAsked, 0);
            if (Fault(fault) == FlippedBlock)
                QVERIFY(bigAsked >= 1);
            if (Fault(fault) == FlippedSmall)
                QCOMPARE(smallAsked, 1);
        }
        VersionTable::release();
    }
};

QTEST_GUILESS_MAIN(TestPeers)
#include "tst_peers.moc"
