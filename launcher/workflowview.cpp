// The window as the workflow's view: its phase, status lines and progress go into the widgets,
// and the window's slots hand the player's clicks and the documented calls to the workflow.
#include "launcher/launcherupdater.h"

#include "crash/crashreporter.h"
#include "i18n/translation.h"
#include "launcher/ui_launcherupdater.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/predownload.h"
#include "workflow/selfupdate.h"
#include "workflow/versioncheck.h"

void LauncherUpdater::followWorkflow() {
    connect(flow, &LauncherWorkflow::phaseChanged, this, &LauncherUpdater::showPhase);
    connect(flow, &LauncherWorkflow::status, this, &LauncherUpdater::showStatus);
    connect(flow, &LauncherWorkflow::progress, this, &LauncherUpdater::showProgress);
    connect(flow, &LauncherWorkflow::gamePageDue, this, &LauncherUpdater::showGameResourcePage);
    connect(flow, &LauncherWorkflow::restartDue, this, [this]() {
        isDownloading = flow->isDownloading();
        closeForGood();
    });
    connect(flow, &LauncherWorkflow::showRequested, this, [this]() {
        // After the game, unless the launcher is leaving meanwhile (the session ended).
        if (!leaving)
            show();
    });
    // Through closeForGood(): a plain close() of a window that was shown again in the meantime
    // (tray, second start) would follow the close button's rules and keep the launcher running.
    connect(flow, &LauncherWorkflow::closeRequested, this, &LauncherUpdater::closeForGood);
    // The game ended while the next release is fetched: the launcher waits in the tray (or, where
    // there is none, minimised) until that ends.
    connect(flow, &LauncherWorkflow::trayRequested, this, [this]() {
        if (leaving)
            return;
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            trayIcon.setVisible(true);
            showTrayTip();
        } else {
            showMinimized();
        }
    });
    connect(flow->preDownload(), &PreDownload::changed, this, &LauncherUpdater::showPreDownload);
    // A release the launcher found by itself while left open is installed: the tray tells a player
    // who is not looking at the window.
    connect(flow, &LauncherWorkflow::updatedInBackground, this, [this]() {
        if (trayIcon.isVisible())
            trayIcon.showMessage(trKey(QStringLiteral("APP_NAME")),
                                 trKey(QStringLiteral("TRAY_UPDATE_READY")));
    });
    connect(ui->startGameBtn, &QAbstractButton::clicked, this, &LauncherUpdater::startButtonClicked);
    flow->setCrashQuestion([](QString *description) {
        CrashReporter reporter(nullptr);
        // The launcher window is hidden: closing this dialog must not count as closing the
        // application's last window, which would end the launcher.
        reporter.setAttribute(Qt::WA_QuitOnClose, false);
        if (reporter.exec() != QDialog::Accepted)
            return false;
        *description = reporter.descriptionText();
        return true;
    });
}

void LauncherUpdater::showPhase(LauncherWorkflow::Phase phase) {
    gameState = flow->gameState();
    isDownloading = flow->isDownloading();
    const bool launcherWaits = phase == LauncherWorkflow::MeteredWaiting && flow->launcherWaits();
    showLauncherDownloadButton(launcherWaits);
    // The launcher's own update found from the game page shows on the launcher page.
    if (phase == LauncherWorkflow::SelfUpdating || launcherWaits)
        ui->stackedWidget->setCurrentIndex(0);
    switch (phase) {
    case LauncherWorkflow::Checking:
        // Asked again from the game page: nothing is left to try now meanwhile.
        ui->downloadBtn->setVisible(false);
        ui->downloadBtn->setToolTip(QString());
        // A repair asked from a ready page: the game waits until its files are checked.
        if (gameState != 2)
            ui->startGameBtn->setEnabled(false);
        break;
    case LauncherWorkflow::SelfUpdating:
        ui->launcherDownloadInfo->setVisible(true);
        ui->launcherProgressBar->setVisible(true);
        break;
    case LauncherWorkflow::MeteredWaiting:
        // The round button downloads anyway; START waits for the update as during any update.
        if (launcherWaits) {
            ui->launcherDownloadInfo->setVisible(true);
            ui->launcherProgressBar->setVisible(false);
            break;
        }
        showStartButton();
        showDownloadButton(":/images/images/continue.png", trKey(QStringLiteral("DOWNLOAD_ANYWAY_TOOLTIP")));
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->gameSrcProgressBar->setVisible(false);
        break;
    case LauncherWorkflow::Verifying:
        showStartButton();
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->gameSrcProgressBar->setVisible(true);
        break;
    case LauncherWorkflow::AwaitingResume:
        showResumeButton();
        // Also after unpacking began (which disabled START): KEEP UPDATE is the way on.
        ui->startGameBtn->setEnabled(true);
        ui->downloadBtn->setVisible(false);
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->gameSrcProgressBar->setVisible(true);
        break;
    case LauncherWorkflow::Downloading:
        showStartButton();
        showDownloadButton(":/images/images/pause.png");
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->gameSrcProgressBar->setVisible(true);
        break;
    case LauncherWorkflow::Paused:
        showDownloadButton(":/images/images/continue.png");
        break;
    case LauncherWorkflow::Extracting:
        showStartButton();
        ui->downloadBtn->setVisible(false);
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->gameSrcProgressBar->setVisible(true);
        break;
    case LauncherWorkflow::Ready:
        ui->downloadBtn->setVisible(false);
        ui->gameSrcProgressBar->setVisible(false);
        // Whatever it showed before, the button now starts the game.
        ui->startGameBtn->setVisible(true);
        ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
        ui->startGameBtn->setEnabled(true);
        showPreDownload();
        break;
    case LauncherWorkflow::GameRunning:
        trayIcon.setVisible(false);
        hide();
        break;
    case LauncherWorkflow::ReleaseExpired:
        // Nothing is fetched; the game that is installed may start.
        ui->downloadBtn->setVisible(false);
        ui->gameSrcProgressBar->setVisible(false);
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->startGameBtn->setVisible(true);
        ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
        ui->startGameBtn->setEnabled(gameState == 2);
        break;
    case LauncherWorkflow::ServerUnreachable:
        // As with an expired release, and the round button asks the server now.
        ui->gameSrcProgressBar->setVisible(false);
        ui->gameSrcDownloadInfo->setVisible(true);
        ui->startGameBtn->setVisible(true);
        ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
        ui->startGameBtn->setEnabled(gameState == 2);
        showDownloadButton(":/images/images/continue.png", trKey(QStringLiteral("TRY_NOW_TOOLTIP")));
        break;
    case LauncherWorkflow::Failed:
        // On the launcher page the error takes the line; on the game page the download has ended.
        if (gameState == 0)
            ui->launcherDownloadInfo->setVisible(true);
        else if (flow->waitsOutOutage())
            showDownloadButton(":/images/images/pause.png");
        else
            ui->downloadBtn->setVisible(false);
        break;
    }
}

void LauncherUpdater::showStatus(WorkflowStatus::Line line, const WorkflowStatus &status) {
    TranslatableLabel *label = ui->launcherDownloadInfo;
    if (line == WorkflowStatus::GameLine)
        label = ui->gameSrcDownloadInfo;
    else if (line == WorkflowStatus::TimeLine)
        label = ui->estimateTimeInfo;
    else if (line == WorkflowStatus::SpeedLine)
        label = ui->downloadingSpeedInfo;
    if (status.key.isEmpty()) {
        label->clearText();
        return;
    }
    label->setTextKey(status.key, status.keyIsTranslated, true);
    if (!status.args.isEmpty())
        label->setArgs(status.args);
}

void LauncherUpdater::showProgress(WorkflowStatus::Bar bar, float percent) {
    (bar == WorkflowStatus::LauncherBar ? ui->launcherProgressBar : ui->gameSrcProgressBar)
        ->setProgress(percent);
}

// The one button: KEEP UPDATE while a download is offered, START once the game page is up.
void LauncherUpdater::startButtonClicked() {
    if (flow->phase() == LauncherWorkflow::AwaitingResume)
        resumeDownloading();
    else if (flow->gameState() != 0)
        gameBtnClicked();
}

void LauncherUpdater::showStartButton() {
    ui->startGameBtn->setVisible(true);
    ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
    ui->startGameBtn->setEnabled(false);
}

void LauncherUpdater::showResumeButton() {
    ui->startGameBtn->setVisible(true);
    ui->startGameBtn->setTextKey(QStringLiteral("RESUME_DOWNLOADING"));
}

void LauncherUpdater::showDownloadButton(const char *icon, const QString &toolTip) {
    ui->downloadBtn->setIcon(QPixmap(QLatin1String(icon)));
    ui->downloadBtn->setToolTip(toolTip);
    ui->downloadBtn->setVisible(true);
}

void LauncherUpdater::showLauncherDownloadButton(bool shown) {
    ui->launcherDownloadBtn->setToolTip(shown ? trKey(QStringLiteral("DOWNLOAD_ANYWAY_TOOLTIP")) : QString());
    ui->launcherDownloadBtn->setVisible(shown);
    // Hidden it gives its room back to the line.
    ui->launcherDownloadBtn->QWidget::setVisible(shown);
}

void LauncherUpdater::showPreDownload() {
    showTrayTip();
    if (flow->phase() != LauncherWorkflow::Ready)
        return;
    const PreDownload::State state = flow->preDownload()->state();
    const bool fetching = state == PreDownload::Fetching || state == PreDownload::Paused;
    ui->gameSrcProgressBar->setVisible(fetching);
    ui->gameSrcDownloadInfo->setVisible(true);
    if (state == PreDownload::MeteredWaiting)
        showDownloadButton(":/images/images/continue.png", trKey(QStringLiteral("DOWNLOAD_ANYWAY_TOOLTIP")));
    else if (fetching)
        showDownloadButton(state == PreDownload::Fetching ? ":/images/images/pause.png"
                                                          : ":/images/images/continue.png");
    else
        ui->downloadBtn->setVisible(false);
}

void LauncherUpdater::showTrayTip() {
    const PreDownload *preDownload = flow ? flow->preDownload() : nullptr;
    if (preDownload && (preDownload->isUnderWay() || preDownload->state() == PreDownload::Paused)) {
        trayIcon.setToolTip(trKey(QStringLiteral("TRAY_PREDOWNLOAD"))
                                .arg(preDownload->version())
                                .arg(preDownload->percent()));
        return;
    }
    trayIcon.setToolTip(trKey(QStringLiteral("APP_NAME")));
}

void LauncherUpdater::sendLogEvent(const QJsonObject &event) {
    flow->sendLogEvent(event);
}

void LauncherUpdater::waitForEventsSent() {
    // Nothing of the run goes on meanwhile: a download would otherwise write, finish and unpack
    // behind a window that is gone.
    flow->stopForExit();
    flow->waitForEventsAnswered(EventsAtExitMs);
}

void LauncherUpdater::versionFileDownloadFinished() {
    flow->versionCheck()->versionFileDownloadFinished();
}

void LauncherUpdater::versionFileDownloadNetworkError(QNetworkReply::NetworkError code) {
    flow->versionCheck()->versionFileDownloadNetworkError(code);
}

void LauncherUpdater::launcherFileDownloadFinished() {
    flow->selfUpdate()->launcherFileDownloadFinished();
}

void LauncherUpdater::launcherDownloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    flow->selfUpdate()->launcherDownloadProgress(bytesReceived, bytesTotal);
}

void LauncherUpdater::launcherDownloadNetworkError(QNetworkReply::NetworkError code) {
    flow->selfUpdate()->launcherDownloadNetworkError(code);
}

void LauncherUpdater::downloadStarted() {
    flow->resources()->downloadStarted();
}

void LauncherUpdater::gameResDownloadFinished(ErrorCode code, QString filename) {
    flow->resources()->gameResDownloadFinished(code, filename);
}

void LauncherUpdater::gameResDownloadingStarted(QString filename) {
    flow->resources()->gameResDownloadingStarted(filename);
}

void LauncherUpdater::allGameResDownloadFinished() {
    flow->resources()->allGameResDownloadFinished();
}

void LauncherUpdater::calcDownloadSpeed() {
    flow->resources()->calcDownloadSpeed();
}

void LauncherUpdater::resumeDownloading() {
    flow->resumeDownloading();
}

void LauncherUpdater::downloadBtnClicked() {
    flow->downloadBtnClicked();
}

void LauncherUpdater::gameBtnClicked() {
    flow->gameBtnClicked();
}

void LauncherUpdater::gameProcessStarted() {
    flow->gameSession()->gameProcessStarted();
}

void LauncherUpdater::gameProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    flow->gameSession()->gameProcessFinished(exitCode, exitStatus);
}

void LauncherUpdater::processGameProcessFinishState(int exitCode, QProcess::ExitStatus exitStatus) {
    flow->gameSession()->processGameProcessFinishState(exitCode, exitStatus);
}
