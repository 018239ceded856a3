#include "singleinstance/singleapplicationprivate.h"

#include "platform/platform.h"
#include "singleinstance/instanceblock.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QSharedMemory>
#include <QThread>

#include <cstring>

namespace {

// A connection attempt towards the recorded primary; the answer is immediate for local sockets,
// the limit only guards against a stuck peer.
constexpr int StaleProbeTimeoutMs = 200;

int remaining(int budgetMs, const QElapsedTimer &timer) {
    const qint64 left = budgetMs - timer.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for at least one byte from the primary and consumes it. A wait may end early with neither
// a byte nor an error (seen with named pipes under wine): it is waited again while the connection
// stands and the budget lasts.
bool readAcknowledgement(QLocalSocket *socket, int budgetMs, const QElapsedTimer &timer) {
    while (socket->bytesAvailable() < 1) {
        const int left = remaining(budgetMs, timer);
        if (left <= 0 || socket->state() != QLocalSocket::ConnectedState)
            return false;
        socket->waitForReadyRead(left);
    }
    char ack = 0;
    return socket->read(&ack, 1) == 1;
}

} // namespace

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication *q)
    : QObject(nullptr)
    , owner(q) {}

SingleApplicationPrivate::~SingleApplicationPrivate() {
    if (socket) {
        socket->close();
        delete socket;
        socket = nullptr;
    }
    if (!memory)
        return;

    const bool locked = memory->lock();
    if (server) {
        // Peers go with the server; their close must not be read as a last message.
        for (auto it = peers.cbegin(); it != peers.cend(); ++it)
            disconnect(it.key(), nullptr, this, nullptr);
        peers.clear();
        server->close();
        delete server;
        server = nullptr;
        InstanceBlock *b = block();
        // Release the block only while it still names this process: after a take-over it
        // belongs to another primary.
        if (locked && b && b->primaryProcessId == QCoreApplication::applicationPid())
            InstanceBlockOps::releasePrimary(b);
    }
    if (locked)
        memory->unlock();
    delete memory;
    memory = nullptr;
}

QString
SingleApplicationPrivate::computeKeyName(SingleApplication::Options options, const QStringList &extraKeyData,
                                         const QString &applicationName, const QString &organizationName,
                                         const QString &organizationDomain, const QString &applicationVersion,
                                         const QString &executablePath, const QString &userName) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(applicationName.toUtf8());
    hash.addData(organizationName.toUtf8());
    hash.addData(organizationDomain.toUtf8());
    if (!extraKeyData.isEmpty())
        hash.addData(extraKeyData.join(QString()).toUtf8());
    if (!options.testFlag(SingleApplication::KeyWithoutVersion))
        hash.addData(applicationVersion.toUtf8());
    if (!options.testFlag(SingleApplication::KeyWithoutPath))
        hash.addData(executablePath.toLower().toUtf8());
    if (options.testFlag(SingleApplication::UserScope))
        hash.addData(userName.toUtf8());
    QByteArray key = hash.result().toBase64();
    key.replace('/', '_');
    return QString::fromUtf8(key);
}

QString SingleApplicationPrivate::keyNameForThisProcess(SingleApplication::Options options,
                                                        const QStringList &extraKeyData) {
    return computeKeyName(options, extraKeyData, QCoreApplication::applicationName(),
                          QCoreApplication::organizationName(), QCoreApplication::organizationDomain(),
                          QCoreApplication::applicationVersion(), QCoreApplication::applicationFilePath(),
                          options.testFlag(SingleApplication::UserScope) ? currentUserName() : QString());
}

QString SingleApplicationPrivate::currentUserName() {
    const QString name = Platform::currentUserName();
    if (!name.isEmpty())
        return name;
    return qEnvironmentVariable("USERNAME");
}

void SingleApplicationPrivate::randomSleep() {
    const quint64 r = QRandomGenerator::global()->generate();
    QThread::msleep(static_cast<unsigned long>(8 + ((r * 10) >> 32)));
}

InstanceBlock *SingleApplicationPrivate::block() const {
    return memory ? static_cast<InstanceBlock *>(memory->data()) : nullptr;
}

void SingleApplicationPrivate::startPrimary() {
    InstanceBlockOps::claimPrimary(block(), QCoreApplication::applicationPid(), currentUserName());
    instanceId = 0;

    QLocalServer::removeServer(keyName);
    server = new QLocalServer();
    server->setSocketOptions(options.testFlag(SingleApplication::UserScope)
                                 ? QLocalServer::UserAccessOption
                                 : QLocalServer::WorldAccessOption);
    if (!server->listen(keyName))
        qWarning().noquote() << "SingleApplication: Unable to listen." << server->errorString();
    connect(server, &QLocalServer::newConnection, this, &SingleApplicationPrivate::slotConnectionEstablished);
}

void SingleApplicationPrivate::startSecondary() {
    instanceId = InstanceBlockOps::addSecondary(block());
}

bool SingleApplicationPrivate::blockHasStalePrimary() const {
    // Only an answer under the key proves a primary: the recorded process id may have been given
    // to another program since the primary was killed (and one of another user counts as alive).
    QLocalSocket probe;
    probe.connectToServer(keyName);
    const bool answered =
        probe.state() == QLocalSocket::ConnectedState || probe.waitForConnected(StaleProbeTimeoutMs);
    probe.abort();
    return !answered;
}

bool SingleApplicationPrivate::connectToPrimary(int timeoutMs, ConnectionKind kind) {
    QElapsedTimer timer;
    timer.start();
    if (!socket)
        socket = new QLocalSocket();
    if (socket->state() == QLocalSocket::ConnectedState)
        return true;

    for (;;) {
        randomSleep();
        if (socket->state() != QLocalSocket::ConnectingState)
            socket->connectToServer(keyName, QIODevice::ReadWrite);
        if (socket->state() == QLocalSocket::ConnectingState)
            socket->waitForConnected(remaining(timeoutMs, timer));
        if (socket->state() == QLocalSocket::ConnectedState)
            break;
        if (timer.elapsed() >= timeoutMs)
            return false;
    }

    // The wait for the greeting's acknowledgement counts from here: a connection can take long
    // (on Windows, until a busy primary offers a new pipe instance) and must not use it up.
    QElapsedTimer connected;
    connected.start();
    return writeAcknowledged(PeerFrameReader::encodeGreeting(keyName, static_cast<quint8>(kind), instanceId),
                             acknowledgementBudget(remaining(timeoutMs, timer)), connected);
}

int SingleApplicationPrivate::acknowledgementBudget(int timeoutMs) {
    return qMax(timeoutMs, AcknowledgementWaitMs);
}

bool SingleApplicationPrivate::writeAcknowledged(const QByteArray &payload, int budgetMs,
                                                 const QElapsedTimer &timer, bool *headerAcknowledged) {
    if (headerAcknowledged)
        *headerAcknowledged = false;
    socket->write(PeerFrameReader::encodeHeader(payload.size()));
    socket->flush();
    if (!readAcknowledgement(socket, budgetMs, timer))
        return false;
    if (headerAcknowledged)
        *headerAcknowledged = true;

    socket->write(payload);
    // A large payload may need several rounds to leave the buffer.
    while (socket->bytesToWrite() > 0 && socket->state() == QLocalSocket::ConnectedState) {
        if (!socket->waitForBytesWritten(remaining(budgetMs, timer)))
            break;
    }
    socket->flush();
    return readAcknowledgement(socket, budgetMs, timer);
}

void SingleApplicationPrivate::slotConnectionEstablished() {
    QLocalSocket *peer = server->nextPendingConnection();
    if (!peer)
        return;
    peers.insert(peer, PeerFrameReader(keyName));
    // A peer can never make us hold more than one frame and a little slack.
    peer->setReadBufferSize(MaxFrameLength + 64 * 1024);

    connect(peer, &QLocalSocket::aboutToClose, this, [this, peer]() {
        const auto it = peers.constFind(peer);
        if (it != peers.cend() && peer->bytesAvailable() > 0)
            slotClientConnectionClosed(peer, it->instanceId());
    });
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    connect(peer, &QObject::destroyed, this, [this, peer]() { peers.remove(peer); });
    connect(peer, &QLocalSocket::readyRead, this, [this, peer]() { processPeer(peer); });

    // Bytes that came with the connection itself.
    if (peer->bytesAvailable() > 0)
        processPeer(peer);
}

void SingleApplicationPrivate::processPeer(QLocalSocket *peer) {
    QPointer<QLocalSocket> guard(peer);
    // Keep going while a frame completes: the bytes may already hold the next one behind it.
    while (guard) {
        auto it = peers.find(peer);
        if (it == peers.end())
            return;
        const PeerFrameReader::Result result = it->next(peer);
        peer->flush(); // acknowledgements leave at once
        switch (result) {
        case PeerFrameReader::NeedMore:
            return;
        case PeerFrameReader::Rejected:
            dropPeer(peer);
            return;
        case PeerFrameReader::Greeting: {
            const quint8 kind = it->kind();
            const bool announce =
                kind == ConnectNewInstance ||
                (kind == ConnectSecondary && options.testFlag(SingleApplication::NotifySecondaryStart));
            if (announce)
                emit owner->instanceStarted();
            // A receiver may have closed the peer or let others connect meanwhile.
            if (!guard)
                return;
            it = peers.find(peer);
            if (it == peers.end())
                return;
            it->acknowledge(peer);
            peer->flush();
            break;
        }
        case PeerFrameReader::Message: {
            const quint32 peerInstanceId = it->instanceId();
            emit owner->receivedMessage(peerInstanceId, it->takeMessage());
            break;
        }
        }
    }
}

void SingleApplicationPrivate::slotDataAvailable(QLocalSocket *peer, quint32 peerInstanceId) {
    Q_UNUSED(peerInstanceId)
    processPeer(peer);
}

void SingleApplicationPrivate::slotClientConnectionClosed(QLocalSocket *peer, quint32 peerInstanceId) {
    Q_UNUSED(peerInstanceId)
    // Whatever arrived together with the close still counts, frame by frame.
    if (peer->bytesAvailable() > 0)
        processPeer(peer);
}

void SingleApplicationPrivate::dropPeer(QLocalSocket *peer) {
    peers.remove(peer);
    disconnect(peer, nullptr, this, nullptr);
    peer->abort();
    peer->deleteLater();
}
