// Launchers sharing a release on one local network: real processes in network namespaces on one
// bridge (lan-stage.sh), the CDN and the event log in this process on 10.78.0.1, fake launchers that
// serve flipped bytes (of files, or of an archive's entries alone), vanish mid-transfer or never
// answer, and garbage datagrams on the search's group. The steps run in order, each on what the ones
// before left; without root they skip.
#include "lan/lanpeerfinder.h"
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/rawhttp.h"
#include "support/testdigest.h"
#include "support/testfiles.h"
#include "support/testkeys.h"
#include "support/zipwriter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <vector>

#include <sodium.h>

using TestFiles::md5Hex;
using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

const QByteArray Cdn = "/sea/win_update/";
constexpr int InstallTimeoutMs = 90000;
const QString Ready = QStringLiteral("enable game btn");
const QString Ended = QStringLiteral("game src download finished");

// Addresses of the hosts lan-stage.sh builds; the clients and the outsider are this process's own.
const QHash<QString, QString> Address = {
    {"lab", "10.78.0.1"},   {"pc1", "10.78.0.11"},    {"pc2", "10.78.0.12"},    {"pc3", "10.78.0.13"},
    {"flip", "10.78.0.31"}, {"vanish", "10.78.0.32"}, {"silent", "10.78.0.33"}, {"entryflip", "10.78.0.34"}};
const char *const Fakes[] = {"flip", "vanish", "silent", "entryflip"};

} // namespace

class LanSharingTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    HttpServer cdn;
    QMap<QString, QByteArray> files;    // name -> content, all of version 1
    QMap<QString, QByteArray> unpacked; // what data.zip installs
    QList<QProcess *> processes;
    QHash<QString, QProcess *> launchers;
    QHash<QString, QByteArray> output;
    QUdpSocket group;         // hears the search's group on the bridge
    QSet<QString> groupHeard; // sender addresses
    QUdpSocket garbage;
    QTimer garbageTimer;
    int garbageSent = 0;
    bool failed = false; // the processes' output is shown at the end

    static QString ns(const QString &host) { return qEnvironmentVariable("KV_NETNS_PREFIX") + host; }

    // The release, published by kv-publish into the folder the CDN and the fake launchers serve: a file
    // with a block map, six small ones and an archive with its entry index (its entries also in
    // "served/entry", by digest, for the fake that flips them), signed with the test key.
    void makeRelease() {
        QStringList args{
            "--cdn",      root.filePath("served"),      "--release",          root.filePath("release"),
            "--sign-key", root.filePath("release.key"), "Kestrivane.exe=0.11"};
        files.insert("big.pak", TestFiles::randomBytes(12 * 1024 * 1024 + 12345, 49));
        for (int i = 0; i < 6; ++i)
            files.insert(QStringLiteral("small%1.dat").arg(i),
                         TestFiles::randomBytes(40000 + i * 150000, 50 + i));
        QList<ZipEntry> entries;
        QVERIFY(sodium_init() >= 0 && QDir().mkpath(root.filePath("served/entry")));
        for (int i = 0; i < 8; ++i) {
            const QByteArray name = "data/part" + QByteArray::number(i) + ".bin";
            const QByteArray data = TestFiles::randomBytes(60000 + i * 20000, 70 + quint32(i));
            unpacked.insert(QString::fromUtf8(name), data);
            entries.append({name, data, i % 2 == 0});
            QVERIFY(writeFile(root.filePath("served/entry/" + TestDigest::blake2b(data).toHex()), data));
        }
        files.insert("data.zip", zipBytes(entries));
        QVERIFY(QDir().mkpath(root.filePath("release")) &&
                writeFile(root.filePath("release/Kestrivane.exe"), "launcher"));
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QVERIFY(writeFile(root.filePath("release/" + it.key()), it.value()));
            args << it.key() + "=1";
        }
        QVERIFY(writeFile(root.filePath("release.key"), TestKeys::ReleaseSecretFile));
        QProcess publish;
        publish.setProcessChannelMode(QProcess::MergedChannels);
        publish.start(qEnvironmentVariable("KESTRIVANE_BINARY_DIR") + "/bin/kv-publish", args);
        QVERIFY2(publish.waitForFinished(60000) && publish.exitCode() == 0, publish.readAll().constData());
        cdn.serveDirectory(Cdn, root.filePath("served"));
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

    QString installed(const QString &host, const QString &file = {}) const {
        return root.filePath(host + QStringLiteral("/install/") + file);
    }

    // Started again, the install of the earlier run stays.
    bool startLauncher(const QString &host, bool share) {
        const QString config = root.filePath(host + QStringLiteral("/config"));
        if (!QFile::exists(installed(host, QStringLiteral("Kestrivane"))) &&
            !LauncherProcess::install(installed(host), config))
            return false;
        if (share && !writeFile(installed(host, QStringLiteral("settings.ini")),
                                "[global_settings]\nshare_with_local_network=1\n"))
            return false;
        QProcessEnvironment env = LauncherProcess::environment(config, cdn.url());
        env.insert(QStringLiteral("KESTRIVANE_TEST_LOG_URL"), cdn.url(QStringLiteral("/log/") + host));
        env.insert(QStringLiteral("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY"),
                   QString::fromLatin1(TestKeys::ReleasePublic));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        launchers.insert(host, startIn(host, installed(host, QStringLiteral("Kestrivane")), {}, env));
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

    quint16 servingPort(const QString &host) const {
        static const QRegularExpression serving(QStringLiteral("serving the local network on port (\\d+)"));
        return quint16(serving.match(QString::fromUtf8(output.value(host))).captured(1).toUInt());
    }

    // Every file of the release in the install with its listed bytes, and recorded as version 1.
    void checkInstall(const QString &host) {
        QSettings config(installed(host, QStringLiteral("config.ini")), QSettings::IniFormat);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!it.key().endsWith(QLatin1String(".zip"))) // unpacked and gone
                QCOMPARE(md5Hex(readFile(installed(host, it.key()))), md5Hex(it.value()));
            QCOMPARE(config.value(QStringLiteral("version/") + it.key()).toString(), QStringLiteral("1"));
        }
        for (auto it = unpacked.cbegin(); it != unpacked.cend(); ++it)
            QCOMPARE(md5Hex(readFile(installed(host, it.key()))), md5Hex(it.value()));
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

    // Random bytes of every size up to the largest datagram, to the group and to the launchers.
    void sendGarbage() {
        static const int Sizes[] = {1, 7, 64, 300, 1400, 9000, 65000};
        QByteArray junk(Sizes[garbageSent++ % int(std::size(Sizes))], Qt::Uninitialized);
        for (char &c : junk)
            c = char(QRandomGenerator::global()->generate());
        garbage.writeDatagram(junk, LanPeerFinder::groupIPv4(), LanPeerFinder::groupPort);
        for (const char *host : {"pc1", "pc2"})
            garbage.writeDatagram(junk, QHostAddress(Address[QLatin1String(host)]), LanPeerFinder::groupPort);
    }

private slots:
    void initTestCase() {
        const QString stage = qEnvironmentVariable("KV_NET_NAMESPACE");
        if (stage != QLatin1String("ready"))
            QSKIP(
                qPrintable(QStringLiteral("no local network of namespaces: ") +
                           (stage.isEmpty() ? QStringLiteral("not run by tests/support/netns.sh") : stage)));
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

        for (const char *mode : Fakes)
            startIn(QLatin1String(mode), qEnvironmentVariable("KV_LAN_FAKEPEER"),
                    {root.filePath(QStringLiteral("served/version3.txt")),
                     root.filePath(QStringLiteral("served")), QLatin1String(mode)});
        for (const char *mode : Fakes)
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

    // Each step on what the ones before left. `asks`: "FROM FILE served|refused" to the first launcher
    // started, each client keeping its transfer open until the step ends.
    void steps_data() {
        QTest::addColumn<QStringList>("start");     // started (again); "-pc3": with sharing off
        QTest::addColumn<QString>("changed");       // in the first one's install, same size, before it starts
        QTest::addColumn<QByteArrayList>("prints"); // by the first one
        QTest::addColumn<bool>(
            "fromPeers"); // the first one's download took bytes and archive entries from launchers
        QTest::addColumn<QStringList>("asks");
        // pc1 past the fake launchers (a wrong entry among them) while garbage arrives; it serves four
        // client addresses at most, none outside its subnet, and the archive's entries once checked.
        // pc3, sharing off, opens no port and is never heard.
        QStringList four;
        for (int i = 21; i <= 24; ++i)
            four << QStringLiteral("10.78.0.%1 v1_big.pak served").arg(i);
        QTest::newRow("past lying peers")
            << QStringList{"pc1", "-pc3"} << QString()
            << QByteArrayList{"launcher found on the local network", "bytes that are not its content",
                              "installed files checked for the local network"}
            << false
            << QStringList{"10.79.0.9 v1_small0.dat refused"} + four +
                   QStringList{"10.78.0.25 v1_big.pak refused"};
        QTest::newRow("from the first")
            << QStringList{"pc2"} << QString() << QByteArrayList() << true << QStringList();
        // pc2 again, installed: it serves what its background check passed, not a file changed since.
        QTest::newRow("installed game after its check")
            << QStringList{"pc2"} << QStringLiteral("small1.dat")
            << QByteArrayList{"installed files checked for the local network",
                              "not offered to the local network: small1.dat"}
            << false << QStringList{"10.78.0.21 v1_small0.dat served", "10.78.0.22 v1_small1.dat refused"};
    }

    void steps() {
        QFETCH(QStringList, start);
        QFETCH(QString, changed);
        QFETCH(QByteArrayList, prints);
        QFETCH(bool, fromPeers);
        QFETCH(QStringList, asks);
        const QString host = start.first();
        QHash<QString, int> readyBefore;
        QStringList quietSockets, quiet;
        for (QString started : start) {
            const bool share = !started.startsWith(QLatin1Char('-'));
            started.remove(QLatin1Char('-'));
            if (QProcess *running = launchers.take(started))
                LauncherProcess::stop(running);
            output.remove(started);
            if (started == host && !changed.isEmpty()) {
                QByteArray bytes = readFile(installed(host, changed));
                bytes[100] = char(bytes.at(100) ^ 0x5a);
                QVERIFY(writeFile(installed(host, changed), bytes));
            }
            readyBefore.insert(started, events(started, Ready).size());
            QVERIFY(startLauncher(started, share));
            if (!share)
                quiet.append(started);
        }
        QTimer watch; // the sockets of launchers with sharing off, while they run
        connect(&watch, &QTimer::timeout, this, [&]() {
            for (const QString &h : quiet)
                quietSockets += openSockets(h);
        });
        watch.start(200);
        const int endedBefore = events(host, Ended).size();
        for (auto it = readyBefore.cbegin(); it != readyBefore.cend(); ++it) {
            QTRY_VERIFY_WITH_TIMEOUT(events(it.key(), Ready).size() > it.value(), InstallTimeoutMs);
            if (it.key() != host || changed.isEmpty())
                checkInstall(it.key());
        }
        for (const QByteArray &line : prints)
            QTRY_VERIFY2_WITH_TIMEOUT(output.value(host).contains(line), line.constData(), InstallTimeoutMs);
        if (fromPeers) {
            QTRY_VERIFY_WITH_TIMEOUT(events(host, Ended).size() > endedBefore, 10000);
            const QList<QJsonObject> ended = events(host, Ended).mid(endedBefore);
            QCOMPARE(ended.size(), 1);
            QVERIFY2(ended.first().value(QStringLiteral("peerBytes")).toDouble() > 0,
                     QJsonDocument(ended.first()).toJson().constData());
            const QList<QJsonObject> patched = events(host, QStringLiteral("archive patched"));
            QVERIFY2(!patched.isEmpty() && patched.last().value(QStringLiteral("peerEntries")).toInt() > 0,
                     patched.isEmpty() ? "no archive patched"
                                       : QJsonDocument(patched.last()).toJson().constData());
        }
        watch.stop();
        for (const QString &h : quiet) {
            quietSockets += openSockets(h);
            QVERIFY2(!groupHeard.contains(Address[h]), qPrintable(h + " sent to the group with sharing off"));
        }
        QVERIFY2(quietSockets.isEmpty(), qPrintable(quietSockets.join(QLatin1Char('\n'))));
        for (const QString &started : start)
            QVERIFY2(started.startsWith(QLatin1Char('-')) || groupHeard.contains(Address[started]),
                     qPrintable("the group heard no search of " + started));
        QVERIFY(garbageSent > 20);

        QTRY_VERIFY_WITH_TIMEOUT(servingPort(host) != 0, 10000);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (const QString &ask : asks) {
            const QStringList a = ask.split(QLatin1Char(' ')); // from, file, served|refused
            clients.push_back(std::make_unique<QTcpSocket>());
            QVERIFY2(RawHttp::send(clients.back().get(), QHostAddress(a.at(0)), QHostAddress(Address[host]),
                                   servingPort(host),
                                   "GET /" + a.at(1).toUtf8() + " HTTP/1.1\r\nHost: peer\r\n\r\n"),
                     qPrintable(ask));
            const int status = RawHttp::status(clients.back().get());
            QVERIFY2(a.at(2) == QLatin1String("served") ? status == 200 : (status <= 0 || status >= 400),
                     qPrintable(ask + QStringLiteral(": %1").arg(status)));
        }
    }
};

QTEST_GUILESS_MAIN(LanSharingTest)
#include "test_lan_sharing.moc"
