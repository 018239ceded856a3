#include "workflow/launcherworkflow.h"

#include "download/bandwidthcap.h"
#include "download/cdnhosts.h"
#include "i18n/translation.h"
#include "platform/platform.h"
#include "services/campaignid.h"
#include "services/deviceid.h"
#include "services/eventlogclient.h"
#include "settings/globalsettings.h"
#include "workflow/archiveextraction.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/lansharing.h"
#include "workflow/periodiccheck.h"
#include "workflow/predownload.h"
#include "workflow/selfupdate.h"
#include "workflow/startconfirmation.h"
#include "workflow/updatemarks.h"
#include "workflow/versioncheck.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>

#include <utility>

LauncherWorkflow::LauncherWorkflow(const WorkflowSetup &setup, QNetworkAccessManager *manager,
                                   QObject *parent)
    : QObject(parent)
    , given(setup)
    , manager(manager)
    , configFile(setup.folder)
    , eventLog(new EventLogClient(manager, setup.logUrl, this))
    , hosts(std::make_unique<CdnHosts>(QStringList{setup.cdnBaseUrl} + setup.cdnMirrors))
    , session(new GameSession(setup, &configFile, manager, this))
    , startConfirmation(
          new StartConfirmation(setup.folder, setup.startConfirmMs, setup.startConfirmLimitMs, this))
    , preloader(new PreDownload(setup, manager, &configFile, hosts.get(), this))
    , periodic(new PeriodicCheck(setup, manager, &configFile, hosts.get(), this))
    , lan(new LanSharing(&configFile, setup.folder,
                         GlobalSettings::instance()->value(ShareWithLocalNetwork) == 1, this))
    , retryTimer(new QTimer(this))
    , countdownTimer(new QTimer(this))
    , retryPauseMs(setup.failedRetryMs) {
    qRegisterMetaType<WorkflowStatus>();
    relay(session);
    relay(preloader);
    relay(periodic);
    preloader->setMeteredWait(&metered);
    connect(periodic, &PeriodicCheck::releaseFound, this, &LauncherWorkflow::releaseFoundFromPage);
    connect(periodic, &PeriodicCheck::launcherFound, this, &LauncherWorkflow::launcherFoundFromPage);
    makeRunParts();
    connect(GlobalSettings::instance(), &GlobalSettings::valueChanged, lan, [this](int key, int value) {
        if (key == ShareWithLocalNetwork)
            lan->setEnabled(value == 1);
    });

    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &LauncherWorkflow::tryAgain);
    countdownTimer->setInterval(1000);
    connect(countdownTimer, &QTimer::timeout, this, &LauncherWorkflow::showRetryCountdown);

    connect(session, &GameSession::started, this, [this]() {
        setPhase(GameRunning);
        preloader->setGameRunning(true);
    });
    connect(session, &GameSession::showRequested, this, [this]() {
        preloader->setGameRunning(false);
        // Back to waiting for a release within its validity, or for the server, when the game
        // started from there; a check that ended meanwhile acts now.
        if (checkedDuringGame)
            std::exchange(checkedDuringGame, nullptr)();
        else if (releaseExpired)
            waitForFreshRelease();
        else if (serverUnreachable)
            waitForServer();
        else
            setPhase(Ready);
        emit showRequested();
    });
    connect(session, &GameSession::closeRequested, this, [this]() {
        preloader->setGameRunning(false);
        checkedDuringGame = nullptr;
        setPhase(Ready);
        if (preloader->isUnderWay()) {
            qDebug() << "the game ended, staying in the tray for the pre-download";
            closeAfterPreDownload = true;
            emit trayRequested();
            return;
        }
        emit closeRequested();
    });
    connect(preloader, &PreDownload::changed, this, [this]() {
        if (closeAfterPreDownload && !preloader->isUnderWay()) {
            closeAfterPreDownload = false;
            qDebug() << "pre-download over, closing as after the game";
            emit closeRequested();
        }
    });
}

LauncherWorkflow::~LauncherWorkflow() {
    // The run's parts (also those of a failed run not yet deleted, and the pre-download) use the
    // hosts to the end: they go first, the hosts after this body, the other children after the hosts.
    QList<WorkflowPart *> parts = findChildren<WorkflowPart *>(QString(), Qt::FindDirectChildrenOnly);
    parts.removeAll(session);
    qDeleteAll(parts);
}

void LauncherWorkflow::relay(WorkflowPart *part) {
    // Every part speaks through the same signals; its events go out as they come.
    connect(part, &WorkflowPart::status, this, &LauncherWorkflow::status);
    connect(part, &WorkflowPart::progress, this, &LauncherWorkflow::progress);
    connect(part, &WorkflowPart::event, this, &LauncherWorkflow::sendLogEvent);
}

// The parts that hold the state of one run, from the version check to the extraction.
void LauncherWorkflow::makeRunParts() {
    checker = new VersionCheck(given, manager, &configFile, hosts.get(), this);
    updater = new SelfUpdate(given, manager, hosts.get(), this);
    gameResources = new GameResourceUpdate(given, &configFile, hosts.get(), this);
    extractor = new ArchiveExtraction(given, &configFile, this);
    gameResources->setLanSharing(lan);
    connect(gameResources, &GameResourceUpdate::fileChecked, lan, &LanSharing::fileChecked);
    for (WorkflowPart *part :
         std::initializer_list<WorkflowPart *>{checker, updater, gameResources, extractor})
        relay(part);

    connect(checker, &VersionCheck::upToDate, this, [this]() {
        // Launchers nearby are asked at once, so that their answers are in when the download starts.
        lan->setRelease(checker->verifiedReleaseDigest());
        afterCheck([this]() {
            releaseExpired = serverUnreachable = false;
            // Tried again from the game page: it is up already.
            if (resourcesBegun)
                beginGameResources();
            else
                emit gamePageDue();
        });
    });
    connect(checker, &VersionCheck::launcherOutdated, this, [this](const RemoteFileInfo &entry) {
        afterCheck([this, entry]() {
            releaseExpired = serverUnreachable = false;
            // The update script started for the next launcher no longer waits for this one.
            startConfirmation->confirmNow();
            updateLauncher(entry);
        });
    });
    connect(checker, &VersionCheck::serverError, this, [this]() {
        afterCheck([this]() {
            serverUnreachable = false;
            failedKey = QStringLiteral("SERVER_ERROR");
            fail();
        });
    });
    connect(checker, &VersionCheck::releaseExpired, this, [this]() {
        afterCheck([this]() {
            releaseExpired = true;
            serverUnreachable = false;
            if (resourcesBegun)
                waitForFreshRelease();
            else
                emit gamePageDue();
        });
    });
    connect(checker, &VersionCheck::gaveUp, this, [this]() {
        // Still away while the game runs: the next check is due after the next pause.
        if (session->isRunning() && serverUnreachable) {
            scheduleRetry();
            return;
        }
        const QString why = checker->failureKey();
        afterCheck([this, why]() {
            // The installed game stays playable while the version file cannot be had: from the
            // launcher page at the start, or while the game page waits for the server already. A
            // game page that was fetching gives no such promise (its files may be half replaced).
            if (gameInstalled() && (!resourcesBegun || serverUnreachable)) {
                serverUnreachable = true;
                unreachableKey = why;
                if (resourcesBegun)
                    waitForServer();
                else
                    emit gamePageDue();
                return;
            }
            failedKey = QStringLiteral("NETWORK_ERROR");
            networkAway = true;
            fail();
        });
    });
    for (auto ended : {&VersionCheck::upToDate, &VersionCheck::serverError, &VersionCheck::releaseExpired,
                       &VersionCheck::gaveUp})
        connect(checker, ended, startConfirmation, &StartConfirmation::versionCheckEnded);

    // A failed launcher download checks the version again, using up the same three attempts.
    connect(updater, &SelfUpdate::networkFailed, this, [this]() {
        setPhase(Checking);
        checker->retryVersionCheck(Translation::instance()->tr(QStringLiteral("LOAD_ERROR")));
    });
    connect(updater, &SelfUpdate::failed, this, &LauncherWorkflow::fail);
    connect(updater, &SelfUpdate::handedOver, this, [this]() {
        launcherHandedOver = true;
        emit restartDue();
    });

    connect(gameResources, &GameResourceUpdate::downloading, this, [this]() { setPhase(Downloading); });
    connect(gameResources, &GameResourceUpdate::allEnded, this, &LauncherWorkflow::downloadsEnded);
    connect(gameResources, &GameResourceUpdate::begun, this, &LauncherWorkflow::resourcesBegan);
    connect(gameResources, &GameResourceUpdate::verified, this, [this]() {
        repair.verified(gameResources->verifiedFileCount(), gameResources->damagedFileCount(),
                        BandwidthCap::instance().passedBytes());
        prepareResources();
    });
    connect(gameResources, &GameResourceUpdate::adopted, this, [this]() {
        gameResources->prepareGameResources();
        fetchOrOffer();
    });

    connect(extractor, &ArchiveExtraction::finished, this, [this]() { setPhase(Ready); });
    connect(extractor, &ArchiveExtraction::failed, this, &LauncherWorkflow::fail);
    // Not a final error: trying again by itself would not make room. The player does, then KEEP
    // UPDATE (or the next start) unpacks.
    connect(extractor, &ArchiveExtraction::shortOfRoom, this, [this]() {
        unpackAwaitsRoom = true;
        setPhase(AwaitingResume);
    });
}

void LauncherWorkflow::tryAgain() {
    // While the game runs only the check goes on: what it decides waits for the game's end.
    const bool checkDuringGame = current == GameRunning && serverUnreachable;
    if (!waitingForRetry() && !checkDuringGame)
        return;
    retryTimer->stop();
    qDebug() << "trying the run again after a final error";
    runAgain();
}

void LauncherWorkflow::afterCheck(std::function<void()> act) {
    if (!session->isRunning()) {
        act();
        return;
    }
    qDebug() << "the version check ended while the game runs, acting on it when the game ends";
    checkedDuringGame = std::move(act);
}

void LauncherWorkflow::replaceRunParts() {
    for (WorkflowPart *part :
         std::initializer_list<WorkflowPart *>{checker, updater, gameResources, extractor}) {
        disconnect(part, nullptr, this, nullptr);
        part->deleteLater();
    }
    // Nothing is shared until the new check has verified a release again.
    lan->setRelease(QByteArray());
    makeRunParts();
}

void LauncherWorkflow::runAgain() {
    // A fresh run: nothing of the failed one (attempts, counters, queued files) carries over.
    replaceRunParts();
    if (current != GameRunning)
        setPhase(Checking);
    checker->retryVersionCheck(QString());
}

void LauncherWorkflow::start() {
    VersionCheck::announceReleaseVerification(given.releasePublicKey);
    checker->retryVersionCheck(QString());
    setIdentifiers(readCampaignId(), readDeviceId());
    QJsonObject started;
    started.insert(QStringLiteral("event"), QStringLiteral("launcher started"));
    sendLogEvent(started);
    // The update script put this launcher back after the new one did not come up.
    if (UpdateMarks::takeUnreportedFailure(given.folder)) {
        QJsonObject failed;
        failed.insert(QStringLiteral("event"), QStringLiteral("launcher update failed"));
        failed.insert(QStringLiteral("version"), given.launcherVersion);
        failed.insert(QStringLiteral("failedVersion"), UpdateMarks::failedVersion(given.folder));
        sendLogEvent(failed);
    }
}

void LauncherWorkflow::windowShown() {
    startConfirmation->windowShown();
}

void LauncherWorkflow::confirmStarted() {
    startConfirmation->confirmNow();
}

void LauncherWorkflow::setIdentifiers(const QString &campaignId, const QString &deviceIdentifier) {
    gclid = campaignId;
    deviceId = deviceIdentifier;
    session->setIdentifiers(gclid, deviceId);
}

void LauncherWorkflow::setCrashQuestion(GameSession::CrashQuestion question) {
    session->setCrashQuestion(std::move(question));
}

void LauncherWorkflow::sendLogEvent(const QJsonObject &event) {
    eventLog->send(event, gclid, deviceId);
}

bool LauncherWorkflow::waitForEventsAnswered(int maxMs) {
    return eventLog->waitUntilAnswered(maxMs);
}

void LauncherWorkflow::beginGameResources() {
    resourcesBegun = true;
    if (releaseExpired) {
        // Nothing of the expired release is taken: not even its list of files to verify.
        waitForFreshRelease();
        return;
    }
    if (serverUnreachable) {
        waitForServer();
        return;
    }
    if (verifyRequested) {
        verifyRequested = false;
        setPhase(Verifying);
        gameResources->verifyInstalledFiles();
        return;
    }
    prepareResources();
}

void LauncherWorkflow::prepareResources() {
    if (gameResources->adoptFilesOnDisk()) {
        setPhase(Verifying);
        return;
    }
    gameResources->prepareGameResources();
    fetchOrOffer();
}

bool LauncherWorkflow::canVerify() const {
    return (current == Ready || (current == Failed && resourcesBegun)) &&
           preloader->state() != PreDownload::Fetching;
}

void LauncherWorkflow::verifyNow() {
    if (!canVerify())
        return;
    qDebug() << "verifying the game's files, asked from the window";
    repairing = true;
    verifyRequested = true;
    retryTimer->stop();
    runAgain();
}

void LauncherWorkflow::resourcesBegan(GameResourceUpdate::Begin how) {
    switch (how) {
    case GameResourceUpdate::NothingToFetch:
        gameResources->allGameResDownloadFinished();
        break;
    case GameResourceUpdate::ResumeOffered:
    case GameResourceUpdate::ShortOfRoom:
        setPhase(AwaitingResume);
        break;
    case GameResourceUpdate::Fetching:
        setPhase(Downloading);
        break;
    }
}

void LauncherWorkflow::resumeDownloading() {
    setManualResume(false);
    if (unpackAwaitsRoom) {
        unpackAwaitsRoom = false;
        setPhase(Extracting);
        extractor->extractNextArchive();
    } else if (downloadAwaitsRoom) {
        // The run's files have ended: a new run goes on from what is on the disk.
        downloadAwaitsRoom = false;
        runAgain();
        gameResources->setRoomShortShown(true);
    } else {
        fetchOrOffer(true);
    }
    QJsonObject resumed;
    resumed.insert(QStringLiteral("event"), QStringLiteral("resume downloading"));
    sendLogEvent(resumed);
}

void LauncherWorkflow::downloadBtnClicked() {
    if (current == MeteredWaiting) {
        downloadAnyway();
    } else if (current == Ready && preloader->state() == PreDownload::MeteredWaiting) {
        qDebug() << "the player downloads anyway on a metered connection";
        metered.allow();
        preloader->downloadAnyway();
    } else if (current == ServerUnreachable) {
        tryAgain();
    } else if (current == Ready) {
        if (preloader->state() == PreDownload::Fetching)
            preloader->pause();
        else if (preloader->state() == PreDownload::Paused)
            preloader->resume();
    } else if (current == Downloading) {
        gameResources->pause();
        setPhase(Paused);
    } else if (waitsOutOutage()) {
        retryTimer->stop();
        retryHeld = true;
        setPhase(Paused);
        emit progress(WorkflowStatus::GameBar, heldProgress.second);
        emit status(WorkflowStatus::GameLine, heldProgress.first);
    } else if (current == Paused && retryHeld) {
        retryHeld = false;
        runAgain();
    } else if (current == Paused) {
        gameResources->resume();
        setPhase(Downloading);
    }
}

void LauncherWorkflow::stopForExit() {
    retryTimer->stop();
    preloader->stop();
    gameResources->stopForExit();
}

void LauncherWorkflow::gameBtnClicked() {
    session->gameBtnClicked();
}

void LauncherWorkflow::downloadsEnded(const QString &errorKey) {
    // Not a final error: trying again by itself would not make room.
    if (errorKey == QLatin1String("DISK_SPACE_SHORT")) {
        downloadAwaitsRoom = true;
        setPhase(AwaitingResume);
        return;
    }
    if (!errorKey.isEmpty()) {
        failedKey = errorKey;
        networkAway = errorKey == QLatin1String("NETWORK_ERROR") && gameResources->networkAway();
        if (networkAway)
            heldProgress = gameResources->pausedProgress();
        fail();
        return;
    }
    extractArchives();
}

void LauncherWorkflow::extractArchives() {
    if (extractor->prepareExtraction(gameResources->archivesToExtract()) > 0)
        setPhase(Extracting);
    extractor->extractNextArchive();
}

void LauncherWorkflow::setManualResume(bool manualResume) {
    // Before the game-resource phase there is nothing to offer again.
    if (resourcesBegun)
        configFile.setManualResume(manualResume);
}

int LauncherWorkflow::gameState() const {
    switch (current) {
    case Verifying:
    case Downloading:
    case Paused:
    case Extracting:
        return 1;
    case Ready:
    case GameRunning:
        return 2;
    case ReleaseExpired:
    case ServerUnreachable:
        return gameInstalled() ? 2 : 1;
    case Failed:
        // On the game page a failure (also of a check tried again from there) leaves it as it was.
        return resourcesBegun ? 1 : 0;
    case Checking:
        // Asking again after an expired release or an unreachable server: the installed game stays
        // startable meanwhile.
        if ((releaseExpired || serverUnreachable) && resourcesBegun)
            return gameInstalled() ? 2 : 1;
        break;
    case MeteredWaiting:
        // On the game page START waits for the update, as during any update.
        return resourcesBegun ? 1 : 0;
    case SelfUpdating:
    case AwaitingResume:
        break;
    }
    return 0;
}

bool LauncherWorkflow::isDownloading() const {
    switch (current) {
    case SelfUpdating:
        // The update script has the new launcher: nothing is left to interrupt.
        return !launcherHandedOver;
    case Downloading:
    case Paused:
    case Extracting:
        return true;
    case Failed:
        // An archive that failed to unpack leaves the update unfinished.
        return failedIn == Extracting;
    default:
        return false;
    }
}

bool LauncherWorkflow::resumeOfferedOnExit() const {
    // Not while the downloaded archives are unpacked: they are unpacked again at the next start.
    return gameState() == 0 || current == Downloading || current == Paused;
}

bool LauncherWorkflow::gameInstalled() const {
    return QFileInfo(given.folder + QLatin1Char('/') + ArchiveExtraction::gameExecutableName()).isFile() &&
           configFile.extractionMarks().isEmpty();
}

void LauncherWorkflow::setPhase(Phase phase) {
    if (phase == current)
        return;
    if (waitingForRetry()) {
        countdownTimer->stop();
        failedKey.clear();
        networkAway = false;
        emit status(WorkflowStatus::TimeLine, WorkflowStatus::cleared());
    }
    qDebug() << "workflow phase" << phase;
    current = phase;
    // Served only while the game is current and not running: it stops as the game starts.
    lan->setGameCurrent(phase == Ready);
    if (phase == Downloading)
        downloadUnfinished = true;
    else if (phase == Extracting || phase == Ready || phase == AwaitingResume || phase == ReleaseExpired)
        downloadUnfinished = false;
    // A run that got through starts the pauses after its next failure from the first again.
    if (phase == Ready)
        retryPauseMs = given.failedRetryMs;
    // The download's and the unpacking's buffers are freed by now; the launcher may stay open
    // beside the game for hours.
    if (phase == Ready || phase == Failed || phase == AwaitingResume)
        Platform::releaseFreedMemory();
    if (phase == Failed || phase == ReleaseExpired || phase == ServerUnreachable)
        repairing = false;
    // The release is checked again while the game page is ready and the game is not running.
    periodic->setActive(phase == Ready);
    emit phaseChanged(phase);
    if (phase == Ready && std::exchange(updatingFromPage, false))
        emit updatedInBackground();
    else if (phase == Failed)
        updatingFromPage = false;
    if (phase == Ready && std::exchange(repairing, false))
        emit status(WorkflowStatus::GameLine, repair.closingLine(BandwidthCap::instance().passedBytes()));
    // The game is ready: the next release may be fetched meanwhile, once the page has settled.
    if (phase == Ready && given.preloadDelayMs >= 0)
        QTimer::singleShot(given.preloadDelayMs, preloader, &PreDownload::check);
}
