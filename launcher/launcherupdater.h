#pragma once

#include "download/errorcode.h"
#include "workflow/launcherworkflow.h"
#include "workflow/workflowstatus.h"

#include <QByteArray>
#include <QColor>
#include <QDialog>
#include <QJsonObject>
#include <QMenu>
#include <QNetworkReply>
#include <QPixmap>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QNetworkAccessManager;
class QPropertyAnimation;
class DarkOverlay;
class ProgressBar;
class TranslatableLabel;
struct LauncherUpdaterTestAccess;

namespace Ui {
class LauncherUpdater;
}

// The launcher's only top-level window. It owns the workflow (version check, self-update, game
// resources, extraction, game session) and shows it: its phase, status lines and progress go into
// the widgets, the player's clicks go to it. The tray icon and closing are the window's own.
class LauncherUpdater : public QDialog {
    Q_OBJECT
    Q_PROPERTY(float fadeInAlpha READ fadeInAlpha WRITE setFadeInAlpha)

public:
    explicit LauncherUpdater(QWidget *parent = nullptr);
    ~LauncherUpdater() override;

    // Escape and the window manager's close act like the title bar's close button; only the
    // workflow itself (self-update, exit sequence, end of the game) closes the window for good.
    void reject() override;

    // After the event loop: the run's work stops, and the events sent last (the exit's, the
    // restart for an update) get a short while to arrive. The update script waits for this
    // process, so the while is short.
    static constexpr int EventsAtExitMs = 2000;
    void waitForEventsSent();

    float fadeInAlpha() const { return fadeOpacity; }
    void setFadeInAlpha(float alpha);

    // Size text: "%1B", "%1KB", "%1MB" or "%1GB" with 1024-based thresholds, rounded to `precision` decimals.
    static QString formatSize(float size, int precision = 2);
    // "hh:mm:ss", each field at least two digits.
    static QString formatTime(int seconds);
    // -2 when either version is not a number, -1 when remote is newer, 0 equal, 1 local newer.
    static int compareVersions(const QString &local, const QString &remote);

    // The system ends the session (a shutdown, a log-off): the launcher leaves as through the tray's
    // EXIT, but without asking (nobody is there to answer, and the question would hold up the
    // shutdown; the download is offered again at the next start). Open dialogs go, and what must
    // be on the disk (the download's received bytes and their record, "config.ini") is there when
    // this returns: the system may end the process right after.
    void sessionEnding();

    // Before the game-resource update, hash every installed file against the version file and
    // fetch again what differs (the command line's --verify). Set before the version check ends.
    void setVerifyInstalledFiles(bool verify);

    LauncherWorkflow *workflow() const { return flow; }

public slots:
    void receivedMessageFromSecondary(quint32 instanceId, QByteArray message);
    void versionFileDownloadFinished();
    void versionFileDownloadNetworkError(QNetworkReply::NetworkError code);
    void launcherFileDownloadFinished();
    void launcherDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void launcherDownloadNetworkError(QNetworkReply::NetworkError code);
    void downloadStarted();
    void gameResDownloadFinished(ErrorCode code, QString filename);
    void gameResDownloadingStarted(QString filename);
    void allGameResDownloadFinished();
    void gameBtnClicked();
    void gameProcessStarted();
    void gameProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processGameProcessFinishState(int exitCode, QProcess::ExitStatus exitStatus);
    void resumeDownloading();
    void trayMenuTriggered(QAction *action);
    void exit();
    void exitApp();
    void minimize();
    void openSettings();
    void trayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void onLanguageChanged(QString lan);
    void calcDownloadSpeed();
    void downloadBtnClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    friend struct LauncherUpdaterTestAccess;

    // launcherupdater.cpp
    void showGameResourcePage();
    void onBackgroundFadeDone();
    void showDebugInfo();
    void updateLogo();
    void closeForGood();
    void setTitleButtonTips();

    // workflowview.cpp
    void followWorkflow();
    void showPhase(LauncherWorkflow::Phase phase);
    void showStatus(WorkflowStatus::Line line, const WorkflowStatus &status);
    void showProgress(WorkflowStatus::Bar bar, float percent);
    void startButtonClicked();
    void showStartButton();
    void showResumeButton();
    // The round button with `icon`; its tool tip says what it does when the icon does not.
    void showDownloadButton(const char *icon, const QString &toolTip = QString());
    // The launcher page's round button (the launcher's update waits on a metered connection).
    void showLauncherDownloadButton(bool shown);
    // The ready game page while the next release is pre-downloaded, and the tray icon's tooltip.
    void showPreDownload();
    void showTrayTip();
    void sendLogEvent(const QJsonObject &event);

    // captionsizes.cpp
    void fitCaptionSizes();

    // tray.cpp
    void buildTrayMenu();
    void showTrayNotice();
    void bringBack();
    // The tray's word on a download: its pause entry, the tool tip of a pre-download paused or
    // waiting, and the icon while the game runs.
    void followTray();
    void showTrayDownload();
    void pauseFromTray();

    // Catalogue text of a key in the current language.
    static QString trKey(const QString &key);

    Ui::LauncherUpdater *ui = nullptr;
    DarkOverlay *overlay = nullptr;
    QNetworkAccessManager *networkManager = nullptr;
    LauncherWorkflow *flow = nullptr;
    QPixmap backgroundPixmap;
    QPixmap fadePixmap;
    QPixmap logoPixmap;
    QRect logoRect;
    QColor titleBandColor;
    // What the window shows of the workflow's state: whether leaving asks first, and what the
    // start button offers (0 KEEP UPDATE, 1 a disabled START, 2 START).
    bool isDownloading = false;
    int gameState = 0;
    QRect titleBarRect;
    QRect titleBandRect;
    bool dragging = false;
    QPoint pressGlobalPos;
    QPoint pressWindowPos;
    QSystemTrayIcon trayIcon;
    QMenu trayMenu;
    QAction *openAction = nullptr;
    QAction *exitAction = nullptr;
    QAction *pauseAction = nullptr;
    // The icon is up because a download goes on while the game runs (not because the window went
    // to the tray).
    bool trayWhilePlaying = false;
    float fadeOpacity = 0.0f;
    QPropertyAnimation *fadeAnimation = nullptr;
    bool closingForGood = false;
    bool shownOnce = false;
    // The exit sequence has begun: the event is sent and the window goes; nothing asks again.
    bool leaving = false;
    // The system ends the session: leaving asks nothing.
    bool sessionEnded = false;
    bool trayNoticeShown = false;
};
