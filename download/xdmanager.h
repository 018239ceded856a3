#pragma once

#include "download/downloadtask.h"
#include "download/errorcode.h"
#include "download/fetchedfile.h"
#include "download/piecedispatcher.h"
#include "download/spanplanner.h"
#include "download/taskpiecedownloader.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <memory>

struct DownloadTaskPiece;
class CdnHosts;
class HostChooser;
class PieceBuffer;
class PieceBufferPool;
class PieceConnection;
class QNetworkAccessManager;
class ResumeRecord;
class SpanPlanner;

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
// A file queued with a span planner is fetched as the spans it plans (the caller checks them).
//
// Each file of the run is a FetchedFile; a PieceDispatcher hands their pieces to its connections
// (PieceConnection), on the host a HostChooser picks.
//
// Files are written into the target folder given at construction (the launcher's directory).
//
// Use: addFile() for every file, start() once, pause()/resume() at will.
class XDManager : public QObject {
    Q_OBJECT
public:
    static constexpr int DownloaderCount = PieceDispatcher::ConnectionCount;
    // Pieces being received plus completed pieces waiting for the writer.
    static constexpr int PieceBufferCount = 12;

    explicit XDManager(const QString &targetDir, QObject *parent = nullptr);
    ~XDManager() override;

    // The hosts to fetch from (not owned; it outlives the manager), set before start(): CDN hosts
    // and the peers that join it (also during the run; block maps and what planners fetch never
    // come from them). Without it the manager keeps its own list of the build's hosts.
    void setHosts(CdnHosts *hosts);
    // The listed files to fetch and check against, set before addFile() (not owned; it outlives the
    // manager). Without it the manager uses the process's VersionTable.
    void setTable(QMap<QString, RemoteFileInfo> *listed) { table = listed; }
    CdnHosts *hosts() const { return cdn; }

    void addFile(const QString &remotePath, const QString &localName);
    void addFile(const QString &remotePath, const QString &localName, const DeltaSource &delta);
    // Fetched as the spans `planner` plans when the file's turn comes (the planner is owned from now
    // on); the whole file when it plans none.
    void addFile(const QString &remotePath, const QString &localName, SpanPlanner *planner);
    DownloadTaskPiece *nextPiece() { return dispatcher->nextPiece(); }
    // Bytes received for pieces that have not completed yet.
    qint64 bufferedBytes() const { return dispatcher->bufferedBytes(); }
    // Bytes of the files under way that this run wrote and recorded: what a write failure, a close or
    // a kill cannot take back. Pieces in memory are not counted until they are on the disk.
    qint64 writtenBytes() const;
    // Body bytes of this run's pieces that came from peers and from CDN hosts, checked or not (of
    // requests that have ended: all of them once the run has).
    qint64 bytesFromPeers() const;
    qint64 bytesFromCdn() const;
    // Bytes of `name` that an earlier run left complete on the disk (its pieces in the partial
    // file beside the target, listed by a resume record that matches the version table), known
    // from addFile() on, and the blocks an older copy gave, known once its scan is over; not
    // fetched again; 0 once the file has arrived or failed its check, or when the record turns
    // out unusable as the file is split. A file whose pieces failed keeps what is on the disk
    // (the next run goes on from there). Not part of the VersionTable entry's downloadedBytes,
    // which counts the pieces completed in this run. What the queued files hold on the disk is thus
    // resumedBytes() + writtenBytes() + the downloadedBytes of the files that arrived.
    qint64 resumedBytes(const QString &name) const { return resumed.value(name); }
    // The sum over every queued file that has not ended.
    qint64 resumedBytes() const;
    // Replaces targetDir/name with data in one go (atomically). False on any failure.
    bool writeDataToFile(const QByteArray &data, const QString &name);
    // Why the last download of this file failed ("" after a success or before any end): the
    // sentence for the log and the failure event, beside the code fileDownloadFinished carries.
    // While a verified file waits for another attempt to take its name: why the last one failed.
    QString failureReason(const QString &name) const { return ends.value(name).reason; }
    // The HTTP status that failed this file's piece (404: the CDN does not have it); 0 when the
    // last download did not fail that way.
    int failureStatus(const QString &name) const { return ends.value(name).status; }
    // The last download of this file failed because the network or the CDN stayed away.
    bool failedWhileAway(const QString &name) const { return ends.value(name).away; }
    // While every downloader with a piece waits the network out (no byte since its attempts began
    // to fail for an outage): the time until the next attempt, 0 when one is under way. -1 otherwise.
    int networkWaitMs() const { return dispatcher->networkWaitMs(); }

    // While older copies are read for their blocks and no piece is fetched: how far the reading is,
    // in percent of the copies' bytes (0 while their maps come). -1 otherwise.
    int scanPercent() const;
    // While a planner decides which spans of a file to fetch and no piece is fetched.
    bool planningSpans() const;

    // Inactivity limit of every piece request (TaskPieceDownloader::DefaultTransferTimeoutMs).
    void setTransferTimeout(int ms);
    // Low-speed limit of every piece request (TaskPieceDownloader::setLowSpeedLimit).
    void setLowSpeedLimit(qint64 bytesPerSecond, int windowMs) {
        dispatcher->setLowSpeedLimit(bytesPerSecond, windowMs);
    }
    // How long pieces wait out an outage (TaskPieceDownloader::RetryPolicy).
    void setRetryPolicy(const TaskPieceDownloader::RetryPolicy &policy) {
        dispatcher->setRetryPolicy(policy);
    }

    TaskPieceDownloader *downloader(int i) const;
    bool isPaused() const { return dispatcher->isPaused(); }
    const QString &targetDir() const { return dir; }

public slots:
    void start();
    void pause() { dispatcher->pause(); }
    void resume() { dispatcher->resume(); }

signals:
    void downloadStart();
    void allFileDownloadFinished();
    void fileDownloadingStart(QString);
    void fileDownloadFinished(ErrorCode, QString);
    // A file patched from its older copy is in place (right after its NoError): bytes taken from
    // the old copy and bytes fetched for it (over every run).
    void filePatched(QString name, qint64 reused, qint64 fetched);
    // The file is about to be fetched whole, not as planned spans (none were planned, or their fetch
    // failed): whatever the caller kept for fetching it otherwise is out of date (on this thread,
    // before anything of the file is written).
    void fileFetchedWhole(QString name);

private slots:
    // Each connection's downloadFinished (direct): the dispatcher takes the piece back.
    void pieceDownloadFinished(bool success, DownloadTaskPiece *task);

private:
    // How the last download of a file ended, kept after the file is gone.
    struct Ended {
        QString reason;
        int status = 0;
        bool away = false;
    };

    void splitNextFile();
    FetchedFile *newFile(const DownloadTask &task);
    void fileEnded(FetchedFile *f, const FetchedFile::End &end);
    QString targetPath(const QString &name) const;
    // The line of `name` in the table in use; none when it is not listed.
    RemoteFileInfo *listedEntry(const QString &name) const;
    DownloadResult writeFile(const QByteArray &data, const QString &name);
    // Every file ends here: the reason stays for failureReason(), then the end is announced.
    void endFile(const DownloadResult &result, const QString &name);
    // A file that ends as soon as it is split: it still starts and ends like any other.
    void endFileNow(FetchedFile *f, const DownloadResult &result, const QString &name);
    // Ends f with NetworkError, keeping on the disk what arrived of it.
    void giveUpFile(FetchedFile *f, const QString &reason, int status, bool away, qint64 keptOfPiece);
    // After a file gave up on an outage: unless a piece still receives, every other file of the run
    // ends with it.
    void endRunWaitingOnNetwork(const QString &reason);
    // No piece buffer can be had: every file of the run ends with WriteError.
    void endRunOutOfMemory();
    // Ends every file still queued (not started) with `result`.
    void endQueuedFiles(const DownloadResult &result, bool away);
    // Forgets a file that has ended: its pieces, its assembler, the file.
    void dropFile(FetchedFile *f);
    void pieceFailed(FetchedFile *f, const QString &reason, int status, bool away, qint64 keptOfPiece);
    // Gives idle connections work, then ends the run if nothing is left.
    void refill(PieceConnection *first);
    bool runComplete() const;
    void reportRunEndIfComplete();

    // A file not split yet: its description, or the file itself when it is fetched again.
    struct Queued {
        DownloadTask task;
        SpanPlanner *planner = nullptr;
        FetchedFile *file = nullptr;
        const QString &name() const { return file ? file->name() : task.localName; }
    };

    QList<Queued> queued;                           // in order
    QList<FetchedFile *> files;                     // split and not ended: prepared, fetched or checked
    PieceDispatcher *dispatcher = nullptr;          // the connections and the pieces not handed out yet
    QHash<QString, Ended> ends;                     // by file name
    QHash<QString, qint64> resumed;                 // resumedBytes() of the queued files, by name
    QNetworkAccessManager *mapNetwork = nullptr;    // fetches block maps and what planners fetch
    CdnHosts *cdn = nullptr;                        // the hosts in use: ownHosts or the caller's
    QMap<QString, RemoteFileInfo> *table = nullptr; // the caller's list, else VersionTable's
    CdnHosts *ownHosts = nullptr;                   // the build's hosts, a child of the manager
    std::unique_ptr<HostChooser> chooser;
    FetchedFile::Run run; // what every file of the run uses
    int transferTimeoutMs = 0;
    QString dir;
    // Declared before everything that may hold its buffers, so that it goes last.
    std::unique_ptr<PieceBufferPool> buffers;
    QThreadPool workers;
    QThreadPool scans; // block maps checked, old copies read and spans planned, one at a time
    bool started = false;
    bool runEndReported = false;
};
