#pragma once

#include "download/errorcode.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/gamesession.h"
#include "workflow/launcherconfig.h"
#include "workflow/meteredwait.h"
#include "workflow/repairrun.h"
#include "workflow/workflowsetup.h"
#include "workflow/workflowstatus.h"

#include <QJsonObject>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

class ArchiveExtraction;
class CdnHosts;
class EventLogClient;
class PeriodicCheck;
class LanSharing;
class PreDownload;
class QNetworkAccessManager;
class QTimer;
class WorkflowPart;
class SelfUpdate;
class StartConfirmation;
class VersionCheck;

// The launcher's whole run without its window: the version check, the self-update, the game's
// resources (verified, downloaded, paused and resumed), their extraction and the game session, in
// one explicit phase. A window shows it: it follows phaseChanged(), status() and progress(), and
// calls in when the player acts. Everything it is given (folder, endpoints, delays, network access
// manager) comes in through the WorkflowSetup.
class LauncherWorkflow : public QObject {
    Q_OBJECT

public:
    enum Phase {
        Checking,       // the version file is fetched (and fetched again after a failure)
        SelfUpdating,   // a newer launcher is downloaded
        Verifying,      // the installed files are hashed (--verify)
        AwaitingResume, // KEEP UPDATE is offered (a download, or unpacking that lacked room)
        Downloading,
        Paused,
        Extracting,
        Ready, // the game may start
        GameRunning,
        Failed, // a final error; the status says which
        // The newest release is past its validity period: nothing of it is fetched, the installed
        // game may start, and the check is tried again on the schedule of a failed run.
        ReleaseExpired,
        // The version file could not be had (or was refused) and the game is installed: it may
        // start, and the check is tried again on the schedule of a failed run, or now.
        ServerUnreachable,
        // The connection is metered: the game's update or the launcher's waits for the player
        // (the version file was fetched). The status says how much waits.
        MeteredWaiting
    };
    Q_ENUM(Phase)

    LauncherWorkflow(const WorkflowSetup &setup, QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~LauncherWorkflow() override;

    // Reads the identifiers, reports the start and schedules the version check.
    void start();
    // The window showed: an update script waiting for this launcher keeps it once the launcher has
    // run a while since and its version check has ended.
    void windowShown();
    // The window was shown or hidden: a newer launcher found by the periodic check while the
    // window was hidden updates itself once it is shown.
    void setWindowVisible(bool visible);
    // The launcher leaves in order: a waiting update script keeps it.
    void confirmStarted();
    // The game-resource phase, once the game page is up: hashes the installed files first when
    // asked to, then queues and starts (or offers) the download.
    void beginGameResources();
    // Before the game-resource phase: hash every installed file (the command line's --verify).
    void setVerifyInstalledFiles(bool verify) { verifyRequested = verify; }
    // The repair from the window: what --verify runs, from the version check on, ending with a line
    // that says what it found. Only while the game is ready (or a run failed), neither the game nor
    // a download running.
    bool canVerify() const;
    void verifyNow();

    // The player's actions. KEEP UPDATE fetches what is left, or unpacks again what lacked room.
    void resumeDownloading();
    // Pause or continue: the game's download, or on a ready game page the pre-download; while the
    // update server cannot be reached, try again now; on a metered connection, download anyway
    // (the choice holds until the launcher ends).
    void downloadBtnClicked();
    // The window is shown again: a launcher kept in the tray for its pre-download stays when that ends.
    void keepOpen() { closeAfterPreDownload = false; }
    void gameBtnClicked();
    // The launcher leaves now (a session end, when the process may be ended at any moment after):
    // nothing is tried again, and what the download received is written and recorded before this
    // returns.
    void stopForExit();
    // After a final error, an expired release or an unreachable server: the whole run again from the
    // version check, now (a second launcher start) instead of after the pause. Does nothing in any
    // other phase, but for the check of an unreachable server while the game runs, which then acts
    // when the game ends.
    void tryAgain();
    // The game's download ended because the network stayed away and its run is tried again by itself:
    // the page keeps its pause button, which holds the next try until the player continues.
    bool waitsOutOutage() const { return current == Failed && networkAway && downloadUnfinished; }
    // The pause before the next try after a final error, growing with every failure.
    int nextRetryPauseMs() const { return retryPauseMs; }

    Phase phase() const { return current; }
    // 0 the game's resources are not ready (or KEEP UPDATE is offered), 1 in progress, 2 ready.
    int gameState() const;
    // A download or an extraction is under way: leaving asks first.
    bool isDownloading() const;
    // Leaving now leaves a download to offer again at the next start.
    bool resumeOfferedOnExit() const;
    // The flag of the next start; written only once the game-resource phase has begun.
    void setManualResume(bool manualResume);
    bool isGameRunning() const { return session->isRunning(); }
    // The launcher's own update waits on a metered connection (else the game's, in MeteredWaiting).
    bool launcherWaits() const { return waiting == LauncherWaits; }
    // The game page is up (the game-resource phase has begun).
    bool gamePageUp() const { return resourcesBegun; }

    QString campaignId() const { return gclid; }
    QString deviceIdentifier() const { return deviceId; }
    void setIdentifiers(const QString &campaignId, const QString &deviceIdentifier);
    void setCrashQuestion(GameSession::CrashQuestion question);

    const WorkflowSetup &setup() const { return given; }
    LauncherConfig *config() { return &configFile; }
    // The CDN hosts of this process: every part of every run asks them, so a host left out stays
    // out until the launcher starts again.
    CdnHosts *cdnHosts() const { return hosts.get(); }
    VersionCheck *versionCheck() const { return checker; }
    SelfUpdate *selfUpdate() const { return updater; }
    GameResourceUpdate *resources() const { return gameResources; }
    ArchiveExtraction *extraction() const { return extractor; }
    PreDownload *preDownload() const { return preloader; }
    GameSession *gameSession() const { return session; }
    LanSharing *lanSharing() const { return lan; }

    // For the process's last moments: the events sent last get at most maxMs to be answered.
    bool waitForEventsAnswered(int maxMs);

public slots:
    // Fire and forget, with the campaign and device identifiers.
    void sendLogEvent(const QJsonObject &event);

signals:
    void phaseChanged(LauncherWorkflow::Phase phase);
    void status(WorkflowStatus::Line line, const WorkflowStatus &status);
    void progress(WorkflowStatus::Bar bar, float percent);
    // The version check needs no self-update: the window shows the game page, then calls
    // beginGameResources().
    void gamePageDue();
    // The new launcher is handed over: the window closes for good.
    void restartDue();
    // After the game: the window comes back, or the launcher closes.
    void showRequested();
    void closeRequested();
    // After the game, where the launcher would close: a pre-download goes on, the launcher waits in
    // the tray and closes once it ends (closeRequested).
    void trayRequested();
    // A newer release the periodic check found is installed: the game is ready again.
    void updatedInBackground();

private:
    void relay(WorkflowPart *part);
    void makeRunParts();
    void setPhase(Phase phase);
    void fail();
    // The retry of a failed run or an expired release, after the current pause; the next pause doubles.
    void scheduleRetry();
    // The check found only an expired release: the game page stays, without anything fetched.
    void waitForFreshRelease();
    // The version file cannot be had and the game is installed: the game page stays, START enabled.
    void waitForServer();
    void waitWithInstalledGame(Phase phase, const QString &key);
    // What a check decided, now, or when the game ends if it runs.
    void afterCheck(std::function<void()> act);
    // The game that the launcher's folder holds may start: its program is there, nothing is left to unpack.
    bool gameInstalled() const;
    bool waitingForRetry() const {
        return current == Failed || current == ReleaseExpired || current == ServerUnreachable;
    }
    // The run from the version check on, with new parts.
    void runAgain();
    // While a failed run waits to be tried again: when that comes. On the game page a network
    // that is away keeps its waiting text (the bar keeps its place), any other error keeps its
    // text with the time beside it.
    void showRetryCountdown();
    // Starts (or offers) the game's update; a download the player did not ask for waits on a
    // metered connection.
    void fetchOrOffer(bool playerAsked = false);
    // The launcher's update, unless it waits on a metered connection.
    void updateLauncher(const RemoteFileInfo &entry);
    enum Waiting { NothingWaits, UpdateWaits, LauncherWaits };
    void waitOnMeteredLine(Waiting what, qint64 bytes);
    void downloadAnyway();
    // Drops the run's parts for new ones; nothing of the old run carries over.
    void replaceRunParts();
    // The periodic check found something newer while the game page is ready.
    void releaseFoundFromPage();
    void launcherFoundFromPage(const RemoteFileInfo &entry);
    // Files on the disk without a record are looked at first, then the update is queued.
    void prepareResources();
    void resourcesBegan(GameResourceUpdate::Begin how);
    void downloadsEnded(const QString &errorKey);
    void extractArchives();

    WorkflowSetup given;
    QNetworkAccessManager *manager;
    LauncherConfig configFile;
    EventLogClient *eventLog;
    std::unique_ptr<CdnHosts> hosts;
    // One run's parts, made again when a failed run is tried again.
    VersionCheck *checker = nullptr;
    SelfUpdate *updater = nullptr;
    GameResourceUpdate *gameResources = nullptr;
    ArchiveExtraction *extractor = nullptr;
    GameSession *session;
    StartConfirmation *startConfirmation;
    PreDownload *preloader;  // lives across runs: the next release is fetched while the game is ready
    PeriodicCheck *periodic; // lives across runs too: the version file again while the game is ready
    MeteredWait metered;
    Waiting waiting = NothingWaits;
    RemoteFileInfo waitingLauncher;
    bool windowVisible = true;
    bool updatingFromPage = false; // the run under way was started by the periodic check
    LanSharing *lan;               // lives across runs: the search goes on, serving follows the phase
    QTimer *retryTimer;
    QTimer *countdownTimer;
    QString failedKey;        // the catalogue key of the error the run ended with
    bool networkAway = false; // it ended because the network or the CDN stayed away
    int retryPauseMs;
    QString gclid;
    QString deviceId;
    Phase current = Checking;
    Phase failedIn = Checking; // the phase a Failed came from
    bool verifyRequested = false;
    bool repairing = false; // the player asked for the repair: the ready page says what it found
    RepairRun repair;
    bool resourcesBegun = false;
    bool unpackAwaitsRoom = false;   // KEEP UPDATE unpacks: the archives are downloaded
    bool downloadAwaitsRoom = false; // KEEP UPDATE runs again: the disk filled up while fetching
    bool launcherHandedOver = false;
    bool downloadUnfinished = false; // the game's download began and has not got through
    bool retryHeld = false;          // paused while waiting out an outage: continuing tries again
    // The paused line and bar of the download the outage ended, shown while the retry is held.
    QPair<WorkflowStatus, float> heldProgress;
    bool closeAfterPreDownload = false; // the game ended and the launcher waits in the tray for it
    // The last check found only an expired release (until a check accepts a release again).
    bool releaseExpired = false;
    // The last check could not have the version file, with the game installed (until a check gets it).
    bool serverUnreachable = false;
    QString unreachableKey;                  // why, as the game page says it
    std::function<void()> checkedDuringGame; // what a check decided while the game ran
};
