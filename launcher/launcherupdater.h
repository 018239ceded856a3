#pragma once

#include "download/errorcode.h"
#include "workflow/installcheck.h"
#include "workflow/launcherconfig.h"

#include <QByteArray>
#include <QColor>
#include <QDialog>
#include <QFutureWatcher>
#include <QJsonObject>
#include <QMenu>
#include <QNetworkReply>
#include <QPixmap>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>

class QAction;
class QNetworkAccessManager;
class QPropertyAnimation;
class QTimer;
class QUrl;
class DarkOverlay;
class EventLogClient;
class XDManager;
struct LauncherUpdaterTestAccess;

namespace Ui {
class LauncherUpdater;
}

// The launcher's only top-level window and the owner of the whole workflow: version check,
// self-update, game resources, extraction, game process, tray and closing. Each concern lives in
// its own source file of this folder.
class LauncherUpdater : public QDialog {
    Q_OBJECT
    Q_PROPERTY(float fadeInAlpha READ fadeInAlpha WRITE setFadeInAlpha)

public:
    explicit LauncherUpdater(QWidget *parent = nullptr);
    ~LauncherUpdater() override;

    // Escape and the window manager's close act like the title bar's close button; only the
    // workflow itself (self-update, exit sequence, end of the game) closes the window for good.
    void reject() override;

    float fadeInAlpha() const { return m_fadeInAlpha; }
    void setFadeInAlpha(float alpha);

    // Size text: "%1B", "%1KB", "%1MB" or "%1GB" with 1024-based thresholds, rounded to `precision` decimals.
    static QString formatSize(float size, int precision = 2);
    // "hh:mm:ss", each field at least two digits.
    static QString formatTime(int seconds);
    // Next smoothed download speed in bytes a second: ((committed - lastCommitted) + 4 * speed) / 5,
    // truncated; 0 when the committed count went backwards.
    static qint64 smoothedSpeed(qint64 committed, qint64 lastCommitted, qint64 speed);
    // Remaining-time text for formatTime, "00:00:00" while the speed is below 1 byte a second.
    static QString remainingTimeText(qint64 remainingBytes, qint64 speed);
    // -2 when either version is not a number, -1 when remote is newer, 0 equal, 1 local newer.
    static int compareVersions(const QString &local, const QString &remote);

    // Before the game-resource update, hash every installed file against the version file and
    // fetch again what differs (the command line's --verify). Set before the version check ends.
    void setVerifyInstalledFiles(bool verify);

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

private:
    friend struct LauncherUpdaterTestAccess;

    // launcherupdater.cpp
    void showGameResourcePage();
    void onBackgroundFadeDone();
    void showDebugInfo();
    void updateLogo();
    void closeForGood();

    // captionsizes.cpp
    void fitCaptionSizes();

    // eventlog.cpp
    void sendLogEvent(QJsonObject event);
    void readCampaignId();
    void readDeviceId();

    // versioncheck.cpp
    // A GET of url that becomes the current request: safe redirects only, failed after timeoutMs
    // without a byte.
    QNetworkReply *startRequest(const QUrl &url, int timeoutMs);
    // The reply a finished slot handles (its sender, or the current request when called directly),
    // which is no longer the current request.
    QNetworkReply *takeFinishedReply();
    void retryVersionCheck(const QString &error);
    void startVersionFileRequest();
    void checkLauncherVersion();
    void acceptVersionFile(const QByteArray &body);

    // releasecheck.cpp
    static void announceReleaseVerification();
    static bool releaseVerificationEnabled();
    void startSignatureRequest(const QByteArray &versionFileBody);
    void signatureDownloadFinished(QNetworkReply *reply, const QByteArray &versionFileBody);
    void refuseVersionFile(const QString &reason);

    // selfupdate.cpp
    bool writeAppDirFile(const QByteArray &data, const QString &fileName);
    void runUpdateScript(const QString &fileName);

    // gameresources.cpp
    // From here on "config.ini" holds what the game-resource update decided (the resume flag).
    void openConfig();
    // Files recorded as installed in the listed version that should be on disk now (an unpacked
    // archive is not), with their listed size and MD5.
    QList<InstallCheck::File> installedFilesOnDisk() const;
    // Logs and reports a damaged installed file and forgets its record, so that it is fetched again.
    void forgetDamagedFile(const QString &name, const QString &reason);
    void prepareGameResources();
    void beginGameResourcePhase();
    QString installedVersion(const QString &name) const;
    void setManualResume(bool manualResume);
    void showStartButton();
    void showResumeButton();
    // Bytes the queued files need beyond the free space of the launcher's folder (0 when they fit).
    qint64 missingRoom() const;
    void showMissingRoom(qint64 shortBy);

    // verification.cpp
    void verifyInstalledFiles();
    void showVerifyProgress();
    void installedFilesVerified();
    void cancelVerification();

    // extraction.cpp
    void prepareExtraction();
    void removeUnpackedArchives();
    void forgetUnlistedFiles();
    void extractNextArchive();
    void onArchiveExtracted(const QString &name, const QString &path, QFutureWatcher<bool> *watcher);
    void clearExtractionMark(const QString &name);

    // gamelaunch.cpp
    static QString gameExecutableName(); // in the launcher directory
    void gameProcessError(QProcess::ProcessError error);
    void gameStartFailed(const QString &reason);
    void forgetGameExecutable();

    // crashupload.cpp
    QNetworkReply *uploadCrashReport(const QString &archiveName, const QString &description);

    // tray.cpp
    void buildTrayMenu();

    // Catalogue text of a key in the current language.
    static QString trKey(const QString &key);

    Ui::LauncherUpdater *ui = nullptr;
    DarkOverlay *overlay = nullptr;
    QString gclid;
    QString deviceId;
    QNetworkReply *currentReply = nullptr;
    QNetworkAccessManager *networkManager = nullptr;
    EventLogClient *eventLogClient = nullptr;
    // Inactivity limits: no byte for this long fails the request like a network error.
    int versionFileTimeoutMs = 15000;
    int launcherFileTimeoutMs = 30000;
    int pieceTimeoutMs = 30000;
    QPixmap backgroundPixmap;
    QPixmap fadePixmap;
    QPixmap logoPixmap;
    QRect logoRect;
    QColor titleBandColor;
    bool isDownloading = false;
    int gameState = 0;

    // Game-resource update.
    bool isPaused = false;
    std::unique_ptr<LauncherConfig> configSettings;
    bool configOpened = false; // the game-resource update has begun
    QStringList archivesToExtract;
    QString extractionFailure; // why the archive just extracted failed, for its event
    int finishedFileCount = 0;
    int updateFileCount = 0;
    qint64 totalBytes = 0;
    qint64 queuedBytes = 0; // listed sizes of the files this run fetches
    qint64 presentBytes = 0;
    qint64 downloadSpeed = 0;
    qint64 lastCommittedBytes = 0;
    QTimer *speedTimer = nullptr;
    QStringList startedFiles;
    int extractedCount = 0;
    int extractTotal = 0;
    bool extracting = false; // the downloaded archives are being unpacked
    XDManager *downloadManager = nullptr;
    int networkErrorCount = 0;
    int verifyErrorCount = 0;
    int writeErrorCount = 0;

    // Hashing of the installed files (--verify).
    bool verifyRequested = false;
    QFutureWatcher<InstallCheck::File> *verifyWatcher = nullptr;
    std::shared_ptr<InstallCheck::Progress> verifyProgress;
    qint64 verifyTotalBytes = 0;
    QTimer *verifyTimer = nullptr;

    QProcess *gameProcess = nullptr;
    int retryCount = 0;
    QRect titleBarRect;
    QRect titleBandRect;
    bool dragging = false;
    QPoint pressGlobalPos;
    QPoint pressWindowPos;
    QSystemTrayIcon trayIcon;
    QMenu trayMenu;
    QAction *openAction = nullptr;
    QAction *exitAction = nullptr;
    float m_fadeInAlpha = 0.0f;
    QPropertyAnimation *fadeAnimation = nullptr;
    bool closingForGood = false;
};
