#pragma once

#include "download/downloadtask.h"
#include "download/errorcode.h"
#include "download/hostchooser.h"
#include "download/spanplanner.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

struct DownloadTaskPiece;
class BlockMap;
class DeltaPreparer;
class FileAssembler;
class PieceBuffer;
class QThreadPool;
class ResumeRecord;

// One file of a manager's run, from the moment it is queued until it ends: what to fetch (its task),
// how it is prepared (an older copy read for its blocks, or spans planned by the caller), the pieces
// of it not yet complete, the assembler that writes and checks them, what it reused, how often it
// tried to take its name and how its hosts did. Everything about the file lives here and goes with
// it when it ends; the manager hands its pieces out and hears how it ends.
class FetchedFile : public QObject {
    Q_OBJECT
public:
    // What every file of a run uses and does not own.
    struct Run {
        QString dir;                    // where the files are written
        QThreadPool *workers = nullptr; // the assemblers'
        // The assemblers' answers come on its thread; it outlives the workers' jobs.
        QObject *receiver = nullptr;
        HostChooser *chooser = nullptr;
        // The line of a file in the table in use; none when it is not listed.
        std::function<RemoteFileInfo *(const QString &)> listed;
        std::function<SpanPlanner::Means()> means;
    };
    // A verified file whose old copy cannot be replaced (held by the game or a scanner) is tried
    // this often, waiting one more step each time (0.5 s, 1 s, 1.5 s, 2 s), before WriteError.
    static constexpr int MoveAttempts = 5;
    static constexpr int MoveRetryStepMs = 500;

    // How a file ended.
    struct End {
        DownloadResult result;
        QString name;        // as listed
        qint64 recorded = 0; // what the record lists of it: kept for the next run after a WriteError
        qint64 reused = -1;  // patched from its older copy: the bytes the copy gave; -1 otherwise
        qint64 fetched = 0;  // and the bytes fetched for it, over every run
    };

    FetchedFile(const DownloadTask &task, const Run *run, QObject *parent = nullptr);
    ~FetchedFile() override; // stops
    // Ends its work: the preparation is cancelled, the assembler stops (pieces handed over are still
    // written and recorded) and the pieces are deleted; whoever fetches one of them must have let go
    // of it before.
    void stop();

    const DownloadTask &task() const { return description; }
    const QString &name() const { return description.localName; }
    // Its line in the table in use, or what it fetches of the planned spans.
    RemoteFileInfo *entry();
    // Where what it fetches is written.
    QString targetPath() const;
    void setPlanner(SpanPlanner *planner); // owned from now on

    // Its turn has come, `listed` being its line (listed, a safe name, not empty): it resumes what an
    // earlier run left, or is prepared first (an older copy, a plan), or begins from nothing.
    void split(const RemoteFileInfo &listed);
    bool preparing() const { return delta != nullptr || planning; }
    // While its planner decides what to fetch.
    bool planningSpans() const { return planning; }
    // While the older copy is read: its bytes read and to read; false otherwise.
    bool scanProgress(qint64 *done, qint64 *total) const;
    // Stops the preparation; nothing comes of it after this.
    void cancelPreparation();

    FileAssembler *assembler() const { return writer.get(); }
    // A write of the file failed: its WriteError is on the way.
    bool writesFailed() const;
    // Bytes this run wrote and recorded of the file.
    qint64 writtenBytes() const;
    // Pieces not complete yet (queued or under way); owned.
    const QList<DownloadTaskPiece *> &pieces() const { return open; }
    // A piece is complete in `buffer`: it is written (the piece is deleted); the last one has the file
    // checked and put in place.
    void pieceCompleted(DownloadTaskPiece *piece, PieceBuffer buffer);
    // The open pieces, owned by the caller from now on.
    QList<DownloadTaskPiece *> takePieces();
    // Planned spans that the hosts would not serve: the whole file is fetched instead (false when it
    // fetches no spans, or is not listed any more).
    bool fetchWholeInstead();
    // Why the bytes of `piece` in `buffer` are not the file's, as far as its block map tells (whole
    // blocks within the piece); "" when they are, or when there is no map.
    QString wrongBlocks(const DownloadTaskPiece *piece, const PieceBuffer &buffer) const;
    // What the hosts did for this file.
    FileHosts hosts;

signals:
    // It has started, as far as listeners know (once, unless it ends at once).
    void started(const QString &name);
    // These pieces are to be fetched (none: only the check is left); `resumed` bytes of it are on the
    // disk already.
    void piecesReady(const QList<DownloadTaskPiece *> &pieces, qint64 resumed);
    // Its preparation is over: its pieces are ready, or it ended.
    void prepared();
    // It is about to be fetched whole, not as planned spans.
    void fetchedWhole(const QString &name);
    // It failed its check and goes back to the queue, to be fetched whole once more.
    void fetchAgain();
    // The verified file could not take its name yet; another attempt follows.
    void moveWaits(const QString &name, const QString &reason);
    // It ended: nothing of it is touched after this (the slot may stop it and let it go).
    void ended(const FetchedFile::End &end);

private:
    void startDelta(const RemoteFileInfo &listed, const ResumeRecord &fresh);
    bool startPlan(const RemoteFileInfo &listed);
    void planned(bool ok);
    void abandonPlan();
    void begin(const ResumeRecord &record, bool announce, bool recordSaved = true);
    void beginWhole();
    void finish();
    void assembled(const DownloadResult &result);
    bool judgedForAgain(const DownloadResult &result, DownloadResult *outcome);

    DownloadTask description;
    const Run *run = nullptr;
    SpanPlanner *planner = nullptr;
    bool planning = false;
    DeltaPreparer *delta = nullptr;
    std::unique_ptr<FileAssembler> writer;
    std::shared_ptr<const BlockMap>
        blocks; // checked against its digest; pieces from peers are checked against it
    QList<DownloadTaskPiece *> open;
    // Of a file patched from its older copy: the bytes the copy gave.
    std::optional<qint64> reusedBytes;
    int moveAttempts = 0;
    bool wholeAgain = false;
};
