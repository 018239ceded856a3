#pragma once

#include "lan/lansubnet.h"

#include <QObject>
#include <QString>

#include <future>
#include <memory>
#include <vector>

// Serves offered game files over HTTP to launchers nearby: GET and HEAD of "/<name>" for the names in
// its table only, one range per request, the file opened without following links and only while its
// size and modification time are still those it was offered with. Clients outside the given subnets
// are refused when they connect; at most MaxClients addresses are served at once, MaxConnections
// connections each. Safe to call from any thread: requests are answered on the server's own threads.
class LanPeerServer : public QObject {
    Q_OBJECT
public:
    struct Offered {
        QString path;    // the file on this disk
        qint64 size = 0; // as checked this run
        qint64 modifiedMs = 0;
    };

    static constexpr int MaxClients = 4;
    static constexpr int MaxConnections = 2;
    // A request beyond MaxConnections waits this long for one of its address's requests to end.
    static constexpr int SlotWaitMs = 250;
    static constexpr int MaxHeaderBytes = 8 * 1024;
    static constexpr int HeaderTimeoutMs = 5000;
    // A transfer that could write nothing for this long is closed.
    static constexpr int IdleTimeoutMs = 10000;

    explicit LanPeerServer(QObject *parent = nullptr);
    ~LanPeerServer() override;

    // `name` as a client asks for it below the server's root, e.g. "v12_Data/foo.pak". A name with
    // an empty, "." or ".." part is refused.
    void offer(const QString &name, const Offered &file);
    void withdrawAll();
    int offeredCount() const;

    // Listens on the subnets' own IPv4 addresses (IPv6: on every address, answering only the
    // subnets) on `port`, or on a free one for 0. False with the reason when it cannot.
    bool start(const LanSubnets &subnets, quint16 port = 0, QString *why = nullptr);
    quint16 port() const;
    bool isRunning() const;
    // Ends open transfers within one chunk and refuses new requests; the listening sockets close
    // shortly after, without blocking the caller.
    void stop();

    struct Private;
    struct Run;

private:
    void letGo(std::unique_ptr<Run> stopped);

    std::shared_ptr<Private> d;
    std::unique_ptr<Run> run;
    quint16 listeningPort = 0;
    std::vector<std::future<void>> stoppers; // mg_stop of runs let go
};
