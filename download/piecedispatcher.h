#pragma once

#include "download/taskpiecedownloader.h"

#include <QList>
#include <QObject>
#include <QVector>

#include <functional>

struct DownloadTaskPiece;
class FetchedFile;
class HostChooser;
class PieceBuffer;
class PieceBufferPool;
class PieceConnection;
class QTimer;

// Hands the pieces of a run to its connections, each with a buffer from the pool, on the host the
// chooser picks; takes what they bring back to the file it belongs to. Every connection that is idle
// takes the next piece in file order, asking for the next file to be split when none is queued.
// While pieces are under way, each connection's received bytes are handed to the file's assembler
// every KeepReceivedMs (one connection a tick), so that a kill costs at most that much of a slow
// line; at the end of a run with several hosts, idle connections take over the pieces a slow host
// would end long after the fastest.
class PieceDispatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int ConnectionCount = 10;
    // Bytes of a piece under way for this long are written and recorded (again every such period).
    static constexpr int KeepReceivedMs = 1000;
    // Files are split ahead for work the CDN may take while queued pieces wait for a peer, until
    // this many pieces are queued.
    static constexpr int WaitingBound = 4 * ConnectionCount;

    // Where the pieces come from: `split` splits the next queued file (its pieces come through
    // queue()), false when none is left; `filesLeft` says whether any file waits to be split.
    struct Source {
        std::function<bool()> split;
        std::function<bool()> filesLeft;
    };
    // The chooser and the pool are not owned and outlive the dispatcher.
    PieceDispatcher(HostChooser *chooser, PieceBufferPool *buffers, const Source &source,
                    QObject *parent = nullptr);
    // What arrived of the pieces under way is written and recorded; the connections' hosts go back.
    ~PieceDispatcher() override;

    const QVector<PieceConnection *> &connections() const { return all; }
    PieceConnection *connection(int i) const { return all.value(i); }

    void queue(const QList<DownloadTaskPiece *> &pieces);
    // A connection's downloader ended its piece: the piece goes to its file, or fails it.
    void pieceFinished(const TaskPieceDownloader *d, bool success, DownloadTaskPiece *piece);
    bool hasQueued() const { return !waiting.isEmpty(); }
    // The next piece to hand out (to `c`, when given), splitting files as needed; pieces of a file
    // whose writes failed are skipped (they go with the file), and so are pieces that wait for a
    // peer (HostChooser::waitsForPeer()): c then takes a piece of a file only the CDN serves, from
    // at most WaitingBound queued pieces, or none.
    DownloadTaskPiece *nextPiece(const PieceConnection *c = nullptr);
    // Hands pieces to the connections for the first time (before the buffers are made).
    void startAll();
    // Gives idle connections work (`first` first) and buffers to those that wait for one; takes
    // over slow pieces at the end of the run; idle connections give their hosts back.
    void refill(PieceConnection *first);
    // Forgets the file's pieces, queued or under way (what arrived of those is written first when
    // `keep`), and deletes them.
    void drop(FetchedFile *file, bool keep);

    void pause();
    void resume();
    bool isPaused() const { return paused; }
    void keepAllReceived();
    void setTransferTimeout(int ms);
    void setLowSpeedLimit(qint64 bytesPerSecond, int windowMs);
    void setRetryPolicy(const TaskPieceDownloader::RetryPolicy &policy);

    // Bytes received of pieces not complete yet (of files whose writes have not failed).
    qint64 bufferedBytes() const;
    // Bytes the connections hold of the file's pieces under way.
    qint64 receivedOf(const FetchedFile *file) const;
    // Some connection has a piece.
    bool busy() const;
    // Every connection with a piece waits the network out (no byte since its attempts failed).
    bool allWaitingOnNetwork() const;
    // See XDManager::networkWaitMs().
    int networkWaitMs() const;

signals:
    // A piece of `file` failed every attempt, for `reason`: with HTTP `status` (0: no answer), or
    // while the network or the host was `away`; what had been kept of it is on the disk.
    void pieceFailed(FetchedFile *file, const QString &reason, int status, bool away, qint64 keptOfPiece);
    // A connection's piece ended, either way.
    void pieceEnded(PieceConnection *c);
    // No buffer can be had, now or later.
    void outOfMemory();

private:
    void fill(PieceConnection *first);
    // `evenWithoutBuffer`: the piece goes to c even while no buffer is ready (at the start, while
    // the first ones are made); c is given one as they get ready.
    bool assignNext(PieceConnection *c, bool evenWithoutBuffer = false);
    // Gives the piece to c (on the host it holds now) and starts it unless the run is paused.
    void give(PieceConnection *c, DownloadTaskPiece *p, PieceBuffer sink);
    void measureHosts();
    void takeOverSlowPieces();

    HostChooser *chooser = nullptr;
    PieceBufferPool *buffers = nullptr;
    Source source;
    QVector<PieceConnection *> all;
    QList<DownloadTaskPiece *> waiting; // not handed out yet, in file order
    QTimer *keepTimer = nullptr;
    bool paused = false;
};
