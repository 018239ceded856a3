#include "download/piececonnection.h"

#include "download/downloadtaskpiece.h"
#include "download/fetchedfile.h"
#include "download/fileassembler.h"
#include "download/taskpiecedownloader.h"

PieceConnection::PieceConnection()
    : fetcher(std::make_unique<TaskPieceDownloader>()) {}

PieceConnection::~PieceConnection() = default;

DownloadTaskPiece *PieceConnection::piece() const {
    return fetcher->currentTask();
}

const QString &PieceConnection::host() const {
    return fetcher->baseUrl();
}

void PieceConnection::take(DownloadTaskPiece *piece, PieceBuffer sink) {
    hosts.tried.clear();
    hosts.missingOn.clear();
    fetcher->setTask(piece, std::move(sink));
    keepFrom(piece);
}

void PieceConnection::drop() {
    if (DownloadTaskPiece *p = fetcher->currentTask())
        fetcher->cancelTask(p);
    forgetKept();
}

void PieceConnection::keepFrom(DownloadTaskPiece *piece) {
    kept.piece = piece;
    kept.bytes = 0;
    kept.since.start();
}

void PieceConnection::keepReceived(bool whateverAge, int minAgeMs) {
    DownloadTaskPiece *p = fetcher->currentTask();
    if (!p)
        return;
    if (kept.piece != p)
        keepFrom(p);
    FileAssembler *a = p->file ? p->file->assembler() : nullptr;
    // A peer's bytes count once its whole piece has been checked.
    if (fetcher->onPeer())
        return;
    if (!a || (!whateverAge && kept.since.elapsed() < minAgeMs))
        return;
    // Bytes below the count are in the sink for good, while the fetch appends behind them.
    const qint64 have = fetcher->receivedBytes();
    if (have < kept.bytes)
        kept.bytes = 0; // the piece started over
    if (have <= kept.bytes)
        return;
    a->keepReceived(p->begin() + kept.bytes,
                    QByteArray(fetcher->sink().data() + kept.bytes, int(have - kept.bytes)));
    kept.bytes = have;
}
