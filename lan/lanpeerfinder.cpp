#include "lan/lanpeerfinder.h"

#include "lan/lanmessage.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QUrl>

namespace {

const int keptNonces = 4;          // answers to the few searches before the last still count
const qint64 answerGapMs = 1000;   // per source address
const qint64 dropLogGapMs = 10000; // per reason
const int maxAnsweredSources = 256;

bool isIPv4(const QHostAddress &a) {
    return a.protocol() == QAbstractSocket::IPv4Protocol;
}

bool isLinkLocal(const QHostAddress &a) {
    return a.isInSubnet(QHostAddress(QStringLiteral("fe80::")), 10);
}

// Which address of an interface searches: IPv4, else unique local IPv6, else link-local.
int searchRank(const QHostAddress &a) {
    return isIPv4(a) ? 0 : isLinkLocal(a) ? 2 : 1;
}

QString peerUrl(const QHostAddress &address, quint16 port) {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString());
    url.setPort(port);
    url.setPath(QStringLiteral("/"));
    return url.toString();
}

} // namespace

QHostAddress LanPeerFinder::groupIPv4() {
    return QHostAddress(QStringLiteral("239.255.77.31"));
}

QHostAddress LanPeerFinder::groupIPv6() {
    return QHostAddress(QStringLiteral("ff02::4b56:4c31"));
}

LanPeerFinder::LanPeerFinder(QObject *parent)
    : QObject(parent) {
    clock.start();
    connect(&timer, &QTimer::timeout, this, &LanPeerFinder::searchNow);
}

LanPeerFinder::~LanPeerFinder() {
    stop();
}

void LanPeerFinder::setSubnets(const LanSubnets &s) {
    subnets = s;
    if (running)
        start();
}

void LanPeerFinder::setRelease(const QByteArray &digest) {
    if (digest == release)
        return;
    release = digest;
    // Peers and answers found for another release say nothing about this one.
    nonces.clear();
    found.clear();
    if (running)
        searchNow();
}

void LanPeerFinder::setServingPort(quint16 port) {
    servingPort = port;
    if (!running)
        return;
    if (port == 0)
        closeListeners();
    else if (!listenerV4 && !listenerV6)
        openListeners();
}

void LanPeerFinder::setSearchIntervalMs(int ms) {
    intervalMs = qMax(10, ms);
    if (timer.isActive())
        timer.start(intervalMs);
}

bool LanPeerFinder::start(QString *why) {
    closeSockets();
    running = false;
    // One search socket per interface, from its best address.
    QHash<int, LanSubnet> best;
    for (const LanSubnet &s : subnets) {
        auto it = best.find(s.interfaceIndex);
        if (it == best.end() || searchRank(s.address) < searchRank(it->address))
            best.insert(s.interfaceIndex, s);
    }
    QStringList failures;
    for (const LanSubnet &s : best) {
        auto *socket = new QUdpSocket(this);
        if (!socket->bind(s.address, 0)) {
            failures.append(QStringLiteral("%1: %2").arg(s.address.toString(), socket->errorString()));
            delete socket;
            continue;
        }
        socket->setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
        socket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);
        socket->setMulticastInterface(QNetworkInterface::interfaceFromIndex(s.interfaceIndex));
        searchers.append(Searcher{s, socket});
        const Searcher searcher = searchers.last();
        connect(socket, &QUdpSocket::readyRead, this, [this, searcher] { readAnswers(searcher); });
    }
    if (!failures.isEmpty())
        qWarning() << "lan: cannot bind a search socket" << failures;
    if (searchers.isEmpty()) {
        const QString reason = subnets.isEmpty()
                                   ? QStringLiteral("no interface takes part in the local network")
                                   : QStringLiteral("no search socket could be bound: %1")
                                         .arg(failures.join(QStringLiteral("; ")));
        if (why)
            *why = reason;
        return false;
    }
    running = true;
    if (servingPort != 0)
        openListeners();
    timer.start(intervalMs);
    searchNow();
    return true;
}

void LanPeerFinder::stop() {
    running = false;
    timer.stop();
    closeSockets();
}

void LanPeerFinder::closeSockets() {
    closeListeners();
    for (const Searcher &s : searchers) {
        s.socket->close();
        s.socket->deleteLater();
    }
    searchers.clear();
}

void LanPeerFinder::openListeners() {
    const QAbstractSocket::BindMode mode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    for (const LanSubnet &s : subnets) {
        QUdpSocket *&listener = isIPv4(s.address) ? listenerV4 : listenerV6;
        if (!listener) {
            listener = new QUdpSocket(this);
            const QHostAddress any = isIPv4(s.address) ? QHostAddress::AnyIPv4 : QHostAddress::AnyIPv6;
            if (!listener->bind(any, groupPort, mode)) {
                qWarning() << "lan: cannot listen for searches on port" << groupPort
                           << listener->errorString();
                delete listener;
                listener = nullptr;
                continue;
            }
            QUdpSocket *l = listener;
            connect(l, &QUdpSocket::readyRead, this, [this, l] { readSearches(l); });
        }
        const QNetworkInterface interface = QNetworkInterface::interfaceFromIndex(s.interfaceIndex);
        const QHostAddress group = isIPv4(s.address) ? groupIPv4() : groupIPv6();
        // An interface with two addresses of a family is joined twice; the second join fails harmlessly.
        if (!listener->joinMulticastGroup(group, interface))
            qDebug() << "lan: cannot join" << group.toString() << "on" << s.interfaceName
                     << listener->errorString();
    }
}

void LanPeerFinder::closeListeners() {
    for (QUdpSocket **l : {&listenerV4, &listenerV6}) {
        if (*l) {
            (*l)->close();
            (*l)->deleteLater();
            *l = nullptr;
        }
    }
}

void LanPeerFinder::searchNow() {
    if (!running || release.isEmpty())
        return;
    LanMessage search;
    search.kind = LanMessage::Kind::Search;
    search.release = release;
    search.nonce.resize(LanMessage::nonceSize);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(search.nonce.data()),
                                          LanMessage::nonceSize / 4);
    const QByteArray bytes = search.encode();
    if (bytes.isEmpty()) {
        qWarning() << "lan: release digest of" << release.size() << "bytes cannot be searched for";
        return;
    }
    nonces.append(search.nonce);
    while (nonces.size() > keptNonces)
        nonces.removeFirst();
    for (const Searcher &s : qAsConst(searchers)) {
        QHostAddress group = isIPv4(s.subnet.address) ? groupIPv4() : groupIPv6();
        if (!isIPv4(group))
            group.setScopeId(s.subnet.interfaceName);
        if (s.socket->writeDatagram(bytes, group, groupPort) != bytes.size())
            qWarning() << "lan: cannot send a search on" << s.subnet.interfaceName << s.socket->errorString();
    }
}

QStringList LanPeerFinder::peers() const {
    QStringList out;
    for (const Peer &p : found)
        out.append(peerUrl(p.address, p.port));
    return out;
}

void LanPeerFinder::readSearches(QUdpSocket *listener) {
    while (running && listener->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = receive(listener);
        const QHostAddress from = datagram.senderAddress();
        LanMessage search;
        if (!decode(datagram, &search))
            continue;
        if (search.kind != LanMessage::Kind::Search) {
            drop(QStringLiteral("answer on the search port"), from, QString());
            continue;
        }
        if (nonces.contains(search.nonce))
            continue; // our own search, looped back
        const LanSubnet *receiving = nullptr;
        for (const LanSubnet &s : qAsConst(subnets))
            if ((datagram.interfaceIndex() == 0 || uint(s.interfaceIndex) == datagram.interfaceIndex()) &&
                s.contains(from)) {
                receiving = &s;
                break;
            }
        if (!receiving) {
            drop(QStringLiteral("outside the receiving subnet"), from,
                 QStringLiteral("interface %1").arg(datagram.interfaceIndex()));
            continue;
        }
        if (search.release != release) {
            drop(QStringLiteral("another release"), from, QString::fromLatin1(search.release.toHex()));
            continue;
        }
        answer(listener, search, from, quint16(datagram.senderPort()), *receiving);
    }
}

void LanPeerFinder::answer(QUdpSocket *listener, const LanMessage &search, const QHostAddress &from,
                           quint16 fromPort, const LanSubnet &receiving) {
    const qint64 now = clock.elapsed();
    const QString key = from.toString();
    auto last = lastAnswerMs.constFind(key);
    if (last != lastAnswerMs.constEnd() && now - *last < answerGapMs) {
        drop(QStringLiteral("more than one search a second"), from, QString());
        return;
    }
    if (lastAnswerMs.size() >= maxAnsweredSources) {
        for (auto it = lastAnswerMs.begin(); it != lastAnswerMs.end();)
            it = now - *it >= answerGapMs ? lastAnswerMs.erase(it) : std::next(it);
    }
    // Still full: sources within the last second are too many to remember, answer none of the rest.
    if (lastAnswerMs.size() >= maxAnsweredSources) {
        drop(QStringLiteral("too many sources"), from, QString());
        return;
    }
    lastAnswerMs.insert(key, now);
    LanMessage reply;
    reply.kind = LanMessage::Kind::Answer;
    reply.nonce = search.nonce;
    reply.port = servingPort;
    QNetworkDatagram datagram(reply.encode(), from, fromPort);
    // Out of the receiving interface, from its own address: that is where the asker will fetch from.
    // (Linux takes the interface's primary address from the index, Windows and IPv6 the address.)
    datagram.setSender(receiving.address);
    datagram.setInterfaceIndex(uint(receiving.interfaceIndex));
    if (listener->writeDatagram(datagram) < 0)
        qWarning() << "lan: cannot answer" << from.toString() << listener->errorString();
}

void LanPeerFinder::readAnswers(const Searcher &searcher) {
    while (running && searcher.socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = receive(searcher.socket);
        const QHostAddress from = datagram.senderAddress();
        LanMessage reply;
        if (!decode(datagram, &reply)) {
            continue;
        } else if (reply.kind != LanMessage::Kind::Answer) {
            drop(QStringLiteral("search on an answer port"), from, QString());
        } else if (!searcher.subnet.contains(from)) {
            drop(QStringLiteral("outside the receiving subnet"), from, searcher.subnet.interfaceName);
        } else if (!nonces.contains(reply.nonce)) {
            drop(QStringLiteral("answer to no search of ours"), from, QString());
        } else {
            takeAnswer(reply, from);
        }
    }
}

void LanPeerFinder::takeAnswer(const LanMessage &reply, const QHostAddress &from) {
    for (Peer &p : found) {
        if (p.address == from && p.address.scopeId() == from.scopeId()) {
            if (p.port != reply.port) {
                p.port = reply.port;
                emit peerFound(peerUrl(p.address, p.port));
            }
            return;
        }
    }
    if (found.size() >= maxPeers) {
        drop(QStringLiteral("peers full"), from, QString());
        return;
    }
    found.append(Peer{from, reply.port});
    qInfo() << "lan: peer found" << peerUrl(from, reply.port);
    emit peerFound(peerUrl(from, reply.port));
}

QNetworkDatagram LanPeerFinder::receive(QUdpSocket *socket) {
    // One byte more than allowed tells an oversized datagram from one of the largest size.
    return socket->receiveDatagram(LanMessage::maxSize + 1);
}

bool LanPeerFinder::decode(const QNetworkDatagram &datagram, LanMessage *message) {
    const Result<LanMessage::Error> parsed = LanMessage::decode(datagram.data(), message);
    if (!parsed.ok())
        drop(parsed.code() == LanMessage::Error::Oversized ? QStringLiteral("oversized")
                                                           : QStringLiteral("malformed"),
             datagram.senderAddress(), parsed.reason());
    return parsed.ok();
}

void LanPeerFinder::drop(const QString &reason, const QHostAddress &from, const QString &detail) {
    DropCount &d = drops[reason];
    const qint64 now = clock.elapsed();
    if (d.loggedMs >= 0 && now - d.loggedMs < dropLogGapMs) {
        ++d.unlogged;
        return;
    }
    qInfo() << "lan: datagram dropped" << reason << "from" << from.toString() << detail
            << "| unlogged since the last line:" << d.unlogged;
    d.loggedMs = now;
    d.unlogged = 0;
}
