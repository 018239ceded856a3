#pragma once

#include "download/downloadtask.h"
#include "download/errorcode.h"
#include "trust/versiontable.h"
#include "workflow/archivepatchpreparer.h"
#include "workflow/installcheck.h"
#include "workflow/installedgame.h"
#include "workflow/progresslines.h"
#include "workflow/speedmeter.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QHash>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class CdnHosts;
class DiskAdoption;
class LanSharing;
class LauncherConfig;
class QTimer;
class UnpackRoom;
class XDManager;

// Brings the game's files to the versions the VersionTable lists: compares them with the
// versions recorded in "config.ini" (and with the files on disk), queues what differs in the
// download manager, reports progress, speed and remaining time once a tick, pauses and resumes,
// and records every file that arrived. With --verify the installed files are hashed first.
class GameResourceUpdate : public WorkflowPart {
    Q_OBJECT

public:
    // How the phase began.
    enum Begin { NothingToFetch, ResumeOffered, ShortOfRoom, Fetching };
    Q_ENUM(Begin)

    GameResourceUpdate(const WorkflowSetup &setup, LauncherConfig *config, CdnHosts *hosts,
                       QObject *parent = nullptr);
    ~GameResourceUpdate() override;

    // Forgets what the version file no longer lists and what is damaged on disk, then queues
    // every listed game file whose recorded version differs.
    void prepareGameResources();
    // Starts the download, or offers it (KEEP UPDATE: the flag of an interrupted run, or too
    // little room on the disk); begun() says which. Before the room is weighed the entry indexes of
    // the queued archives are fetched (once a run) for what unpacking them needs: begun() then
    // follows later.
    void beginGameResourcePhase();
    // Hashes every installed file on worker threads and forgets the damaged ones; verified()
    // follows.
    void verifyInstalledFiles();
    void cancelVerification();
    // Files on the disk that no record names are looked at before anything is queued (DiskAdoption);
    // false when there are none, else adopted() follows.
    bool adoptFilesOnDisk();
    // Of the last verification: the files hashed and those found damaged.
    int verifiedFileCount() const { return verifiedFiles; }
    int damagedFileCount() const { return damagedFiles; }

    void pause();
    void resume();
    // The launcher leaves now: the files that arrived are recorded, and the download ends here (its
    // manager writes and records what arrived of the others before this returns).
    void stopForExit();

    QString installedVersion(const QString &name) const;
    // Archives downloaded in this run, in the order their downloads ended.
    QStringList archivesToExtract() const { return downloadedArchives; }

    int updateFileCount() const { return queuedCount; }
    int finishedFileCount() const { return finishedCount; }
    // Launchers nearby that share the release: the download waits a moment for their answers and
    // fetches from them too. Set before beginGameResourcePhase(); none: the CDN alone.
    void setLanSharing(LanSharing *sharing) { lan = sharing; }
    // The room was found short before in this launcher's run: a shortage now says it checked again.
    void setRoomShortShown(bool shown) { roomShortShown = shown; }
    // The files that failed on the network failed because it (or the CDN) stayed away.
    bool networkAway() const { return networkErrorCount > 0 && awayErrorCount == networkErrorCount; }
    // The listed sizes of the files this run fetches: the launcher's own entry and the files
    // installed already are none of them.
    qint64 totalBytes() const { return total; }
    // The listed sizes of the files this run has finished.
    qint64 presentBytes() const { return present; }
    qint64 downloadSpeed() const { return meter.speed(); }
    QStringList startedFiles() const { return started; }
    XDManager *downloadManager() const { return manager; }
    // The hosts the game files come from: the CDN's (their standing shared with the hosts given)
    // and the peers added to it, before or during the download. Nothing else is fetched from them.
    CdnHosts *fileHosts() const { return runHosts; }
    // The paused line and the bar's share as they stand, also once the files have ended.
    QPair<WorkflowStatus, float> pausedProgress() const;
    // The page is refreshed once a tick while the download runs.
    bool measuringSpeed() const;

public slots:
    void downloadStarted();
    void gameResDownloadFinished(ErrorCode code, QString filename);
    void gameResDownloadingStarted(QString filename);
    void allGameResDownloadFinished();
    void calcDownloadSpeed();

signals:
    void begun(GameResourceUpdate::Begin how);
    // The manager fetches.
    void downloading();
    // Every queued file has ended; errorKey names the worst failure ("NETWORK_ERROR", ...), empty
    // when all arrived.
    void allEnded(const QString &errorKey);
    void verified();
    // A listed file was checked against its MD5 in this run (downloaded, or hashed with --verify).
    void fileChecked(const RemoteFileInfo &entry, const QString &path);
    void adopted();

private:
    // Logs and reports a damaged installed file and forgets its record (for a file an archive
    // installed: the archive's), so that it is fetched again.
    void forgetDamagedFile(const InstallCheck::File &file);
    // Bytes the queued files and the unpacking of the queued archives need beyond the free space of
    // the launcher's folder (0 when they fit).
    qint64 missingRoom() const;
    Begin beginOnceCounted();
    // Hands the launchers nearby to the download as hosts, now and as they answer.
    void addPeers();
    void reportSources();
    void showMissingRoom(qint64 shortBy);
    void showVerifyProgress();
    void installedFilesVerified();
    void clearSpeedTexts();
    // How far installed copies are read for their blocks while nothing is fetched; -1 otherwise.
    int scanPercent() const;
    // An archive's entry index comes and what changed is decided: nothing of it is fetched yet.
    bool checkingChanges() const;
    // Some archive's entries are being asked from launchers nearby.
    bool fetchingFromPeers() const;
    void reportPatchedFile(const QString &name, qint64 reused, qint64 fetched);
    // Bytes of the update's files that are done: files finished (also by an earlier launcher run of
    // the same update), pieces an earlier run left, blocks an older copy gave, pieces written now.
    qint64 doneBytes() const;
    qint64 receivingBytes() const;
    // The bar and the line that says what goes on: the download (true, it has a speed and a time
    // left), or paused, offered, reading older copies or waiting out an outage (without them).
    bool showProgress(qint64 done);
    // The figures against the update's bytes as they stand.
    ProgressLines progressLines() const;
    void startMeasuring();
    static QByteArray releaseDigest();
    void countEarlierRuns();
    // Puts the files finished since the last batch into "config.ini" in one rewrite.
    void recordFinishedFiles();

    WorkflowSetup setup;
    LauncherConfig *config;
    CdnHosts *hosts;    // the CDN's: entry indexes (and block maps) come from these
    CdnHosts *runHosts; // handed to the download manager: the same CDN hosts, and the peers
    LanSharing *lan = nullptr;
    bool lanConnected = false; // the run's hosts take the peers found
    qint64 entryPeerBytes = 0; // archive entries that launchers nearby sent, for the download's end
    InstalledGame installed;
    XDManager *manager = nullptr;
    UnpackRoom *unpackRoom; // its indexes serve the adoption, the room check and the updates by entries
    DiskAdoption *adoption;
    QList<RemoteFileInfo> queuedArchives;
    // Some queued file is fetched (not only taken over from the pre-download folder).
    bool fetching = false;
    // Updates by changed entries: each is handed the index the room check fetched.
    QHash<QString, QPointer<ArchivePatchPreparer>> preparers;
    QTimer *speedTimer;
    QTimer *recordTimer; // the batch of finished files is recorded when it fires
    QStringList downloadedArchives;
    QStringList started;
    int queuedCount = 0;
    int finishedCount = 0;
    qint64 total = 0;
    qint64 present = 0;
    qint64 earlier = 0; // the listed sizes of the update's files that an earlier launcher run finished
    SpeedMeter meter;
    bool paused = false;
    bool offered = false; // KEEP UPDATE
    int networkErrorCount = 0;
    bool roomShortShown = false;
    int awayErrorCount = 0;   // of those, files whose pieces waited the network out to the end
    int missingFileCount = 0; // failed files the CDN does not have (404, 410)
    int verifyErrorCount = 0;
    int writeErrorCount = 0;

    QFutureWatcher<InstallCheck::File> *verifyWatcher = nullptr;
    std::shared_ptr<InstallCheck::Progress> verifyProgress;
    qint64 verifyTotalBytes = 0;
    QTimer *verifyTimer = nullptr;
    int verifiedFiles = 0;
    int damagedFiles = 0;
};
