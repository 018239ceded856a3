#pragma once

#include "download/hostchooser.h"
#include "download/piecebuffer.h"

#include <QElapsedTimer>

#include <memory>

struct DownloadTaskPiece;
class TaskPieceDownloader;

// One of a manager's connections: its downloader, and what belongs to it alone: the hosts it keeps
// to and tried for its piece, and how much of its piece it has handed to the file's assembler (so
// that a close, a pause or a kill costs at most a second of it).
class PieceConnection {
public:
    PieceConnection();
    ~PieceConnection(); // the request goes first: nothing writes into a buffer after it
    PieceConnection(const PieceConnection &) = delete;
    PieceConnection &operator=(const PieceConnection &) = delete;

    TaskPieceDownloader *downloader() const { return fetcher.get(); }
    DownloadTaskPiece *piece() const;
    const QString &host() const;

    // Gives it the piece (received into `sink`), with nothing of it kept yet and no host tried.
    void take(DownloadTaskPiece *piece, PieceBuffer sink);
    // Lets go of its piece without an answer (its buffer goes back to the pool).
    void drop();
    // Forgets what it kept of the piece (it ended, or went to another connection).
    void forgetKept() { kept = Kept(); }
    // Bytes of `piece` handed to the assembler already; 0 unless it is the piece being kept.
    qint64 keptBytes(const DownloadTaskPiece *piece) const { return kept.piece == piece ? kept.bytes : 0; }
    // How long `piece` has been with it; -1 unless it is the piece being kept.
    qint64 msOn(const DownloadTaskPiece *piece) const {
        return kept.piece == piece && kept.since.isValid() ? kept.since.elapsed() : -1;
    }
    // Hands what arrived of its piece since the last time to the file's assembler, to be written and
    // recorded; unless `whateverAge`, only once the piece has been under way for `minAgeMs`.
    void keepReceived(bool whateverAge, int minAgeMs);

    // Its hosts, as the host chooser keeps them.
    ConnectionHosts hosts;

private:
    struct Kept {
        DownloadTaskPiece *piece = nullptr;
        qint64 bytes = 0;    // of the piece's request, handed to the assembler already
        QElapsedTimer since; // the piece was handed to the downloader
    };
    void keepFrom(DownloadTaskPiece *piece);

    std::unique_ptr<TaskPieceDownloader> fetcher;
    Kept kept;
};
