#pragma once

#include "singleinstance/peerframereader.h"
#include "singleinstance/singleapplication.h"

#include <QHash>
#include <QObject>
#include <QStringList>

class QElapsedTimer;
class QLocalServer;
class QLocalSocket;
class QSharedMemory;
struct InstanceBlock;

class SingleApplicationPrivate : public QObject {
    Q_OBJECT

public:
    enum ConnectionKind : quint8 {
        ConnectInvalid = 0,
        ConnectNewInstance = 1,
        ConnectSecondary = 2,
        ConnectForMessage = 3,
    };

    // Largest frame (greeting or message) a peer may announce; anything above closes the connection.
    static constexpr qint64 MaxFrameLength = PeerFrameReader::MaxFrameLength;
    // Least time a primary that took the connection gets to acknowledge the greeting, and again the
    // message, whatever the sender's own timeout: a launcher busy starting its window, or a loaded
    // machine, answers late, and a sender that gave up would lose the frames not yet sent.
    static constexpr int AcknowledgementWaitMs = 5000;

    explicit SingleApplicationPrivate(SingleApplication *q);
    ~SingleApplicationPrivate() override;

    // SHA-256 over the key parts, Base64 with "/" replaced by "_": 44 characters.
    static QString computeKeyName(SingleApplication::Options options, const QStringList &extraKeyData,
                                  const QString &applicationName, const QString &organizationName,
                                  const QString &organizationDomain, const QString &applicationVersion,
                                  const QString &executablePath, const QString &userName);
    // The same, with the parts taken from the running application (needs a QCoreApplication).
    static QString keyNameForThisProcess(SingleApplication::Options options, const QStringList &extraKeyData);
    static QString currentUserName();
    static void randomSleep();

    InstanceBlock *block() const;
    void startPrimary();
    void startSecondary();
    bool blockHasStalePrimary() const;
    bool connectToPrimary(int timeoutMs, ConnectionKind kind);
    // Time a connected primary gets to acknowledge a frame pair, for a sender's timeout.
    static int acknowledgementBudget(int timeoutMs);
    // Header, wait for ack, payload, wait for ack; all within budgetMs counted by timer.
    bool writeAcknowledged(const QByteArray &payload, int budgetMs, const QElapsedTimer &timer,
                           bool *headerAcknowledged = nullptr);

    SingleApplication *owner;
    QSharedMemory *memory = nullptr;
    QLocalSocket *socket = nullptr;
    QLocalServer *server = nullptr;
    quint32 instanceId = 0;
    QString keyName;
    SingleApplication::Options options;
    QHash<QLocalSocket *, PeerFrameReader> peers;
    QStringList extraKeyData;

public slots:
    void slotConnectionEstablished();
    void slotDataAvailable(QLocalSocket *peer, quint32 peerInstanceId);
    void slotClientConnectionClosed(QLocalSocket *peer, quint32 peerInstanceId);

private:
    void processPeer(QLocalSocket *peer);
    void dropPeer(QLocalSocket *peer);
};
