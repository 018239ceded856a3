// Launchers sharing a release on one local network, as real processes in network namespaces on one
// bridge (tests/lan/lan-stage.sh), with the CDN and the event log in this process on 10.78.0.1:
//  - pc1 installs beside fake launchers that answer its search and then serve flipped bytes, vanish
//    mid-transfer or never answer, while garbage and oversized datagrams arrive on the search's group
//    and port: what it installs is the release;
//  - pc1, serving, refuses a fifth client address and a client from outside its subnet;
//  - pc2 installs beside pc1 and takes bytes from it;
//  - pc2, started again with the game installed and one file changed on disk, serves pc1's clients
//    what its background check passed and not the changed file;
//  - pc3, with sharing off, holds no listening port and no UDP socket while it installs, and the
//    search's group hears nothing from it.
// Without root or `ip netns` the stage is not built and the test skips.
#include "lan/lanpeerfinder.h"
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/testfiles.h"
#include "support/testkeys.h"
#include "trust/minisignsecretkey.h"

#include "patch/blockmap.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

using TestFiles::md5Hex;
using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

const QByteArray Cdn = "/sea/win_update/";
constexpr int InstallTimeoutMs = 90000;

const QString Outside = QStringLiteral("10.79.0.9");
// Addresses of the hosts lan-stage.sh builds, and of this process's clients (in its own host).
const QHash<QString, QString> Address = {
    {"lab", "10.78.0.1"},   {"pc1", "10.78.0.11"},    {"pc2", "10.78.0.12"},   {"pc3", "10.78.0.13"},
    {"flip", "10.78.0.31"}, {"vanish", "10.78.0.32"}, {"silent", "10.78.0.33"}};
const QStringList Clients = {"10.78.0.21", "10.78.0.22", "10.78.0.23", "10.78.0.24", "10.78.0.25"};

} // namespace

class LanSharingTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    HttpServer cdn;
    QMap<QString, QByteArray> files; // name -> content, all of version 1
    QList<QProcess *> processes;
    QHash<QString, QProcess *> launchers;
    QHash<QString, QByteArray> output;

    QUdpSocket group;         // hears the search's group on the bridge
    QSet<QString> groupHeard; // sender addresses
    QUdpSocket garbage;
    QTimer garbageTimer;
    int garbageSent = 0;
    QTimer offWatch; // pc3's sockets while it runs
    QStringList offSockets;
    bool failed = false; // the processes' output is shown at the end

    static QString ns(const QString &host) { return qEnvironmentVariable("KV_LAN_NETNS_PREFIX") + host; }

    // The release: a file with a block map and six small ones, signed with the test key.
    void makeRelease() {
        files.insert(QStringLiteral("big.pak"), TestFiles::randomBytes(12 * 1024 * 1024 + 12345, 49));
        for (int i = 0; i < 6; ++i)
            files.insert(QStringLiteral("small%1.dat").arg(i),
                         TestFiles::randomBytes(40000 + i * 150000, 50 + i));
        QByteArray list = "Kestrivane.exe:0.11:" + md5Hex("launcher").toLatin1() + ":1000\n";
        const QString served = root.filePath(QStringLiteral("served"));
        QDir().mkpath(served);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString remote = QStringLiteral("v1_") + it.key();
            QVERIFY(writeFile(served + QLatin1Char('/') + remote, it.value()));
            cdn.setFile(Cdn + remote.toUtf8(), it.value());
            QString mapField;
            if (BlockMap::wantsMap(it.key(), it.value().size())) {
                QByteArray map;
                QVERIFY(BlockMap::make(served + QLatin1Char('/') + remote, &map).ok());
                cdn.setFile(Cdn + remote.toUtf8() + BlockMap::RemoteSuffix, map);
                mapField = QLatin1Char(':') + BlockMap::digestHex(map);
            }
            list += QStringLiteral("%1:1:%2:%3%4\n")
                        .arg(it.key(), md5Hex(it.value()))
                        .arg(it.value().size())
                        .arg(mapField)
                        .toUtf8();
        }
        const QByteArray signature =
            MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
                .sign(list, "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch() - 60) +
                                "\tfile:version3.txt")
                .toFile("signature from test");
        cdn.setFile(Cdn + "version3.txt", list);
        cdn.setFile(Cdn + "version3.txt.minisig", signature);
        QVERIFY(writeFile(root.filePath(QStringLiteral("version3.txt")), list));
    }

    QProcess *startIn(const QString &host, const QString &program, const QStringList &args,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
        auto *p = new QProcess(this);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setProcessEnvironment(env);
        connect(p, &QProcess::readyRead, this, [this, p, host]() { output[host] += p->readAll(); });
        p->start(QStringLiteral("ip"), QStringList{"netns", "exec", ns(host), program} + args);
        processes.append(p);
        return p;
    }

    QString launcherDir(const QString &host) const {
        return root.filePath(host + QStringLiteral("/install"));
    }

    bool startLauncher(const QString &host, bool share) {
        const QString dir = launcherDir(host);
        const QString config = root.filePath(host + QStringLiteral("/config"));
        // Started again: the install from the earlier run stays.
        if (!QFile::exists(dir + QStringLiteral("/Kestrivane")) && !LauncherProcess::install(dir, config))
            return false;
        if (share && !writeFile(dir + QStringLiteral("/settings.ini"),
                                "[global_settings]\nshare_with_local_network=1\n"))
            return false;
        QProcessEnvironment env = LauncherProcess::environment(config, cdn.url());
        env.insert(QStringLiteral("KESTRIVANE_TEST_LOG_URL"), cdn.url(QStringLiteral("/log/") + host));
        env.insert(QStringLiteral("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY"),
                   QString::fromLatin1(TestKeys::ReleasePublic));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        launchers.insert(host, startIn(host, dir + QStringLiteral("/Kestrivane"), {}, env));
        return true;
    }

    QList<QJsonObject> events(const QString &host, const QString &name) const {
        QList<QJsonObject> found;
        for (const HttpServer::Request &r : cdn.requestsFor("/log/" + host.toUtf8())) {
            const QJsonObject o = QJsonDocument::fromJson(r.body).object();
            if (o.value(QStringLiteral("event")).toString() == name)
                found.append(o);
        }
        return found;
    }

    bool ready(const QString &host) const {
        return !events(host, QStringLiteral("enable game btn")).isEmpty();
    }

    quint16 servingPort(const QString &host) const {
        static const QRegularExpression serving(QStringLiteral("serving the local network on port (\\d+)"));
        const QRegularExpressionMatch m = serving.match(QString::fromUtf8(output.value(host)));
        return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
    }

    // Every file of the release in the install with its listed bytes, and recorded as version 1.
    void checkInstall(const QString &host) {
        const QString dir = launcherDir(host);
        QSettings config(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QCOMPARE(md5Hex(readFile(dir + QLatin1Char('/') + it.key())), md5Hex(it.value()));
            QCOMPARE(config.value(QStringLiteral("version/") + it.key()).toString(), QStringLiteral("1"));
        }
    }

    // Sockets of the namespace that listen for TCP or hold a UDP port.
    static QStringList openSockets(const QString &host) {
        QProcess ss;
        ss.start(QStringLiteral("ip"), {"netns", "exec", ns(host), "ss", "-H", "-tuan"});
        if (!ss.waitForFinished(20000) || ss.exitCode() != 0)
            return {QStringLiteral("ss failed")};
        QStringList open;
        for (const QByteArray &line : ss.readAll().split('\n'))
            if (line.startsWith("udp") || line.contains("LISTEN"))
                open.append(QString::fromUtf8(line.simplified()));
        return open;
    }

    // One GET from a client address; the status of the answer, 0 when the connection closed without one.
    // The client keeps the connection and reads nothing more, so a served transfer stays open.
    int request(QTcpSocket *socket, const QString &from, const QString &to, quint16 port,
                const QByteArray &name) {
        if (!socket->bind(QHostAddress(from), 0)) {
            qWarning() << "cannot bind" << from << socket->errorString();
            return -1;
        }
        socket->setReadBufferSize(16 * 1024);
        socket->connectToHost(QHostAddress(to), port);
        if (!socket->waitForConnected(5000))
            return 0;
        socket->write("GET /" + name + " HTTP/1.1\r\nHost: " + to.toUtf8() + "\r\n\r\n");
        QByteArray head;
        QElapsedTimer t;
        t.start();
        while (!head.contains("\r\n") && t.elapsed() < 10000 &&
               socket->state() == QAbstractSocket::ConnectedState) {
            socket->waitForReadyRead(500);
            head += socket->read(4096);
        }
        const QList<QByteArray> status = head.split(' ');
        return head.startsWith("HTTP/1.") && status.size() > 1 ? status.at(1).toInt() : 0;
    }

    void sendGarbage() {
        // Random bytes of every size up to the largest datagram, to the group and to the launchers.
        static const int Sizes[] = {1, 7, 64, 300, 1400, 9000, 65000};
        const int size = Sizes[garbageSent % int(std::size(Sizes))];
        QByteArray junk(size, Qt::Uninitialized);
        for (char &c : junk)
            c = char(QRandomGenerator::global()->generate());
        garbage.writeDatagram(junk, LanPeerFinder::groupIPv4(), LanPeerFinder::groupPort);
        for (const char *host : {"pc1", "pc2"})
            garbage.writeDatagram(junk, QHostAddress(Address[QLatin1String(host)]), LanPeerFinder::groupPort);
        ++garbageSent;
    }

private slots:
    void initTestCase() {
        const QString stage = qEnvironmentVariable("KV_LAN_STAGE");
        if (stage != QLatin1String("ready"))
            QSKIP(qPrintable(QStringLiteral("no local network of namespaces: ") +
                             (stage.isEmpty() ? QStringLiteral("not run by lan-stage.sh") : stage)));
        QVERIFY(root.isValid());
        QVERIFY(cdn.listen(QHostAddress(Address["lab"]), 0));
        makeRelease();

        const QNetworkInterface iface = QNetworkInterface::interfaceFromName(QStringLiteral("eth0"));
        QVERIFY(group.bind(QHostAddress(QHostAddress::AnyIPv4), LanPeerFinder::groupPort,
                           QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        QVERIFY(group.joinMulticastGroup(LanPeerFinder::groupIPv4(), iface));
        connect(&group, &QUdpSocket::readyRead, this, [this]() {
            while (group.hasPendingDatagrams())
                groupHeard.insert(group.receiveDatagram(70000).senderAddress().toString());
        });
        QVERIFY(garbage.bind(QHostAddress(Address["lab"]), 0));
        garbage.setMulticastInterface(iface);
        connect(&garbageTimer, &QTimer::timeout, this, &LanSharingTest::sendGarbage);
        garbageTimer.start(50);

        const QString fakePeer = qEnvironmentVariable("KV_LAN_FAKEPEER");
        for (const char *mode : {"flip", "vanish", "silent"})
            startIn(QLatin1String(mode), fakePeer,
                    {root.filePath(QStringLiteral("version3.txt")), root.filePath(QStringLiteral("served")),
                     QLatin1String(mode)});
        for (const char *mode : {"flip", "vanish", "silent"})
            QTRY_VERIFY_WITH_TIMEOUT(output.value(QLatin1String(mode)).contains("fake peer serving"), 20000);
    }

    void cleanup() { failed = failed || QTest::currentTestFailed(); }

    void cleanupTestCase() {
        garbageTimer.stop();
        for (QProcess *p : processes)
            LauncherProcess::stop(p);
        for (auto it = output.cbegin();
             it != output.cend() && (failed || qEnvironmentVariableIsSet("KV_LAN_VERBOSE")); ++it)
            qInfo().noquote() << "----" << it.key() << "\n" << it.value().right(6000);
    }

    // pc1 takes the release past lying peers while garbage arrives; pc3, with sharing off, opens no
    // port and says nothing on the group.
    void installsPastLyingPeersAndSilentWhenOff() {
        QVERIFY(startLauncher(QStringLiteral("pc1"), true));
        QVERIFY(startLauncher(QStringLiteral("pc3"), false));
        connect(&offWatch, &QTimer::timeout, this,
                [this]() { offSockets += openSockets(QStringLiteral("pc3")); });
        offWatch.start(200);

        QTRY_VERIFY_WITH_TIMEOUT(ready(QStringLiteral("pc1")) && ready(QStringLiteral("pc3")),
                                 InstallTimeoutMs);
        checkInstall(QStringLiteral("pc1"));
        checkInstall(QStringLiteral("pc3"));
        // The release had to wait out the peers: the fakes were asked (found), and one at least failed.
        QVERIFY2(output.value(QStringLiteral("pc1")).contains("launcher found on the local network"),
                 "pc1 found no launcher nearby");
        QTRY_VERIFY_WITH_TIMEOUT(servingPort(QStringLiteral("pc1")) != 0, 10000);

        offWatch.stop();
        offSockets += openSockets(QStringLiteral("pc3"));
        QVERIFY2(offSockets.isEmpty(), qPrintable(offSockets.join(QLatin1Char('\n'))));
        QVERIFY2(groupHeard.contains(Address["pc1"]), "the group heard no search of pc1");
        QVERIFY2(!groupHeard.contains(Address["pc3"]), "pc3 sent to the group with sharing off");
        QVERIFY(garbageSent > 20);
    }

    // A serving launcher answers at most four client addresses, and none outside its subnet.
    void servesFourAddressesOnlyInsideItsSubnet() {
        const quint16 port = servingPort(QStringLiteral("pc1"));
        QVERIFY(port != 0);
        const QString pc1 = Address["pc1"];
        QTcpSocket outsider;
        const int outsiderStatus = request(&outsider, Outside, pc1, port, "v1_small0.dat");
        QVERIFY2(outsiderStatus == 0 || outsiderStatus >= 400, qPrintable(QString::number(outsiderStatus)));

        // Each client keeps its transfer open: the first four are served, the fifth is not.
        QList<QTcpSocket *> clients;
        QStringList statuses;
        for (const QString &from : Clients) {
            clients.append(new QTcpSocket(this));
            statuses.append(QString::number(request(clients.last(), from, pc1, port, "v1_big.pak")));
        }
        const QString seen = statuses.join(QLatin1Char(' '));
        QVERIFY2(seen.startsWith(QLatin1String("200 200 200 200 ")) && !seen.endsWith(QLatin1String(" 200")),
                 qPrintable(seen));
        qDeleteAll(clients);
    }

    // pc2 installs beside pc1 and takes bytes from it; nothing wrong ends up installed.
    void secondLauncherFetchesFromTheFirst() {
        QVERIFY(startLauncher(QStringLiteral("pc2"), true));
        QTRY_VERIFY_WITH_TIMEOUT(ready(QStringLiteral("pc2")), InstallTimeoutMs);
        checkInstall(QStringLiteral("pc2"));
        const QString endedEvent = QStringLiteral("game src download finished");
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("pc2"), endedEvent).isEmpty(), 10000);
        const QList<QJsonObject> ended = events(QStringLiteral("pc2"), endedEvent);
        QCOMPARE(ended.size(), 1);
        QVERIFY2(ended.first().value(QStringLiteral("peerBytes")).toDouble() > 0,
                 QJsonDocument(ended.first()).toJson().constData());
    }

    // pc2 again, its game installed by the run before: it serves what its background check passed,
    // and not a file whose bytes changed on disk since (same size, so the start's check keeps it).
    void installedGameServedAfterItsCheck() {
        LauncherProcess::stop(launchers.value(QStringLiteral("pc2")));
        const QString changed = launcherDir(QStringLiteral("pc2")) + QStringLiteral("/small1.dat");
        QByteArray bytes = readFile(changed);
        bytes[100] = char(bytes.at(100) ^ 0x5a);
        QVERIFY(writeFile(changed, bytes));
        output.remove(QStringLiteral("pc2"));
        QVERIFY(startLauncher(QStringLiteral("pc2"), true));
        QTRY_VERIFY_WITH_TIMEOUT(
            output.value(QStringLiteral("pc2")).contains("installed files checked for the local network"),
            InstallTimeoutMs);
        QVERIFY2(output.value(QStringLiteral("pc2")).contains("not offered to the local network: small1.dat"),
                 output.value(QStringLiteral("pc2")).right(3000).constData());
        const quint16 port = servingPort(QStringLiteral("pc2"));
        QVERIFY(port != 0);
        QTcpSocket good, bad;
        QCOMPARE(request(&good, Clients.at(0), Address["pc2"], port, "v1_small0.dat"), 200);
        const int badStatus = request(&bad, Clients.at(1), Address["pc2"], port, "v1_small1.dat");
        QVERIFY2(badStatus == 0 || badStatus >= 400, qPrintable(QString::number(badStatus)));
    }
};

QTEST_GUILESS_MAIN(LanSharingTest)
#include "test_lan_sharing.moc"
