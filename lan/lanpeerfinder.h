#pragma once

#include "lan/lansubnet.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

class QNetworkDatagram;
class QUdpSocket;
struct LanMessage;

// Finds launchers of the same release on the local network and answers their searches.
//
// A search goes to the multicast group 239.255.77.31 (IPv6: ff02::4b56:4c31 on the link), port
// 46131, TTL 1, from a socket bound to an ephemeral port of the interface's own address: answers come
// back there by unicast, so a launcher that serves nothing finds peers without listening on the
// group's port. Per interface one search goes out: from its IPv4 address when it has a usable one,
// else from its unique local IPv6 address, else from its link-local one (so a peer is found once).
// A launcher with the same release and a serving port listens on the group and answers with its
// port, at most once a second per source address. Datagrams are hints: what does not parse, is
// larger than 512 bytes, names another release, answers no search of ours or comes from outside
// the receiving interface's subnet is dropped with a log line (one a reason every 10 s). The format
// is in docs/formats.md; nothing about the player is sent.
class LanPeerFinder : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 groupPort = 46131;
    static constexpr int maxPeers = 8;
    static QHostAddress groupIPv4();
    static QHostAddress groupIPv6();

    explicit LanPeerFinder(QObject *parent = nullptr);
    ~LanPeerFinder() override;

    void setSubnets(const LanSubnets &subnets); // where to search and answer (LanInterfaces::usable())
    void setRelease(const QByteArray &digest);  // digest of the signed version file; empty: none yet
    void setServingPort(quint16 port);          // 0: this launcher serves nothing and answers nothing
    void setSearchIntervalMs(int ms);           // default 30000

    // Binds the search sockets (and the group's port when serving) and sends a first search; false,
    // with the reason, when no interface could be used.
    bool start(QString *why = nullptr);
    void stop(); // no datagram after this
    void searchNow();

    QStringList peers() const; // base URLs "http://address:port/", at most maxPeers, one per address

signals:
    void peerFound(const QString &baseUrl);

private:
    struct Searcher {
        LanSubnet subnet;
        QUdpSocket *socket = nullptr;
    };
    struct Peer {
        QHostAddress address;
        quint16 port = 0;
    };

    void closeSockets();
    void openListeners();
    void closeListeners();
    void readSearches(QUdpSocket *listener);
    void readAnswers(const Searcher &searcher);
    void answer(QUdpSocket *listener, const LanMessage &search, const QHostAddress &from, quint16 fromPort,
                const LanSubnet &receiving);
    void takeAnswer(const LanMessage &answer, const QHostAddress &from);
    static QNetworkDatagram receive(QUdpSocket *socket);
    // False, after a log line, for a datagram that is no message of ours.
    bool decode(const QNetworkDatagram &datagram, LanMessage *message);
    void drop(const QString &reason, const QHostAddress &from, const QString &detail);

    LanSubnets subnets;
    QByteArray release;
    quint16 servingPort = 0;
    int intervalMs = 30000;
    bool running = false;
    QTimer timer;
    QVector<Searcher> searchers;
    QUdpSocket *listenerV4 = nullptr;
    QUdpSocket *listenerV6 = nullptr;
    QVector<QByteArray> nonces; // of our latest searches, oldest first
    QVector<Peer> found;
    QHash<QString, qint64> lastAnswerMs; // per source address
    struct DropCount {
        qint64 loggedMs = -1;
        int unlogged = 0;
    };
    QHash<QString, DropCount> drops; // per reason
    QElapsedTimer clock;
};
