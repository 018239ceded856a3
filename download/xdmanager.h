#pragma once

#include "download/downloadtask.h"
#include "download/errorcode.h"
#include "download/taskpiecedownloader.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <memory>

struct DownloadTaskPiece;
class CdnHosts;
class ArchivePatchPreparer;
class DeltaPreparer;
class FileAssembler;
class QNetworkAccessManager;
class QTimer;
class ResumeRecord;
class PieceBufferPool;

// Downloads a queue of files from the CDN in 4 MiB pieces with ten downloaders at once, checks each
// file's MD5 against the version table and writes it into the launcher directory. Every file ends
// with one fileDownloadFinished; the run ends with allFileDownloadFinished once every queued file
// has ended.
//
// Pieces are received into reusable buffers and written (at their offsets, in a partial file beside
// the target) and hashed (in file order) on worker threads while the download goes on; the file is
// committed under its name only once its digest matches. The partial file and a record of its
// complete pieces outlive an interrupted run (closed, killed, power cut): the next run fetches only
// the missing pieces. A resumed file whose digest does not match is fetched whole once more.
// Memory is bounded by PieceBufferCount buffers whatever the file sizes; the VersionTable entries'
// `data` stay empty, their `downloadedBytes` count the completed pieces of the file.
//
// A file queued with a delta source is patched from its installed copy: its block map is fetched
// and checked, the copy is scanned on a worker for the new file's blocks (they go straight into the
// partial file and into the record), and only the rest is fetched, in ranges within 4 MiB pieces.
// Whatever goes wrong with the map or the scan, the file is fetched whole; the MD5 decides as ever.
//
// Files are written into the target folder given at construction (the launcher's directory).
//
// Use: addFile() for every file, start() once, pause()/resume() at will.
class XDManager : public QObject {
    Q_OBJECT
public:
    static constexpr int DownloaderCount = 10;
    // Pieces being received plus completed pieces waiting for the writer.
    static constexpr int PieceBufferCount = 12;
    // Bytes of a piece under way for this long are written and recorded (again every such period),
    // so that a kill costs at most this much of a slow line's pieces.
    static constexpr int KeepReceivedMs = 1000;
    // A verified file whose old copy cannot be replaced (held by the game or a scanner) is tried
    // this often, waiting one more step each time (0.5 s, 1 s, 1.5 s, 2 s), before WriteError.
    static constexpr int MoveAttempts = 5;
    static constexpr int MoveRetryStepMs = 500;
    // Once nothing is left to hand out, a piece under way for this long on a host far slower than
    // the fastest is taken over by an idle downloader on the fast host (each piece once).
    static constexpr int TakeOverAfterMs = 500;
    // Pieces at least this long measure a host's pace.
    static constexpr qint64 MeasuredPieceBytes = 256 * 1024;

    explicit XDManager(const QString &targetDir, QObject *parent = nullptr);
    ~XDManager() override;

    // The CDN hosts to fetch from (not owned; it outlives the manager), set before start().
    // Without it the manager keeps its own list of the build's hosts.
    void setHosts(CdnHosts *hosts);
    // The listed files to fetch and check against, set before addFile() (not owned; it outlives the
    // manager). Without it the manager uses the process's VersionTable.
    void setTable(QMap<QString, RemoteFileInfo> *listed) { table = listed; }
    CdnHosts *hosts() const { return cdn; }

    void addFile(const QString &remotePath, const QString &localName);
    void addFile(const QString &remotePath, const QString &localName, const DeltaSource &delta);
    // An archive unpacked before: only the entries its index says changed are fetched, into
    // ArchivePatchFiles::fetchedPath(), when that works out; otherwise the whole archive.
    void addFile(const QString &remotePath, const QString &localName, const ArchiveSource &archive);
    DownloadTaskPiece *nextPiece();
    // Bytes received for pieces that have not completed yet.
    qint64 bufferedBytes() const;
    // Bytes of the files under way that this run wrote and recorded: what a write failure, a close or
    // a kill cannot take back. Pieces in memory are not counted until they are on the disk.
    qint64 writtenBytes() const;
    // Bytes of `name` that an earlier run left complete on the disk (its pieces in the partial
    // file beside the target, listed by a resume record that matches the version table), known
    // from addFile() on, and the blocks an older copy gave, known once its scan is over; not
    // fetched again; 0 once the file has arrived or failed its check, or when the record turns
    // out unusable as the file is split. A file whose pieces failed keeps what is on the disk
    // (the next run goes on from there). Not part of the VersionTable entry's downloadedBytes,
    // which counts the pieces completed in this run. What the queued files hold on the disk is thus
    // resumedBytes() + writtenBytes() + the downloadedBytes of the files that arrived.
    qint64 resumedBytes(const QString &name) const;
    // The sum over every queued file that has not ended.
    qint64 resumedBytes() const;
    // Replaces targetDir/name with data in one go (atomically). False on any failure.
    bool writeDataToFile(const QByteArray &data, const QString &name);
    // Why the last download of this file failed ("" after a success or before any end): the
    // sentence for the log and the failure event, beside the code fileDownloadFinished carries.
    // While a verified file waits for another attempt to take its name: why the last one failed.
    QString failureReason(const QString &name) const { return failureReasons.value(name); }
    // The HTTP status that failed this file's piece (404: the CDN does not have it); 0 when the
    // last download did not fail that way.
    int failureStatus(const QString &name) const { return failureStatuses.value(name); }
    // The last download of this file failed because the network or the CDN stayed away.
    bool failedWhileAway(const QString &name) const { return awayFailures.contains(name); }
    // While every downloader with a piece waits the network out (no byte since its attempts began
    // to fail for an outage): the time until the next attempt, 0 when one is under way. -1 otherwise.
    int networkWaitMs() const;

    // While older copies are read for their blocks and no piece is fetched: how far the reading is,
    // in percent of the copies' bytes (0 while their maps come). -1 otherwise.
    int scanPercent() const;

    // Inactivity limit of every piece request (TaskPieceDownloader::DefaultTransferTimeoutMs).
    void setTransferTimeout(int ms);
    // Low-speed limit of every piece request (TaskPieceDownloader::setLowSpeedLimit).
    void setLowSpeedLimit(qint64 bytesPerSecond, int windowMs);
    // How long pieces wait out an outage (TaskPieceDownloader::RetryPolicy).
    void setRetryPolicy(const TaskPieceDownloader::RetryPolicy &policy);

    TaskPieceDownloader *downloader(int i) const { return downloaders.value(i); }
    bool isPaused() const { return paused; }
    const QString &targetDir() const { return dir; }

public slots:
    void start();
    void pause();
    void resume();

signals:
    void downloadStart();
    void allFileDownloadFinished();
    void fileDownloadingStart(QString);
    void fileDownloadFinished(ErrorCode, QString);
    // A file patched from its older copy is in place (right after its NoError): bytes taken from
    // the old copy and bytes fetched for it (over every run).
    void filePatched(QString name, qint64 reused, qint64 fetched);

private slots:
    void pieceDownloadFinished(bool success, DownloadTaskPiece *task);

private:
    void splitNextFile();
    // A write of t's file failed: its WriteError is on the way.
    bool writesFailed(DownloadTask *t) const;
    bool startDelta(DownloadTask *t, const ResumeRecord &fresh);
    void deltaPrepared(DownloadTask *t, bool ok, const ResumeRecord &record);
    // Fetches the entry index and plans which entries to fetch; false (and a plain download) when
    // it cannot be used.
    bool startArchivePatch(DownloadTask *t);
    void archivePatchPrepared(DownloadTask *t, bool ok);
    // The file's line in the version table, or what it fetches of an archive's entries.
    RemoteFileInfo *entryOf(DownloadTask *t) const;
    QString targetPath(const DownloadTask *t) const;
    // Whether the file's map, old copy or entry index is being read.
    bool preparing(DownloadTask *t) const { return preparers.contains(t) || archivePreparers.contains(t); }
    void beginFile(DownloadTask *t, const ResumeRecord &record, bool announce, bool recordSaved = true);
    // Every piece is in: the assembler checks the file's digest and puts it in place.
    void finishFile(DownloadTask *t, FileAssembler *a);
    DownloadResult writeFile(const QByteArray &data, const QString &name);
    void endFile(const DownloadResult &result, const QString &name);
    void endFileNow(DownloadTask *t, const DownloadResult &result, const QString &name);
    void fileAssembled(DownloadTask *t, const DownloadResult &result);
    // Ends t with NetworkError, keeping on the disk what arrived of it.
    void giveUpFile(DownloadTask *t, const QString &reason, int status, bool away, qint64 keptOfPiece);
    // After a file gave up on an outage: unless a piece still receives, every other file of the run
    // ends with it.
    void endRunWaitingOnNetwork(const QString &reason);
    // No piece buffer can be had: every file of the run ends with WriteError.
    void endRunOutOfMemory();
    // Ends every file still queued (not started) with `result`.
    void endQueuedFiles(const DownloadResult &result, bool away);
    // Forgets a file that has ended: its pieces (queued or running), its assembler, the task.
    void dropFile(DownloadTask *t);
    // `evenWithoutBuffer`: the piece goes to d even while no buffer is ready (at the start, while
    // the first ones are made); d is given one as they get ready.
    bool assignNext(TaskPieceDownloader *d, bool evenWithoutBuffer = false);
    // Puts d on the host for a piece of t: the one it keeps to while that stays usable, t's own host
    // while t is fetched again from one host, else the least used.
    void holdHost(TaskPieceDownloader *d, DownloadTask *t);
    // Gives the piece to d (on the host it holds now) and starts it unless the run is paused.
    void givePiece(TaskPieceDownloader *d, DownloadTaskPiece *p, PieceBuffer sink);
    // Hands what d has received of its piece since the last time to the file's assembler, to be
    // written and recorded; `whatever age`: also when the piece has been under way only briefly.
    void keepReceived(TaskPieceDownloader *d, bool whateverAge = true);
    void keepAllReceived(bool whateverAge);
    void releaseIdleHosts();
    // The end of a run with several hosts: idle downloaders take over the pieces that a slow host
    // would end long after the fastest could fetch them whole (what the slow one received is
    // dropped; that host keeps its other pieces).
    // Tells the hosts how fast their requests receive, from pieces under way and whole ones.
    void measureHosts();
    void takeOverSlowPieces();
    // The failure hook of every downloader: tells the hosts, moves d to a host this piece has not
    // failed on yet, has it asked again soon while its host serves other requests, has a 4xx waited
    // out while hosts that may have the file are away, or leaves the retry rules to wait.
    TaskPieceDownloader::Retry attemptFailed(TaskPieceDownloader *d, TaskPieceDownloader::Failure kind,
                                             bool gotBytes);
    // After a failed MD5: the reason naming the hosts that served the file; a host that served it all
    // is left out. Returns the host to fetch the file from once more.
    QString judgeWrongBytes(DownloadTask *t, const QString &name, DownloadResult *result);
    QString targetPath(const QString &name) const;
    // The line of `name` in the table in use; none when it is not listed.
    RemoteFileInfo *listedEntry(const QString &name) const;
    // Gives idle downloaders work, then ends the run if nothing is left.
    void refill(TaskPieceDownloader *first);
    void fill(TaskPieceDownloader *first);
    bool runComplete() const;
    void reportRunEndIfComplete();

    QList<DownloadTask *> pendingTasks;
    QList<DownloadTaskPiece *> pendingPieces;
    QMap<DownloadTask *, QList<DownloadTaskPiece *>> openPieces;
    QVector<TaskPieceDownloader *> downloaders;

    QHash<DownloadTask *, FileAssembler *> assemblers;
    QHash<QString, QString> failureReasons;
    QHash<QString, int> failureStatuses;
    QSet<QString> awayFailures;
    QHash<QString, qint64> resumed;                   // resumedBytes() of the queued files
    QSet<QString> wholeAgain;                         // files fetched whole again after a failed check
    QHash<DownloadTask *, int> moveAttempts;          // verified files that could not take their name yet
    QHash<DownloadTask *, DeltaPreparer *> preparers; // files whose map or old copy is being read
    QHash<DownloadTask *, ArchivePatchPreparer *> archivePreparers; // archives whose entry index is read
    QHash<DownloadTask *, qint64> reusedOf;                         // patched files: bytes the old copy gave
    QNetworkAccessManager *mapNetwork = nullptr;                    // fetches block maps
    CdnHosts *cdn = nullptr;                             // the hosts in use: ownHosts or the caller's
    QMap<QString, RemoteFileInfo> *table = nullptr;      // the caller's list, else VersionTable's
    CdnHosts *ownHosts = nullptr;                        // the build's hosts, a child of the manager
    QHash<TaskPieceDownloader *, QString> held;          // the host each working downloader keeps to
    QHash<TaskPieceDownloader *, QStringList> tried;     // hosts the current piece failed on in this round
    QHash<TaskPieceDownloader *, QStringList> missingOn; // hosts that answered the current piece with a 4xx
    QHash<DownloadTask *, QStringList> lacking;          // hosts that answered a piece of the file with a 4xx
    QHash<DownloadTask *, QStringList> servedBy;         // hosts that served a file's pieces in this run
    QHash<DownloadTask *, QString> pinned;               // files fetched again from one host
    QHash<QString, double> hostRates;                    // bytes per ms of each host's last whole pieces
    QSet<DownloadTaskPiece *> takenOver;                 // pieces moved to a faster host
    struct Kept {
        DownloadTaskPiece *piece = nullptr;
        qint64 bytes = 0;    // of the piece's request, handed to the assembler already
        QElapsedTimer since; // the piece was handed to the downloader
    };
    QHash<TaskPieceDownloader *, Kept> kept;
    QTimer *keepTimer = nullptr;
    int transferTimeoutMs = 0;
    QString dir;
    // Declared before everything that may hold its buffers, so that it goes last.
    std::unique_ptr<PieceBufferPool> buffers;
    QThreadPool workers;
    QThreadPool scans; // block maps checked and old copies read, one at a time
    bool started = false;
    bool paused = false;
    bool runEndReported = false;
};
