#include "workflow/launcherworkflow.h"

#include "i18n/translation.h"
#include "services/campaignid.h"
#include "services/deviceid.h"
#include "services/eventlogclient.h"
#include "workflow/archiveextraction.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/selfupdate.h"
#include "workflow/versioncheck.h"

#include <QDebug>

LauncherWorkflow::LauncherWorkflow(const WorkflowSetup &setup, QNetworkAccessManager *manager,
                                   QObject *parent)
    : QObject(parent)
    , given(setup)
    , manager(manager)
    , configFile(setup.folder)
    , eventLog(new EventLogClient(manager, setup.logUrl, this))
    , checker(new VersionCheck(setup, manager, &configFile, this))
    , updater(new SelfUpdate(setup, manager, this))
    , gameResources(new GameResourceUpdate(setup, &configFile, this))
    , extractor(new ArchiveExtraction(setup, &configFile, this))
    , session(new GameSession(setup, &configFile, manager, this)) {
    qRegisterMetaType<WorkflowStatus>();

    // Every part speaks through the same signals; its events go out as they come.
    for (WorkflowPart *part :
         std::initializer_list<WorkflowPart *>{checker, updater, gameResources, extractor, session}) {
        connect(part, &WorkflowPart::status, this, &LauncherWorkflow::status);
        connect(part, &WorkflowPart::progress, this, &LauncherWorkflow::progress);
        connect(part, &WorkflowPart::event, this, &LauncherWorkflow::sendLogEvent);
    }

    connect(checker, &VersionCheck::upToDate, this, &LauncherWorkflow::gamePageDue);
    connect(checker, &VersionCheck::launcherOutdated, this, [this](const RemoteFileInfo &entry) {
        setPhase(SelfUpdating);
        updater->start(entry);
    });
    connect(checker, &VersionCheck::serverError, this, &LauncherWorkflow::fail);
    connect(checker, &VersionCheck::gaveUp, this, &LauncherWorkflow::fail);

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
    connect(gameResources, &GameResourceUpdate::verified, this, [this]() {
        gameResources->prepareGameResources();
        fetchOrOffer();
    });

    connect(extractor, &ArchiveExtraction::finished, this, [this]() { setPhase(Ready); });
    connect(extractor, &ArchiveExtraction::failed, this, &LauncherWorkflow::fail);

    connect(session, &GameSession::started, this, [this]() { setPhase(GameRunning); });
    connect(session, &GameSession::showRequested, this, [this]() {
        setPhase(Ready);
        emit showRequested();
    });
    connect(session, &GameSession::closeRequested, this, [this]() {
        setPhase(Ready);
        emit closeRequested();
    });
}

LauncherWorkflow::~LauncherWorkflow() = default;

void LauncherWorkflow::start() {
    VersionCheck::announceReleaseVerification(given.releasePublicKey);
    checker->retryVersionCheck(QString());
    setIdentifiers(readCampaignId(), readDeviceId());
    QJsonObject started;
    started.insert(QStringLiteral("event"), QStringLiteral("launcher started"));
    sendLogEvent(started);
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

void LauncherWorkflow::beginGameResources() {
    resourcesBegun = true;
    if (verifyRequested) {
        verifyRequested = false;
        setPhase(Verifying);
        gameResources->verifyInstalledFiles();
        return;
    }
    gameResources->prepareGameResources();
    fetchOrOffer();
}

void LauncherWorkflow::fetchOrOffer() {
    switch (gameResources->beginGameResourcePhase()) {
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
    fetchOrOffer();
    QJsonObject resumed;
    resumed.insert(QStringLiteral("event"), QStringLiteral("resume downloading"));
    sendLogEvent(resumed);
}

void LauncherWorkflow::downloadBtnClicked() {
    if (current == Downloading) {
        gameResources->pause();
        setPhase(Paused);
    } else if (current == Paused) {
        gameResources->resume();
        setPhase(Downloading);
    }
}

void LauncherWorkflow::gameBtnClicked() {
    session->gameBtnClicked();
}

void LauncherWorkflow::downloadsEnded(const QString &errorKey) {
    if (!errorKey.isEmpty()) {
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
    case Failed:
        return failedIn == Checking || failedIn == SelfUpdating ? 0 : 1;
    case Checking:
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

void LauncherWorkflow::setPhase(Phase phase) {
    if (phase == current)
        return;
    qDebug() << "workflow phase" << phase;
    current = phase;
    emit phaseChanged(phase);
}

void LauncherWorkflow::fail() {
    if (current == Failed)
        return;
    failedIn = current;
    setPhase(Failed);
}
