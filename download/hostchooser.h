#pragma once

#include "download/errorcode.h"
#include "download/taskpiecedownloader.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

class CdnHosts;
class FetchedFile;
class PieceConnection;

// What the hosts did for one file of a run; it lives with the file.
struct FileHosts {
    QStringList servedBy; // hosts that served its pieces
    QStringList lacking;  // hosts that answered a piece of it with a 4xx
    QString pinned;       // the one host it is fetched from again after a failed check
    // Its pieces may come from peers: each is checked as it arrives (the file's block map), or the
    // file is one piece (its MD5 blames the one host).
    bool peersMayServe = false;
};

// What the hosts did for one connection; it lives with the connection.
struct ConnectionHosts {
    QString held;          // the host it keeps to while it has work
    QStringList tried;     // hosts its piece failed on in this round
    QStringList missingOn; // hosts that answered its piece with a 4xx
};

// Decides where the pieces of a run go. Every host is a base URL below which the files lie with the
// same layout, and every byte is checked against the signed version file, so any host may serve any
// piece; what sets hosts apart is what they did. The hosts' standing over the whole run (failures,
// hosts left out and their return, holders, paces) is kept by the CdnHosts it is given; the choice
// for one file or one connection is made from what lives with them (FileHosts, ConnectionHosts):
// a connection keeps to its host while that stays usable and uncrowded, a file pinned to one host
// goes there, a host that lacks a file is not asked for it, a failed piece moves to a host it has
// not failed on, and at the end of a run idle connections on the fastest host take over the pieces a
// slow host would end long after it.
class HostChooser {
public:
    // Once nothing is left to hand out, a piece under way for this long on a host far slower than
    // the fastest is taken over by an idle connection on the fast host (each piece once).
    static constexpr int TakeOverAfterMs = 500;
    // Pieces at least this long measure a host's pace.
    static constexpr qint64 MeasuredPieceBytes = 256 * 1024;

    explicit HostChooser(CdnHosts *hosts)
        : cdn(hosts) {}
    void setHosts(CdnHosts *hosts) { cdn = hosts; }
    CdnHosts *hosts() const { return cdn; }

    // Puts c on the host for a piece of `file` (none: the piece is no file's): the one it keeps to
    // while that stays usable, the file's pinned host while it has one, else the best usable one.
    void hold(PieceConnection &c, const FileHosts *file);
    // A piece of the file had better wait for a peer than go to the CDN on c: a usable peer that
    // may have the file is busy with as many requests as it takes, c holds none, and no CDN host is
    // known to be far faster than it.
    bool waitsForPeer(const FileHosts &file, const PieceConnection &c) const;
    // Connections without work give their hosts back.
    void releaseIdle(const QVector<PieceConnection *> &all);
    void release(PieceConnection &c);

    // A whole piece of `bytes` came from `host` in `ms`: the host's pace.
    void pieceTimed(const QString &host, qint64 bytes, qint64 ms);
    // c's piece came whole from its host.
    void pieceServed(const PieceConnection &c, FileHosts &file);
    // c's piece came whole from a peer, and its bytes are wrong (`why`): the peer is left out, c
    // lets go of it.
    void pieceRefused(PieceConnection &c, const QString &why);
    // An attempt of c's piece failed: what it says of the host and how the piece goes on (c may be
    // moved to another host).
    TaskPieceDownloader::Retry attemptFailed(PieceConnection &c, FileHosts *file,
                                             TaskPieceDownloader::Failure kind, bool gotBytes);
    // Tells the hosts how fast their requests receive, from pieces under way and whole ones.
    void measure(const QVector<PieceConnection *> &all);
    // The end of a run with several hosts: the connection whose piece a slow host would end long
    // after the fastest usable host could fetch it whole (nullptr: none), and that host.
    PieceConnection *slowPiece(const QVector<PieceConnection *> &all, QString *fast);
    // Puts idle connection c on `host` for a piece taken over.
    void moveTo(PieceConnection &c, const QString &host);
    // After a failed MD5: the reason names the hosts that served the file, and a host that served it
    // all (`resumed`: none of it came from an earlier run) is left out. The host to fetch the whole
    // file from once more, "" with a single host.
    QString judgeWrongBytes(FileHosts &file, const QString &name, bool resumed, DownloadResult *result);

private:
    void switchTo(PieceConnection &c, const QString &host);
    // The hosts a piece of `file` may not go to: every peer, unless the file's pieces may come
    // from them.
    QStringList barred(const FileHosts *file) const;

    CdnHosts *cdn = nullptr;
    QHash<QString, double> wholeRates; // bytes per ms of each host's last whole pieces
};
