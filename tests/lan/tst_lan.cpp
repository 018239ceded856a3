// Which interfaces take part, and two launchers (and hand-made datagrams) finding each other over
// real multicast on a veth pair in a private network namespace (lan-network.sh).

#include "lan/laninterfaces.h"
#include "lan/lanmessage.h"
#include "lan/lanpeerfinder.h"

#include "support/logcapture.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {

const QByteArray release = QByteArray(32, 'r');

QHostAddress ip(const char *text) {
    return QHostAddress(QString::fromLatin1(text));
}

// The interface's subnet of that address; "fe80" picks its own link-local one (scope included).
LanSubnet subnet(const char *interface, const char *address, int prefix) {
    const QNetworkInterface i = QNetworkInterface::interfaceFromName(QString::fromLatin1(interface));
    for (const QNetworkAddressEntry &e : i.addressEntries())
        if (qstrcmp(address, "fe80") == 0 && e.ip().toString().startsWith("fe80::"))
            return LanSubnet{i.name(), i.index(), e.ip(), e.prefixLength()};
    return LanSubnet{i.name(), i.index(), qstrcmp(address, "fe80") ? ip(address) : QHostAddress(), prefix};
}

// A socket of the test's own on one address, sending out of `interface` without looping back.
std::unique_ptr<QUdpSocket> socketOn(const char *address, const char *interface) {
    auto s = std::make_unique<QUdpSocket>();
    if (!s->bind(ip(address), 0))
        return nullptr;
    s->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
    s->setMulticastInterface(QNetworkInterface::interfaceFromName(QString::fromLatin1(interface)));
    return s;
}

QByteArray searchBytes(const QByteArray &digest, char nonce) {
    LanMessage m;
    m.release = digest;
    m.nonce = QByteArray(LanMessage::nonceSize, nonce);
    return m.encode();
}

QList<QNetworkDatagram> received(QUdpSocket *s) {
    QList<QNetworkDatagram> out;
    while (s->hasPendingDatagrams())
        out.append(s->receiveDatagram());
    return out;
}

} // namespace

class TestLan : public QObject {
    Q_OBJECT
private slots:
    void init() {
        if (QByteArray(QTest::currentTestFunction()) == "privateAddresses")
            return;
        if (qgetenv("KV_NET_NAMESPACE") != "ready")
            QSKIP(qPrintable(QStringLiteral("no network namespace: %1")
                                 .arg(QString::fromLocal8Bit(qgetenv("KV_NET_NAMESPACE")))));
    }

    void privateAddresses() {
        const struct {
            const char *address;
            bool isPrivate;
        } table[] = {
            {"10.0.0.1", true},        {"10.255.255.255", true},  {"172.16.0.1", true},
            {"172.31.255.1", true},    {"172.15.255.1", false},   {"172.32.0.1", false},
            {"192.168.1.2", true},     {"192.169.0.1", false},    {"169.254.3.4", true},
            {"11.0.0.1", false},       {"127.0.0.1", false},      {"8.8.8.8", false},
            {"::ffff:10.1.2.3", true}, {"::ffff:8.8.8.8", false}, {"fc00::1", true},
            {"fd12:3456::1", true},    {"fe80::1", true},         {"febf::1", true},
            {"fec0::1", false},        {"2001:db8::1", false},    {"::1", false},
            {"ff02::1", false},
        };
        for (const auto &row : table)
            QVERIFY2(LanInterfaces::isPrivate(ip(row.address)) == row.isPrivate, row.address);
        for (const char *name : {"tun0", "tap3", "wg0", "ppp0", "utun2", "TAP-x", "zt7", "tailscale0"})
            QVERIFY2(LanInterfaces::isVpnName(QString::fromLatin1(name)), name);
        for (const char *name : {"eth0", "enp3s0", "wlan0", "br0", "kva"})
            QVERIFY2(!LanInterfaces::isVpnName(QString::fromLatin1(name)), name);
    }

    void usableInterfaces() {
        LogCapture::start();
        const LanSubnets subnets = LanInterfaces::usable();
        LogCapture::stop();
        QStringList got;
        for (const LanSubnet &s : subnets)
            got.append(
                QStringLiteral("%1 %2/%3").arg(s.interfaceName, s.address.toString()).arg(s.prefixLength));
        got.sort();
        QStringList want{"kva 10.77.0.1/24", "kva 10.77.0.3/24", "kva fd77::1/64", "kvb 10.77.0.2/24",
                         "kvb fd77::2/64"};
        for (int i = 10; i < 20; ++i)
            want.append(QStringLiteral("kvb 10.77.0.%1/24").arg(i));
        // The veth ends also carry a link-local address of their own.
        got.erase(
            std::remove_if(got.begin(), got.end(), [](const QString &s) { return s.contains("fe80::"); }),
            got.end());
        want.sort();
        QCOMPARE(got, want);
        const QString line = LogCapture::lines().filter("lan: interfaces").value(0);
        for (const char *why :
             {"lo (loopback)", "tapkv (VPN)", "kvpub (no private address)", "kvc (no multicast)"})
            QVERIFY2(line.contains(QLatin1String(why)), qPrintable(line));
    }

    void findEachOther_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("prefix");
        QTest::newRow("IPv4") << "10.77.0.1"
                              << "10.77.0.2" << 24;
        QTest::newRow("IPv6") << "fd77::1"
                              << "fd77::2" << 64;
        QTest::newRow("link-local") << "fe80"
                                    << "fe80" << 64;
    }

    // Both serve and search; each finds the other once and never itself.
    void findEachOther() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, prefix);
        const LanSubnet onA = subnet("kva", qPrintable(a), prefix),
                        onB = subnet("kvb", qPrintable(b), prefix);
        QVERIFY(!onA.address.isNull() && !onB.address.isNull());
        LanPeerFinder finderA, finderB;
        finderA.setSubnets({onA});
        finderB.setSubnets({onB});
        for (LanPeerFinder *f : {&finderA, &finderB}) {
            f->setRelease(release);
            f->setSearchIntervalMs(100);
        }
        finderA.setServingPort(8001);
        finderB.setServingPort(8002);
        QSignalSpy foundByA(&finderA, &LanPeerFinder::peerFound);
        QString why;
        QVERIFY2(finderA.start(&why), qPrintable(why));
        QVERIFY2(finderB.start(&why), qPrintable(why));
        // Link-local: each is reached through its own interface, the one that heard the answer.
        const auto url = [&a](QHostAddress address, const char *through, int port) {
            if (a == "fe80")
                address.setScopeId(QString::fromLatin1(through));
            const QString host = address.protocol() == QAbstractSocket::IPv4Protocol
                                     ? address.toString()
                                     : "[" + address.toString().replace("%", "%25") + "]";
            return QStringLiteral("http://%1:%2/").arg(host).arg(port);
        };
        const QString urlA = url(onA.address, "kvb", 8001), urlB = url(onB.address, "kva", 8002);
        QTRY_COMPARE_WITH_TIMEOUT(finderB.peers(), QStringList{urlA}, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(finderA.peers(), QStringList{urlB}, 10000);
        // Later rounds find nothing new.
        QTRY_VERIFY_WITH_TIMEOUT(foundByA.count() == 1 && finderA.peers() == QStringList{urlB}, 10000);
    }

    // Searches that must get no answer, one per reason, then two from one source in a second.
    void searchesDropped() {
        LanPeerFinder b;
        b.setSubnets({subnet("kvb", "10.77.0.2", 24)});
        b.setRelease(release);
        b.setServingPort(8002);
        QVERIFY(b.start());
        auto bad = socketOn("10.77.0.1", "kva"), outside = socketOn("10.99.0.1", "kva");
        auto good = socketOn("10.77.0.3", "kva");
        QVERIFY(bad && outside && good);
        const QHostAddress group = LanPeerFinder::groupIPv4();
        const quint16 port = LanPeerFinder::groupPort;
        LogCapture::start();
        QByteArray oversized = searchBytes(release, 'o');
        oversized.append(QByteArray(LanMessage::maxSize, '\0'));
        for (const QByteArray &d : {QByteArray("garbage"), oversized, searchBytes(QByteArray(32, 'x'), 'x'),
                                    searchBytes(release, 'v').left(30)})
            bad->writeDatagram(d, group, port);
        outside->writeDatagram(searchBytes(release, 'f'), group, port);
        good->writeDatagram(searchBytes(release, '1'), group, port);
        good->writeDatagram(searchBytes(release, '2'), group, port);
        bad->writeDatagram(searchBytes(release, '3'), group, port); // answered: the marker
        QTRY_VERIFY_WITH_TIMEOUT(bad->hasPendingDatagrams(), 10000);
        LogCapture::stop();
        const QList<QNetworkDatagram> toBad = received(bad.get()), toGood = received(good.get());
        QCOMPARE(toBad.size(), 1);
        QCOMPARE(toGood.size(), 1);
        QCOMPARE(received(outside.get()).size(), 0);
        LanMessage answer;
        QVERIFY(LanMessage::decode(toGood.first().data(), &answer).ok());
        QCOMPARE(answer.kind, LanMessage::Kind::Answer);
        QCOMPARE(answer.nonce, QByteArray(LanMessage::nonceSize, '1'));
        QCOMPARE(answer.port, quint16(8002));
        QCOMPARE(toGood.first().senderAddress(), ip("10.77.0.2"));
        QVERIFY(toGood.first().data().size() <= searchBytes(release, '1').size());
        const QString log = LogCapture::lines().join('\n');
        for (const char *why : {"oversized", "malformed", "another release", "outside the receiving subnet",
                                "more than one search a second"})
            QVERIFY2(log.contains(QLatin1String(why)), why);
    }

    // A finder that serves nothing gets answers on its search socket: at most 8 peers, one per address.
    void answersBounded() {
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress::AnyIPv4, LanPeerFinder::groupPort,
                              QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        QVERIFY(listener.joinMulticastGroup(LanPeerFinder::groupIPv4(),
                                            QNetworkInterface::interfaceFromName("kvb")));
        LanPeerFinder a;
        a.setSubnets({subnet("kva", "10.77.0.1", 24)});
        a.setRelease(release);
        QVERIFY(a.start());
        QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingDatagrams(), 10000);
        const QNetworkDatagram search = listener.receiveDatagram();
        LanMessage m;
        QVERIFY(LanMessage::decode(search.data(), &m).ok());
        QCOMPARE(m.release, release);
        const auto answerFrom = [&](const char *address, quint16 port, const QByteArray &nonce) {
            LanMessage answer;
            answer.kind = LanMessage::Kind::Answer;
            answer.nonce = nonce;
            answer.port = port;
            auto s = socketOn(address, "kvb");
            QVERIFY(s);
            s->writeDatagram(answer.encode(), search.senderAddress(), quint16(search.senderPort()));
        };
        answerFrom("10.77.0.19", 9019, QByteArray(LanMessage::nonceSize, 'n')); // no search of ours
        answerFrom("10.99.0.1", 9098, m.nonce);                                 // outside the subnet
        for (int i = 10; i <= 18; ++i)
            answerFrom(qPrintable(QStringLiteral("10.77.0.%1").arg(i)), quint16(9000 + i), m.nonce);
        answerFrom("10.77.0.10", 9999, m.nonce); // a known address: its new port
        QTRY_VERIFY_WITH_TIMEOUT(a.peers().contains("http://10.77.0.10:9999/"), 10000);
        QStringList want;
        for (int i = 11; i <= 17; ++i)
            want.append(QStringLiteral("http://10.77.0.%1:%2/").arg(i).arg(9000 + i));
        want.prepend("http://10.77.0.10:9999/");
        QCOMPARE(a.peers(), want);
    }
};

QTEST_GUILESS_MAIN(TestLan)
#include "tst_lan.moc"
