#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

class CdnHosts;
class QNetworkAccessManager;

// Fetches the unpacked content of archive entries from launchers nearby by its BLAKE2b-256: GET
// "<peer>entry/<64 hex digits>" (LanSharing serves that name), at most CdnHosts::PeerConnections at
// once per peer, no redirect followed. Each answer is hashed as it arrives and kept in `folder` under
// the digest's hex digits only when it is exactly the listed size with the listed digest. A peer that
// sends other bytes is left out for the run (CdnHosts::servedWrongBytes), one that fails otherwise
// too (CdnHosts::failed); one that answers 404 lacks that entry and is asked for others. An entry
// goes to the next peer that has not been asked for it; what no peer sends is left to the caller,
// who fetches it from the CDN. A write that fails (a full disk) ends the fetch with what arrived.
class PeerEntryFetch : public QObject {
    Q_OBJECT
public:
    struct Wanted {
        QByteArray digest; // 32 bytes
        qint64 size = 0;   // unpacked
        qint64 weight = 0; // what it stands for in the progress (its bytes in the archive)
    };

    // A peer nearby that sends nothing for this long is taken for gone (LanPeerServer closes idle
    // transfers after twice that).
    static constexpr int StallMs = 5000;
    // Launchers nearby answer a search within a second (LanSharing::AnswerWaitMs), and a fetch may
    // start at the first answer: what no peer could be asked for waits that long for later ones.
    static constexpr int JoinWaitMs = 1000;
    static constexpr int RoomWaitMs = 20;
    static constexpr int EntryConnections = 1; // of CdnHosts::PeerConnections

    // The name a peer serves an entry's content under.
    static QString remoteName(const QByteArray &digest);

    // `hosts`: the run's hosts, whose peers are asked (not owned).
    PeerEntryFetch(const QString &folder, CdnHosts *hosts, int transferTimeoutMs, QObject *parent = nullptr);
    ~PeerEntryFetch() override; // cancels

    // finished() follows, at once when no peer is usable.
    void start(const QVector<Wanted> &wanted);
    // Stops every request; nothing is emitted after it.
    void cancel();

    // Digests whose content is in `folder`, checked, with that file's modification time.
    const QHash<QByteArray, qint64> &arrived() const { return done; }
    qint64 arrivedWeight() const { return doneWeight; }
    // Bytes the peers sent, checked or not.
    qint64 receivedBytes() const { return received; }

signals:
    void finished();

private:
    struct Request;
    void dispatch();
    // A peer not asked for the entry yet that may take a request now; `waitsForRoom` is set when one
    // would, but has no room.
    QString peerFor(int wanted, bool *waitsForRoom) const;
    void readFrom(Request *r);
    void ended(Request *r);
    void stop(const QString &why);
    void finishIfDone();
    void emitFinished();
    // Ends every request (its partial file goes); nothing more is asked.
    void halt();

    QString folder;
    CdnHosts *hosts;
    int timeoutMs;
    QNetworkAccessManager *network = nullptr;
    QVector<Wanted> wanted;
    QList<int> pending;              // not asked for now, in order
    QHash<int, QSet<QString>> asked; // peers asked for each entry
    QList<Request *> running;
    QHash<QByteArray, qint64> done;
    qint64 doneWeight = 0;
    qint64 received = 0;
    bool started = false;
    QElapsedTimer sinceStart;
    bool joinWaitArmed = false;
    bool roomWaitArmed = false;
    bool over = false;
    bool cancelled = false;
};
