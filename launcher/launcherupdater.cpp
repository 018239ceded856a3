// The window itself: construction, painting, dragging, the page switch and language changes.
#include "launcher/launcherupdater.h"

#include "core/buildconstants.h"
#include "download/bandwidthcap.h"
#include "download/cappednetworkaccess.h"
#include "i18n/translation.h"
#include "launcher/ui_launcherupdater.h"
#include "settings/globalsettings.h"
#include "widgets/darkoverlay.h"
#include "workflow/labelargs.h"
#include "workflow/progresstext.h"
#include "workflow/versioncheck.h"

#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QMessageBox>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>

namespace {

const char *const IconPath = ":/images/images/icon.png";

int startButtonPixelSize(const QString &languageName) {
    return (languageName == QLatin1String("Japanese") || languageName == QLatin1String("Spanish")) ? 40 : 47;
}

} // namespace

LauncherUpdater::LauncherUpdater(QWidget *parent)
    // A dialog by class, a normal window by type: minimised, it keeps its entry in the task list
    // (where desktops list no dialogs), the one way back without the tray.
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint)
    , ui(new Ui::LauncherUpdater)
    // Downloads of the window's workflow (the version file, the self-update) keep to the player's
    // download cap; so do the piece downloads, which draw from the same cap.
    , networkManager(new CappedNetworkAccess(this))
    , flow(new LauncherWorkflow(WorkflowSetup::product(), networkManager, this))
    , fadeAnimation(new QPropertyAnimation(this)) {
    // The form ends on the game page, the run starts on the launcher page.
    ui->setupUi(this);
    ui->stackedWidget->setCurrentIndex(0);
    // The limit the player chose last time (the settings dialog changes it as it runs).
    BandwidthCap::instance().setRate(qint64(GlobalSettings::instance()->value(DownloadLimitKbps)) * 1024);
    // A dialog clicks its default button on Enter, and a push button of a dialog becomes the default
    // when it gets focus: Enter would click whatever had focus last, the hidden settings button
    // included. No button of this window is a default one; Enter does nothing here.
    for (QPushButton *button : findChildren<QPushButton *>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // Window icon.
    setWindowIcon(QIcon(QString::fromLatin1(IconPath)));

    // Texts follow the language chosen in the settings.
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this,
            SLOT(onLanguageChanged(QString)));

    // Tray icon, hidden until the close button sends the window there.
    trayIcon.setIcon(QIcon(QString::fromLatin1(IconPath)));
    trayIcon.setToolTip(trKey(QStringLiteral("APP_NAME")));
    connect(&trayIcon, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(trayIconActivated(QSystemTrayIcon::ActivationReason)));
    buildTrayMenu();
    connect(&trayMenu, SIGNAL(triggered(QAction *)), this, SLOT(trayMenuTriggered(QAction *)));
    trayIcon.setContextMenu(&trayMenu);

    // Title and version captions.
    setWindowTitle(trKey(QStringLiteral("APP_NAME")));
    ui->appnameLabel->setTextKey(QStringLiteral("%1"), false, true);
    ui->appnameLabel->setArgs({LabelArgs::key(QStringLiteral("APP_NAME"))});
    ui->versionLabel->setTextKey(QStringLiteral("V%1 %2"), false, true);
    ui->versionLabel->setArgs({LabelArgs::text(launcherVersion), LabelArgs::text(buildMode)});

    // Design size 1280 x 720 scaled to a width of 1300.
    const double scale = 1300.0 / 1280.0;
    setFixedSize(qRound(1280 * scale), qRound(720 * scale));

    // The overlay that darkens the window behind a dialog.
    overlay = new DarkOverlay(this);
    overlay->setGeometry(0, 0, width(), height());
    overlay->raise();
    overlay->hide();

    // Where the window can be dragged, and the painted title band.
    titleBarRect = QRect(0, 0, 1300, 44);
    titleBandRect = QRect(0, 0, width(), 44);

    // Title buttons.
    ui->close_btn->setIcon(QPixmap(QStringLiteral(":/images/images/close_normal.png")));
    connect(ui->close_btn, SIGNAL(clicked()), this, SLOT(exit()));
    ui->minimize_btn->setIcon(QPixmap(QStringLiteral(":/images/images/minimize_normal.png")));
    connect(ui->minimize_btn, SIGNAL(clicked()), this, SLOT(minimize()));
    ui->setting_btn->setIcon(QPixmap(QStringLiteral(":/images/images/setting_normal.png")));
    ui->setting_btn->setVisible(false);
    connect(ui->setting_btn, SIGNAL(clicked()), this, SLOT(openSettings()));
    setTitleButtonTips();

    // Pause / continue button of the game download.
    ImageButton *downloadBtn = ui->downloadBtn;
    downloadBtn->setVisible(false);
    downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/pause.png")));
    downloadBtn->setBaseColors(QColor("#f1b6fa"), QColor("#834395"), QColor("#e9a9fb"));
    downloadBtn->setFaceColors(QColor("#bf56f1"), QColor("#733491"), QColor("#d99af7"));
    downloadBtn->setTwoLayer(true);
    downloadBtn->setRounded(true);
    downloadBtn->setIconScale(0.6f);
    connect(downloadBtn, SIGNAL(clicked()), this, SLOT(downloadBtnClicked()));
    // Its twin on the launcher page: the launcher's update waits on a metered connection. Hidden it
    // takes no room (unlike the other icon buttons), so the line stays centred.
    ImageButton *launcherDownloadBtn = ui->launcherDownloadBtn;
    launcherDownloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
    launcherDownloadBtn->setBaseColors(QColor("#f1b6fa"), QColor("#834395"), QColor("#e9a9fb"));
    launcherDownloadBtn->setFaceColors(QColor("#bf56f1"), QColor("#733491"), QColor("#d99af7"));
    launcherDownloadBtn->setTwoLayer(true);
    launcherDownloadBtn->setRounded(true);
    launcherDownloadBtn->setIconScale(0.6f);
    launcherDownloadBtn->QWidget::setVisible(false);
    connect(launcherDownloadBtn, &ImageButton::clicked, this, &LauncherUpdater::downloadBtnClicked);

    // Start button, shown once the game files are ready.
    ui->startGameBtn->setVisible(false);
    ui->startGameBtn->setTextPixelSize(startButtonPixelSize(Translation::instance()->languageName()));

    // Status line of the launcher page.
    ui->launcherDownloadInfo->setVisible(false);
    ui->launcherDownloadInfo->setTextKey(QStringLiteral("LOADING"), true, true);
    ui->launcherDownloadInfo->setOutlineColor(QColor("#3b2c5e"));
    ui->launcherDownloadInfo->setOutlined(true);
    ui->launcherDownloadInfo->setOutlineWidth(2);

    // Progress bars of the self-update and of the game download.
    ui->launcherProgressBar->setScale(1.015625f);
    ui->launcherProgressBar->setRadiusIsHalfHeight(true);
    ui->gameSrcProgressBar->setScale(1.015625f);
    ui->gameSrcProgressBar->setVisible(false);

    // Background and title band colour.
    backgroundPixmap = QPixmap(QStringLiteral(":/images/images/bg1.png"));
    titleBandColor = QColor("#2e0152");

    ui->launcherProgressBar->setVisible(false);
    followWorkflow();
    followTray();

    // Outlined captions of the game download.
    for (TranslatableLabel *label :
         {ui->gameSrcDownloadInfo, ui->estimateTimeInfo, ui->downloadingSpeedInfo}) {
        label->setOutlined(true);
        label->setOutlineWidth(2);
        label->setOutlineColor(QColor("#30005d"));
    }
    fitCaptionSizes();

    // The identifiers, the first event, and the version check 500 ms from now.
    flow->start();

    // The fade-in when the window is shown.
    fadeAnimation->setTargetObject(this);
    fadeAnimation->setPropertyName("fadeInAlpha");

    // Ctrl+Alt+G shows the debug information.
    auto *debugShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+G")), this);
    debugShortcut->setContext(Qt::WindowShortcut);
    connect(debugShortcut, &QShortcut::activated, this, &LauncherUpdater::showDebugInfo);
}

LauncherUpdater::~LauncherUpdater() {
    trayIcon.hide();
    // The workflow's parts end their requests while the network access that made them is still
    // there (it is the older child, and would go first).
    delete flow;
    flow = nullptr;
    delete ui;
}

QString LauncherUpdater::trKey(const QString &key) {
    return Translation::instance()->tr(key);
}

void LauncherUpdater::reject() {
    if (closingForGood) {
        QDialog::reject();
        return;
    }
    exit();
}

void LauncherUpdater::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (!shownOnce) {
        shownOnce = true;
        flow->windowShown();
    }
    flow->setWindowVisible(true);
}

void LauncherUpdater::hideEvent(QHideEvent *event) {
    QDialog::hideEvent(event);
    flow->setWindowVisible(false);
}

void LauncherUpdater::closeEvent(QCloseEvent *event) {
    if (closingForGood || !isVisible()) {
        QDialog::closeEvent(event);
        return;
    }
    // A close request from outside (window manager, Alt+F4) follows the close button's rules
    // instead of ending the process on the spot.
    event->ignore();
    exit();
}

void LauncherUpdater::closeForGood() {
    // Leaving in order (the player, the session's end, after the game): this launcher came up.
    flow->confirmStarted();
    closingForGood = true;
    close();
}

void LauncherUpdater::setFadeInAlpha(float alpha) {
    fadeOpacity = alpha;
    update();
}

void LauncherUpdater::paintEvent(QPaintEvent *event) {
    Q_UNUSED(event);
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), backgroundPixmap);
    if (!fadePixmap.isNull()) {
        painter.setOpacity(fadeOpacity);
        painter.drawPixmap(rect(), fadePixmap);
    }
    painter.setOpacity(1.0);
    painter.setPen(Qt::NoPen);
    painter.fillRect(titleBandRect, titleBandColor);
    if (!logoPixmap.isNull())
        painter.drawPixmap(logoRect, logoPixmap);
}

void LauncherUpdater::mousePressEvent(QMouseEvent *event) {
    if (titleBarRect.contains(event->pos())) {
        dragging = true;
        pressGlobalPos = event->globalPos();
        pressWindowPos = pos();
    }
    QDialog::mousePressEvent(event);
}

void LauncherUpdater::mouseMoveEvent(QMouseEvent *event) {
    if (dragging)
        move(pressWindowPos + (event->globalPos() - pressGlobalPos));
    QDialog::mouseMoveEvent(event);
}

void LauncherUpdater::mouseReleaseEvent(QMouseEvent *event) {
    dragging = false;
    QDialog::mouseReleaseEvent(event);
}

void LauncherUpdater::showGameResourcePage() {
    fadePixmap = QPixmap(QStringLiteral(":/images/images/bg2.png"));
    fadeAnimation->setDuration(1000);
    fadeAnimation->setStartValue(0.0f);
    fadeAnimation->setEndValue(1.0f);
    fadeAnimation->start();
    ui->stackedWidget->setCurrentIndex(1);
    ui->setting_btn->setVisible(true);
    connect(fadeAnimation, &QPropertyAnimation::finished, this, &LauncherUpdater::onBackgroundFadeDone,
            Qt::UniqueConnection);
}

void LauncherUpdater::onBackgroundFadeDone() {
    backgroundPixmap = fadePixmap;
    fadePixmap = QPixmap();
    updateLogo();
    flow->beginGameResources();
}

void LauncherUpdater::setTitleButtonTips() {
    ui->setting_btn->setToolTip(trKey(QStringLiteral("SETTINGS_TOOLTIP")));
    ui->minimize_btn->setToolTip(trKey(QStringLiteral("MINIMIZE_TOOLTIP")));
    ui->close_btn->setToolTip(trKey(QStringLiteral("CLOSE_TOOLTIP")));
}

void LauncherUpdater::updateLogo() {
    logoPixmap = QPixmap(Translation::instance()->imagePath(QStringLiteral("logo.png")));
    const int w = logoPixmap.width() / 2;
    const int h = logoPixmap.height() / 2;
    logoRect = QRect((width() - w) / 2, 60, w, h);
    update();
}

void LauncherUpdater::onLanguageChanged(QString lan) {
    Q_UNUSED(lan);
    const QString appName = trKey(QStringLiteral("APP_NAME"));
    setWindowTitle(appName);
    showTrayTip();
    buildTrayMenu();
    setTitleButtonTips();
    fitCaptionSizes();

    MainButton *start = ui->startGameBtn;
    start->setTextPixelSize(startButtonPixelSize(Translation::instance()->languageName()));
    if (gameState != 0) {
        start->setVisible(true);
        start->setTextKey(QStringLiteral("START_GAME"));
        start->setEnabled(gameState == 2);
    } else {
        start->setVisible(true);
        start->setTextKey(QStringLiteral("RESUME_DOWNLOADING"));
    }
    start->update();

    if (!logoPixmap.isNull() || ui->stackedWidget->currentIndex() == 1)
        updateLogo();
}

void LauncherUpdater::showDebugInfo() {
    const QString text =
        QStringLiteral("cdnBaseUrl=%1\nbuildMode=%2\nlogUrl=%3\nlauncherVersion=%4\nversionFile=%5\n"
                       "crashUploadUrl=%6")
            .arg(cdnBaseUrl, buildMode, logUrl, launcherVersion, versionFile, crashUploadUrl);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Debug info"), text, QMessageBox::Ok, this);
    box.exec();
}

QString LauncherUpdater::formatSize(float size, int precision) {
    return ProgressText::formatSize(size, precision);
}

QString LauncherUpdater::formatTime(int seconds) {
    return ProgressText::formatTime(seconds);
}

int LauncherUpdater::compareVersions(const QString &local, const QString &remote) {
    return VersionCheck::compareVersions(local, remote);
}

void LauncherUpdater::setVerifyInstalledFiles(bool verify) {
    flow->setVerifyInstalledFiles(verify);
}
