// Tray icon, close and minimise buttons, the settings dialog and the exit sequence.
#include "launcher/launcherupdater.h"

#include "i18n/translation.h"
#include "launcher/ui_launcherupdater.h"
#include "settings/globalsettings.h"
#include "settings/settingdialog.h"
#include "widgets/confirmdialog.h"
#include "widgets/darkoverlay.h"
#include "workflow/gameresourceupdate.h"
#include "workflow/predownload.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QIcon>
#include <QTimer>

namespace {

// The exit question's result when the download ended while it was open.
constexpr int DownloadEndedMeanwhile = 2;

// What the tray can do for the download going on: the same as the page's round button.
enum class TrayDownload { None, Running, Paused, Waiting };

TrayDownload trayDownload(const LauncherWorkflow *flow) {
    switch (flow->phase()) {
    case LauncherWorkflow::Downloading:
        return TrayDownload::Running;
    case LauncherWorkflow::Paused:
        return TrayDownload::Paused;
    case LauncherWorkflow::Ready:
    case LauncherWorkflow::GameRunning:
        break;
    default:
        return TrayDownload::None;
    }
    switch (flow->preDownload()->state()) {
    case PreDownload::Fetching:
        return TrayDownload::Running;
    case PreDownload::Paused:
        return TrayDownload::Paused;
    case PreDownload::Held:
        return TrayDownload::Waiting;
    default:
        return TrayDownload::None;
    }
}

} // namespace

void LauncherUpdater::exit() {
    if (GlobalSettings::instance()->value(CloseGameAction) == 0) {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            trayIcon.setVisible(true);
            hide();
            showTrayNotice();
            return;
        }
        // Hidden without a tray, the window could not come back; minimised, closing would never
        // close. The launcher leaves instead, asking first during a download.
        qDebug() << "no system tray available, leaving instead of going to the tray";
    }
    exitApp();
}

// The window went away without a word: the first time in a run, the tray icon says that the
// launcher is still there.
void LauncherUpdater::showTrayNotice() {
    if (trayNoticeShown)
        return;
    trayNoticeShown = true;
    qDebug() << "tray notice shown";
    trayIcon.showMessage(trKey(QStringLiteral("APP_NAME")), trKey(QStringLiteral("TRAY_STILL_RUNNING")),
                         QIcon(QStringLiteral(":/images/images/icon.png")), 5000);
}

void LauncherUpdater::exitApp() {
    if (leaving)
        return;
    QJsonObject event;
    event.insert(QStringLiteral("event"), QStringLiteral("launcher closed"));
    if (isDownloading && !sessionEnded) {
        overlay->show();
        overlay->raise();
        ConfirmDialog dialog(trKey(QStringLiteral("EXITING_TIP")), this);
        // The question warns about the download: once it has ended there is nothing left to warn
        // about, and the launcher leaves as it does without a download.
        connect(flow, &LauncherWorkflow::phaseChanged, &dialog, [this, &dialog]() {
            if (!isDownloading)
                dialog.done(DownloadEndedMeanwhile);
        });
        const int result = dialog.exec();
        overlay->hide();
        // Cancelled, or the session ended meanwhile and the launcher has left already.
        if (result == 0 || leaving)
            return;
    }
    if (isDownloading) {
        event.insert(QStringLiteral("curr downloading"), flow->resources()->finishedFileCount() + 1);
        event.insert(QStringLiteral("total_update_count"), flow->resources()->updateFileCount());
    }
    leaving = true;
    sendLogEvent(event);
    flow->setManualResume(flow->resumeOfferedOnExit());
    hide();
    QTimer::singleShot(800, this, [this]() { closeForGood(); });
}

void LauncherUpdater::sessionEnding() {
    sessionEnded = true;
    // Nobody is there to answer: open dialogs (the exit question, the settings, the crash report)
    // go. An exit question's exitApp() then finds the launcher leaving already.
    for (QWidget *top : QApplication::topLevelWidgets()) {
        auto *dialog = qobject_cast<QDialog *>(top);
        if (dialog && dialog != this && dialog->isVisible())
            dialog->reject();
    }
    exitApp();
    // What the window's end would do later is done now.
    flow->stopForExit();
}

void LauncherUpdater::minimize() {
    showMinimized();
}

void LauncherUpdater::openSettings() {
    overlay->show();
    overlay->raise();
    bool verify = false;
    {
        SettingDialog dialog(this);
        // Not while the game or a download runs; the repair closes the dialog and shows on the page.
        dialog.setVerifyEnabled(flow->canVerify());
        connect(&dialog, &SettingDialog::verifyRequested, &dialog, [&dialog, &verify] {
            verify = true;
            dialog.accept();
        });
        dialog.exec();
    }
    overlay->hide();
    if (verify)
        flow->verifyNow();
}

void LauncherUpdater::trayIconActivated(QSystemTrayIcon::ActivationReason reason) {
    qDebug().noquote() << QStringLiteral("trayIconActivated %1").arg(static_cast<int>(reason));
    // While the game runs the window stays away (its button would start the game again): any
    // click opens the menu.
    if (reason != QSystemTrayIcon::Context && !flow->isGameRunning()) {
        bringBack();
        return;
    }
    // The size the menu is about to have: before its first showing its current size is the
    // default widget size, which would put the menu far off the cursor.
    trayMenu.ensurePolished();
    const QSize size = trayMenu.isVisible() ? trayMenu.size() : trayMenu.sizeHint();
    const QPoint cursor = QCursor::pos();
    trayMenu.move(cursor.x() - size.width(), cursor.y() - size.height());
    trayMenu.show();
}

void LauncherUpdater::trayMenuTriggered(QAction *action) {
    if (action == pauseAction) {
        pauseFromTray();
        return;
    }
    trayIcon.hide();
    if (action == openAction) {
        bringBack();
    } else if (action == exitAction) {
        if (isDownloading)
            show();
        exitApp();
    }
}

void LauncherUpdater::receivedMessageFromSecondary(quint32 instanceId, QByteArray message) {
    Q_UNUSED(instanceId);
    Q_UNUSED(message);
    if (flow->isGameRunning())
        return;
    bringBack();
    // A final error or an expired release leaves nothing to click: starting the launcher again is
    // how the player asks for another try, at once rather than after the workflow's own pause.
    flow->tryAgain();
}

// The window comes back from the tray, from a minimise (the stand-in for the tray where there is
// none), or from both: a window hidden while minimised keeps that state, and shown as it is it
// would stay an entry of the task list.
void LauncherUpdater::bringBack() {
    trayIcon.hide();
    flow->keepOpen();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void LauncherUpdater::buildTrayMenu() {
    trayMenu.clear();
    QFont font(Translation::instance()->fontFamily(QStringLiteral("default")));
    font.setPixelSize(12);
    trayMenu.setFont(font);
    openAction =
        trayMenu.addAction(QIcon(QStringLiteral(":/images/images/icon.png")), trKey(QStringLiteral("OPEN")));
    pauseAction = trayMenu.addAction(QString());
    exitAction = trayMenu.addAction(trKey(QStringLiteral("EXIT")));
    showTrayDownload();
}

void LauncherUpdater::followTray() {
    // After the window's own handlers: the game's start hides the icon first.
    connect(flow, &LauncherWorkflow::phaseChanged, this, &LauncherUpdater::showTrayDownload);
    connect(flow->preDownload(), &PreDownload::changed, this, &LauncherUpdater::showTrayDownload);
}

void LauncherUpdater::showTrayDownload() {
    if (!pauseAction || !flow)
        return;
    const TrayDownload download = trayDownload(flow);
    const bool playing = flow->phase() == LauncherWorkflow::GameRunning;
    openAction->setVisible(!playing);
    pauseAction->setVisible(download == TrayDownload::Running || download == TrayDownload::Paused);
    pauseAction->setText(trKey(download == TrayDownload::Paused ? QStringLiteral("TRAY_RESUME")
                                                                : QStringLiteral("TRAY_PAUSE")));
    // showTrayTip() words a pre-download under way; paused or held for the game, it says so.
    const PreDownload *preDownload = flow->preDownload();
    if (preDownload->state() == PreDownload::Paused || preDownload->state() == PreDownload::Held) {
        const QString key = preDownload->state() == PreDownload::Paused
                                ? QStringLiteral("TRAY_PREDOWNLOAD_PAUSED")
                                : QStringLiteral("TRAY_PREDOWNLOAD_WAITING");
        trayIcon.setToolTip(trKey(key).arg(preDownload->version()).arg(preDownload->percent()));
    }
    if (playing) {
        trayWhilePlaying = download != TrayDownload::None;
        trayIcon.setVisible(trayWhilePlaying);
    } else if (trayWhilePlaying) {
        // The game ended: the window comes back, or the workflow keeps the icon for its pre-download.
        trayWhilePlaying = false;
        trayIcon.hide();
    }
}

void LauncherUpdater::pauseFromTray() {
    // The page's round button acts on the page's download; while the game runs that is the
    // pre-download, which the window's workflow leaves alone meanwhile.
    if (flow->phase() != LauncherWorkflow::GameRunning) {
        flow->downloadBtnClicked();
        return;
    }
    PreDownload *preDownload = flow->preDownload();
    if (preDownload->state() == PreDownload::Paused)
        preDownload->resume();
    else
        preDownload->pause();
}
