#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// The CDN hosts one run may fetch from: the build's CDN first, then its mirrors, all with the same
// path layout. Every byte is checked against the signed version file, so any host may serve any
// file; this class only decides which host to ask.
//
// A host that fails FailuresToLeaveOut requests in a row is left out for a while: it is asked again
// after a pause that starts at FirstReturnMs and doubles, up to MaxReturnMs, each time it fails again
// on its return (one failure is enough then); a request it serves brings it back for good. A host
// that served wrong bytes is left out for the rest of the run (the next start tries it again). When
// every host is left out, all of them are asked again rather than none: the failures then reach the
// player as they would with one CDN.
//
// Peers (launchers nearby with the same release) may join the hosts of a game-file run: their bytes
// are checked before they count, like the CDN's, but they are trusted with nothing else. A peer that
// fails one request or serves wrong bytes is left out for good and never asked again, also when
// every host is left out; a peer is preferred over the CDN while it is not far slower, and holds at
// most PeerConnections requests at once (what a peer serves to one address).
class CdnHosts : public QObject {
    Q_OBJECT
public:
    static constexpr int FailuresToLeaveOut = 3;
    // A host whose last FailuresToLeaveOut requests failed fails everything unless it sent bytes
    // within this time: only then do the pauses before asking it again grow.
    static constexpr int ServingWindowMs = 10000;
    static constexpr int FirstReturnMs = 30000;
    static constexpr int MaxReturnMs = 300000;
    // Paces closer than this factor count as equal: the fewer holders win.
    static constexpr double PaceTolerance = 1.25;
    static constexpr double PaceGainToMove = 1.5;

    static constexpr int PeerConnections = 2;

    // Base URLs ("http://<host>/sea/win_update/"); empty and repeated entries are dropped.
    explicit CdnHosts(const QStringList &baseUrls, QObject *parent = nullptr);
    // The CDN hosts of `shared`, whose standing (failures, hosts left out, holders, paces) both
    // keep together: a host left out by one is left out by the other. Peers added to either are its
    // own (a game-file run's hosts, while `shared` fetches what only the CDN may give).
    CdnHosts(CdnHosts *shared, QObject *parent);
    // The build's: cdnBaseUrl, then cdnMirrorUrls.
    static QStringList buildHosts();

    int count() const { return int(hosts.size()); }
    // CDN hosts and peers.
    const QStringList &all() const { return hosts; }
    // The hosts not left out, in list order; every CDN host when all of them are left out (peers
    // left out never come back).
    QStringList usable() const;

    // A peer's base URL ("http://<address>:<port>/"), asked from now on, also during a run.
    void addPeer(const QString &baseUrl);
    bool isPeer(const QString &baseUrl) const { return peerUrls.contains(baseUrl); }
    const QStringList &peers() const { return peerUrls; }
    // The CDN hosts alone, in list order.
    QStringList cdnHosts() const;
    // Some peer is not left out.
    bool hasUsablePeer() const;
    // The host may take one more request (a peer holds at most PeerConnections).
    bool hasRoom(const QString &baseUrl) const;
    bool isLeftOut(const QString &baseUrl) const;
    // How long a host left out for failing waits before it is asked again (FirstReturnMs and
    // MaxReturnMs unless set).
    void setReturnPauses(int firstMs, int maxMs);
    // The host failed its last FailuresToLeaveOut requests and has sent no byte for ServingWindowMs.
    bool failsEverything(const QString &baseUrl) const;
    // The host is left out, or its last request failed for want of an answer: it may be away.
    bool mayBeAway(const QString &baseUrl) const {
        return isLeftOut(baseUrl) || s->failuresInARow.value(baseUrl) > 0;
    }
    // One of `baseUrl`'s holders would do better on another usable host: one that would give a
    // request PaceGainToMove times the pace `baseUrl` gives now, or (paces unknown) one with at least
    // two holders fewer.
    bool isCrowded(const QString &baseUrl) const;

    // How fast one request of the host receives, in bytes per ms, as last measured; 0: not yet known.
    void setPace(const QString &baseUrl, double bytesPerMs);
    double pace(const QString &baseUrl) const { return s->paces.value(baseUrl); }

    // The host for a new piece of work: the usable host where a request would receive fastest
    // (hosts not measured yet count as fast as the fastest, so that each gets measured), the one
    // with fewer holders when that is within PaceTolerance, list order on a tie; `avoid` only when
    // no other is usable. Give it back with release().
    QString acquire(const QString &avoid = QString());
    void release(const QString &baseUrl);
    // Like acquire(), among the usable hosts not in `tried` that have room, a usable peer first
    // unless a CDN host would give a request PaceGainToMove times its pace; "" (nothing held) when
    // there is none.
    QString acquireOther(const QStringList &tried);
    // Counts one more holder of a host the caller picked itself; give it back with release().
    void hold(const QString &baseUrl);

    // A request to the host brought what it asked for (resets its run of failures).
    void succeeded(const QString &baseUrl);
    // Bytes arrived from the host, though the request failed later: it is there.
    void served(const QString &baseUrl);
    // A request to the host failed without an answer that says the file is missing.
    void failed(const QString &baseUrl, const QString &why);
    // The host sent bytes that failed their check: it is left out at once.
    void servedWrongBytes(const QString &baseUrl, const QString &what);

    // "host[:port]" of a base URL, for the log and the events.
    static QString hostName(const QString &baseUrl);
    // The hostName()s of several base URLs, comma-separated.
    static QString hostNames(const QStringList &baseUrls);

signals:
    void hostLeftOut(const QString &baseUrl, const QString &why);
    void peerJoined(const QString &baseUrl);

private:
    void leaveOut(const QString &baseUrl, const QString &why);

    // A host left out for failing whose pause is over: asked again.
    bool hasReturned(const QString &baseUrl) const;
    // The pace a request would get on the host with one holder more, assuming the host shares a
    // fixed rate among its requests (a host that limits each request alone then looks slower than
    // it is, which keeps equal hosts equal).
    double paceWithOneMore(const QString &baseUrl) const;
    // Among `candidates`: the host where a request would receive fastest, fewer holders on a tie.
    QString fastest(const QStringList &candidates) const;

    // What the hosts did, by base URL; shared by the instances made from one another.
    struct Standing {
        QHash<QString, int> holders;
        QHash<QString, double> paces;
        QHash<QString, int> failuresInARow;
        QHash<QString, QElapsedTimer> lastServed;
        QHash<QString, QString> leftOut;        // base URL -> why
        QHash<QString, QElapsedTimer> outSince; // hosts left out for failing (not for wrong bytes)
        QHash<QString, int> returnPause;        // their pause before they are asked again
        int firstReturnMs = FirstReturnMs;
        int maxReturnMs = MaxReturnMs;
    };

    QStringList hosts;    // the CDN hosts, then the peers
    QStringList peerUrls; // the peers among them
    std::shared_ptr<Standing> s = std::make_shared<Standing>();
    // Aliases into the standing.
    QHash<QString, int> &holders = s->holders;
    QHash<QString, double> &paces = s->paces;
    QHash<QString, int> &failuresInARow = s->failuresInARow;
    QHash<QString, QElapsedTimer> &lastServed = s->lastServed;
    QHash<QString, QString> &leftOut = s->leftOut;
    QHash<QString, QElapsedTimer> &outSince = s->outSince;
    QHash<QString, int> &returnPause = s->returnPause;
    int &firstReturnMs = s->firstReturnMs;
    int &maxReturnMs = s->maxReturnMs;
};
