#include "tools/pictures/tour.h"

#include "tools/pictures/captioncheck.h"
#include "tools/pictures/picturerun.h"

#include "crash/crashreporter.h"
#include "i18n/translation.h"
#include "launcher/launcherupdater.h"
#include "launcher/launcherupdatertestaccess.h"
#include "settings/settingdialog.h"
#include "trust/versiontable.h"
#include "widgets/combopopup.h"
#include "widgets/confirmdialog.h"
#include "widgets/darkoverlay.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/imagebutton.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"
#include "workflow/labelargs.h"
#include "workflow/roomshortage.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolTip>
#include <QVBoxLayout>

using namespace PictureRun;

namespace {

using Access = LauncherUpdaterTestAccess;
using LabelArgs::key;
using LabelArgs::number;
using LabelArgs::text;

CaptionCheck captions;
// Where the controls of the bottom row stood when first seen in the current language: a caption
// too long for its row widens the row and pushes them aside.
QHash<QString, QRect> steadyGeometry;
QStringList moved;

// Screens kept in the documentation, in English and Japanese.
const QStringList docScreens = {"launcher-update",
                                "error-fatal",
                                "download-running",
                                "download-paused",
                                "download-network-waiting",
                                "keep-update",
                                "extracting",
                                "ready",
                                "predownload-tip",
                                "settings-general",
                                "settings-language-list",
                                "settings-download-typed",
                                "repair-repaired",
                                "exit-confirmation",
                                "crash-dialog",
                                "tooltip-close",
                                "focus-close",
                                "tray-notice"};

// OUTDIR/<language>/<screen>.png; with --docs, the screens kept in the documentation also as
// DOCS/<screen>-<language>.jpg in English and Japanese.
void save(const QString &language, const QString &screen, const QImage &image) {
    PictureRun::save(QStringLiteral("%1/%2").arg(language.toLower(), screen), image);
    if (docsDir.isEmpty() || !docScreens.contains(screen) ||
        (language != QLatin1String("English") && language != QLatin1String("Japanese")))
        return;
    const QString doc = QDir(docsDir).filePath(QStringLiteral("%1-%2.jpg").arg(screen, language.toLower()));
    if (!image.convertToFormat(QImage::Format_RGB32).save(doc, "JPG", 88)) {
        qWarning() << "cannot write picture" << doc;
        failed = true;
    }
}

// Dialogs open centred over the window, as a desktop shows them (the offscreen platform centres
// them on its own screen instead).
void centreOver(QWidget *dialog, QWidget *window) {
    const QPoint centre = window->mapToGlobal(window->rect().center());
    dialog->move(centre - QPoint(dialog->width() / 2, dialog->height() / 2));
}

// Picture of the window with its visible top-level dialogs laid over it where they stand.
QImage shoot(LauncherUpdater *window, const QList<QWidget *> &dialogs = {}) {
    settle();
    QList<QPair<QWidget *, QPoint>> tops;
    for (QWidget *dialog : dialogs)
        tops.append({dialog, dialog->mapToGlobal(QPoint()) - window->mapToGlobal(QPoint())});
    return composite(window, tops);
}

void checkSteady(LauncherUpdater *window, const QString &where) {
    Ui::LauncherUpdater *ui = Access::ui(window);
    const QList<QWidget *> controls = {ui->startGameBtn, ui->downloadBtn, ui->gameSrcProgressBar,
                                       ui->launcherProgressBar};
    for (QWidget *control : controls) {
        if (!control->isVisibleTo(window))
            continue;
        const QRect now(control->mapTo(window, QPoint()), control->size());
        const auto known = steadyGeometry.constFind(control->objectName());
        if (known == steadyGeometry.constEnd())
            steadyGeometry.insert(control->objectName(), now);
        else if (*known != now)
            moved << QStringLiteral("%1: %2 moved from %3,%4 %5x%6 to %7,%8 %9x%10")
                         .arg(where, control->objectName())
                         .arg(known->x())
                         .arg(known->y())
                         .arg(known->width())
                         .arg(known->height())
                         .arg(now.x())
                         .arg(now.y())
                         .arg(now.width())
                         .arg(now.height());
    }
}

void capture(LauncherUpdater *window, const QString &language, const QString &screen,
             const QList<QWidget *> &dialogs = {}) {
    settle(30);
    const QString where = QStringLiteral("%1 %2").arg(language, screen);
    checkSteady(window, where);
    captions.check(window, where);
    for (QWidget *dialog : dialogs)
        captions.check(dialog, where);
    save(language, screen, shoot(window, dialogs));
}

// The launcher page in its states. The fatal error is reached for real: the version file lies on a
// closed port, so three attempts fail.
void launcherPage(LauncherUpdater *w, const QString &language) {
    Ui::LauncherUpdater *ui = Access::ui(w);
    capture(w, language, QStringLiteral("launcher-page"));
    if (!waitUntil([&] { return ui->launcherDownloadInfo->isVisibleTo(w); }, 15000)) {
        qWarning() << language << "the version check did not give up";
        failed = true;
    }
    capture(w, language, QStringLiteral("error-fatal"));

    TranslatableLabel *info = ui->launcherDownloadInfo;
    info->setVisible(true);
    const struct {
        const char *screen;
        const char *error;
        int attempt;
    } retries[] = {{"error-network-retry", "NETWORK_ERROR", 2},
                   {"error-parse-retry", "VERSION_PARSE_ERROR", 2},
                   {"error-load-retry", "LOAD_ERROR", 3}};
    for (const auto &r : retries) {
        info->setTextKey(QStringLiteral("DETAILED_ERROR"), true, true);
        info->setArgs({text(tr(QLatin1String(r.error))), number(r.attempt)});
        capture(w, language, QLatin1String(r.screen));
    }
    for (const char *k : {"SERVER_ERROR", "VERIFY_ERROR", "WRITE_ERROR"}) {
        info->setTextKey(QLatin1String(k), true, true);
        capture(w, language, QStringLiteral("error-launcher-%1").arg(QString::fromLatin1(k).toLower()));
    }
    // A self-update that has not reported progress yet.
    info->setTextKey(QStringLiteral("LOADING"), true, true);
    ui->launcherProgressBar->setVisible(true);
    ui->launcherProgressBar->setProgress(0);
    capture(w, language, QStringLiteral("launcher-update-loading"));
    info->setTextKey(QStringLiteral("%1 %2%3"), false, true);
    info->setArgs({key(QStringLiteral("UPDATING")), text(LauncherUpdater::formatSize(1572864)),
                   text(QStringLiteral("/") + LauncherUpdater::formatSize(12845056))});
    ui->launcherProgressBar->setVisible(true);
    ui->launcherProgressBar->setProgress(12.2f);
    capture(w, language, QStringLiteral("launcher-update"));
    // On a metered connection the launcher's update waits, with its button beside the line.
    ui->launcherProgressBar->setVisible(false);
    info->setTextKey(QStringLiteral("METERED_LAUNCHER_WAITING"), true, true);
    info->setArgs({text(LauncherUpdater::formatSize(12845056))});
    for (bool shown : {true, false}) {
        ui->launcherDownloadBtn->setVisible(shown);
        ui->launcherDownloadBtn->QWidget::setVisible(shown);
        if (shown)
            capture(w, language, QStringLiteral("metered-launcher-waiting"));
    }
}

void exitConfirmation(LauncherUpdater *w, const QString &language);

void downloadLabels(Ui::LauncherUpdater *ui, int percent, qint64 done, qint64 total, const QString &time,
                    qint64 speed) {
    ui->gameSrcDownloadInfo->setVisible(true);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("DOWNLOADING_TIP"), true, true);
    ui->gameSrcDownloadInfo->setArgs(
        {number(percent), text(LauncherUpdater::formatSize(done)), text(LauncherUpdater::formatSize(total))});
    ui->estimateTimeInfo->setTextKey(QStringLiteral("ESTIMATED_TIME_TIP"), true, true);
    ui->estimateTimeInfo->setArgs({text(time)});
    ui->downloadingSpeedInfo->setTextKey(QStringLiteral("DOWNLOADING_SPEED_TIP"), true, true);
    ui->downloadingSpeedInfo->setArgs({text(LauncherUpdater::formatSize(speed))});
    ui->gameSrcProgressBar->setVisible(true);
    ui->gameSrcProgressBar->setProgress(float(done * 100.0 / total));
}

// The next release fetched in the background while the installed one stays playable: the progress
// line in each of its texts, with the widest sizes below a gigabyte.
void predownloadLines(LauncherUpdater *w, const QString &language) {
    Ui::LauncherUpdater *ui = Access::ui(w);
    const auto version = text(QStringLiteral("1.12.305"));
    const auto size = text(LauncherUpdater::formatSize(Q_INT64_C(1073741760)));
    Access::gameState(w) = 2;
    ui->startGameBtn->setTextKey(QStringLiteral("START_GAME"));
    ui->startGameBtn->setEnabled(true);
    ui->downloadBtn->setVisible(false);
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    ui->gameSrcProgressBar->setVisible(true);
    ui->gameSrcProgressBar->setProgress(99.0f);
    const struct {
        const char *key;
        bool progress;
    } lines[] = {{"PREDOWNLOAD_TIP", true},      {"PREDOWNLOAD_PAUSED_TIP", true},
                 {"PREDOWNLOAD_WAITING", false}, {"PREDOWNLOAD_NO_ROOM", false},
                 {"PREDOWNLOAD_METERED", false}, {"PREDOWNLOAD_DONE", false}};
    for (const auto &line : lines) {
        const QString name = QString::fromLatin1(line.key);
        ui->gameSrcDownloadInfo->setTextKey(name, true, true);
        // As the page shows it: the bar with its pause (or continue) button, and while fetching the
        // speed and the time left.
        ui->gameSrcProgressBar->setVisible(line.progress);
        ui->downloadBtn->setVisible(line.progress);
        ui->estimateTimeInfo->clearText();
        ui->downloadingSpeedInfo->clearText();
        if (line.progress) {
            ui->gameSrcDownloadInfo->setArgs({version, number(99), size, size});
            const bool paused = name == QLatin1String("PREDOWNLOAD_PAUSED_TIP");
            ui->downloadBtn->setIcon(QPixmap(paused ? QStringLiteral(":/images/images/continue.png")
                                                    : QStringLiteral(":/images/images/pause.png")));
            if (!paused) {
                ui->estimateTimeInfo->setTextKey(QStringLiteral("ESTIMATED_TIME_TIP"), true, true);
                ui->estimateTimeInfo->setArgs({text(QStringLiteral("00:03:27"))});
                ui->downloadingSpeedInfo->setTextKey(QStringLiteral("DOWNLOADING_SPEED_TIP"), true, true);
                ui->downloadingSpeedInfo->setArgs({text(LauncherUpdater::formatSize(4414506))});
            }
        } else {
            ui->gameSrcDownloadInfo->setArgs({version, size});
            // Waiting on a metered connection: the round button downloads anyway.
            ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
            ui->downloadBtn->setVisible(name == QLatin1String("PREDOWNLOAD_METERED"));
        }
        capture(w, language, name.toLower().replace('_', '-'));
    }
    ui->downloadBtn->setVisible(false);
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
}

// The game page: the product's own fade and (empty) update lead to "ready"; the rest is set on
// the widgets as the download, extraction and error paths set them.
void gamePage(LauncherUpdater *w, const QString &language) {
    Ui::LauncherUpdater *ui = Access::ui(w);
    ui->launcherDownloadInfo->setVisible(false);
    ui->launcherProgressBar->setVisible(false);
    Access::showGameResourcePage(w);
    if (!waitUntil([&] { return ui->startGameBtn->isVisibleTo(w) && ui->startGameBtn->isEnabled(); },
                   15000)) {
        qWarning() << language << "the game page did not become ready";
        failed = true;
    }
    capture(w, language, QStringLiteral("ready"));

    const qint64 total = Q_INT64_C(3189013217);
    MainButton *start = ui->startGameBtn;
    // Download running.
    Access::gameState(w) = 1;
    start->setTextKey(QStringLiteral("START_GAME"));
    start->setEnabled(false);
    ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/pause.png")));
    ui->downloadBtn->setVisible(true);
    downloadLabels(ui, 42, Q_INT64_C(1342177280), total, QStringLiteral("00:03:27"), 4414013);
    capture(w, language, QStringLiteral("download-running"));
    // Closing is confirmed only while a download runs, so the dialog is pictured over this state.
    exitConfirmation(w, language);
    // The longest texts the labels show on a 3 GB download: the widest size below a gigabyte, a
    // remaining time of weeks.
    downloadLabels(ui, 33, Q_INT64_C(1073741760), total, QStringLiteral("999:59:59"), 1073000000);
    capture(w, language, QStringLiteral("download-long-texts"));

    // Paused: it says so, without a time or a speed.
    downloadLabels(ui, 42, Q_INT64_C(1342177280), total, QStringLiteral("00:03:27"), 4414013);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("DOWNLOAD_PAUSED_TIP"), true, false);
    ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    capture(w, language, QStringLiteral("download-paused"));

    // The CDN is away: the pieces wait it out, the bar keeps what arrived.
    downloadLabels(ui, 49, Q_INT64_C(1562597376), total, QStringLiteral("00:00:00"), 0);
    ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/pause.png")));
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("NETWORK_WAITING"), true, true);
    ui->gameSrcDownloadInfo->setArgs({number(30)});
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    capture(w, language, QStringLiteral("download-network-waiting"));

    // A metered connection: the update waits for the player's round button, START with it.
    ui->gameSrcProgressBar->setVisible(false);
    ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("METERED_UPDATE_WAITING"), true, true);
    ui->gameSrcDownloadInfo->setArgs({text(LauncherUpdater::formatSize(Q_INT64_C(1073741760)))});
    capture(w, language, QStringLiteral("metered-waiting"));

    // Offered again after the launcher was left during the download: the whole update's progress,
    // waiting for the player.
    Access::gameState(w) = 0;
    ui->downloadBtn->setVisible(false);
    downloadLabels(ui, 68, 28672000, 42928128, QStringLiteral("00:00:00"), 0);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("RESUME_OFFERED_TIP"), true, false);
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    start->setTextKey(QStringLiteral("RESUME_DOWNLOADING"));
    start->setEnabled(true);
    capture(w, language, QStringLiteral("keep-update"));

    // Extraction, second of three archives.
    Access::gameState(w) = 1;
    start->setTextKey(QStringLiteral("START_GAME"));
    start->setEnabled(false);
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("%1 %2/%3"), false, true);
    ui->gameSrcDownloadInfo->setArgs({key(QStringLiteral("UNCOMPRESS")), number(2), number(3)});
    ui->gameSrcProgressBar->setProgress(66.7f);
    capture(w, language, QStringLiteral("extracting"));

    // Installed copies read for their blocks before anything is fetched.
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("SCANNING_TIP"), true, true);
    ui->gameSrcDownloadInfo->setArgs({number(100)});
    ui->gameSrcProgressBar->setProgress(35.0f);
    capture(w, language, QStringLiteral("scanning"));

    // An archive's entry index comes and what changed is decided: nothing is fetched yet.
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("CHECKING_CHANGES"), true, true);
    ui->gameSrcProgressBar->setProgress(0);
    capture(w, language, QStringLiteral("checking-changes"));

    // A final error, with the time to the next try beside it.
    ui->gameSrcProgressBar->setProgress(0);
    for (const char *k : {"DOWNLOAD_FINISHED", "NETWORK_ERROR", "FILE_MISSING_ON_SERVER", "VERIFY_ERROR",
                          "WRITE_ERROR", "UNCOMPRESS_FAILED", "RELEASE_OUT_OF_DATE"}) {
        ui->gameSrcDownloadInfo->setTextKey(QLatin1String(k), true, true);
        if (qstrcmp(k, "DOWNLOAD_FINISHED") == 0) {
            ui->estimateTimeInfo->clearText();
        } else {
            ui->estimateTimeInfo->setTextKey(QStringLiteral("RETRY_COUNTDOWN"), true, true);
            ui->estimateTimeInfo->setArgs({number(600)});
        }
        capture(w, language,
                QStringLiteral("game-%1").arg(QString::fromLatin1(k).toLower().replace('_', '-')));
    }

    // No release to take while the game is installed: START stays, the round button asks now.
    Access::gameState(w) = 2;
    start->setEnabled(true);
    ui->gameSrcProgressBar->setVisible(false);
    ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
    ui->downloadBtn->setVisible(true);
    for (const char *k : {"UPDATE_SERVER_UNREACHABLE", "RELEASE_SIGNATURE_ERROR"}) {
        ui->gameSrcDownloadInfo->setTextKey(QLatin1String(k), true, true);
        ui->estimateTimeInfo->setTextKey(QStringLiteral("RETRY_COUNTDOWN"), true, true);
        ui->estimateTimeInfo->setArgs({number(600)});
        capture(w, language,
                QStringLiteral("game-%1").arg(QString::fromLatin1(k).toLower().replace('_', '-')));
    }
    Access::gameState(w) = 1;
    start->setEnabled(false);
    ui->downloadBtn->setVisible(false);
    ui->gameSrcProgressBar->setVisible(true);
    ui->estimateTimeInfo->clearText();
    // Below the bar, the folder that lacks the room: a long one as the workflow shortens it.
    const WorkflowStatus folder = RoomShortage::folderText(
        QStringLiteral("C:/Program Files (x86)/Kestrivane Online/Kestrivane Launcher"));
    ui->downloadingSpeedInfo->setTextKey(folder.key, true, true);
    ui->downloadingSpeedInfo->setArgs(folder.args);
    for (const char *k : {"DISK_SPACE_SHORT", "DISK_SPACE_STILL_SHORT"}) {
        ui->gameSrcDownloadInfo->setTextKey(QLatin1String(k), true, true);
        ui->gameSrcDownloadInfo->setArgs({text(QStringLiteral("1023.99MB"))});
        capture(w, language,
                QStringLiteral("game-%1").arg(QString::fromLatin1(k).toLower().replace('_', '-')));
    }
    ui->downloadingSpeedInfo->clearText();

    predownloadLines(w, language);

    // Back to ready for the dialogs; first the closing lines of a repair asked from the settings
    // dialog, in place of "Update finished".
    Access::gameState(w) = 2;
    ui->gameSrcProgressBar->setVisible(false);
    start->setEnabled(true);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("VERIFY_ALL_SOUND"), true, true);
    ui->gameSrcDownloadInfo->setArgs({LabelArgs::count(1204)});
    capture(w, language, QStringLiteral("repair-sound"));
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("VERIFY_REPAIRED"), true, true);
    ui->gameSrcDownloadInfo->setArgs({LabelArgs::count(3), LabelArgs::size(1572864)});
    capture(w, language, QStringLiteral("repair-repaired"));
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("UPDATE_FINISHED"), true, true);
    settle();
}

void settingsDialog(LauncherUpdater *w, const QString &language) {
    QWidget *overlay = Access::overlay(w);
    overlay->show();
    overlay->raise();
    SettingDialog dialog(w);
    dialog.show();
    centreOver(&dialog, w);
    settle(50);
    capture(w, language, QStringLiteral("settings-general"), {&dialog});

    const SettingsControls controls = settingsControls(&dialog);
    if (!controls.found()) {
        overlay->hide();
        return;
    }
    controls.menu->setSelectedIndex(1);
    dialog.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->setCurrentIndex(1);
    settle(400); // the menu's selection slides
    capture(w, language, QStringLiteral("settings-language"), {&dialog});

    // The list opens modally from the click; it is pictured from inside its own event loop.
    enter(controls.row);
    withOpenPopup(controls.combo, [&](ComboPopup *popup) {
        settle(50);
        capture(w, language, QStringLiteral("settings-language-list"), {&dialog, popup});
    });
    settle();
    leave(controls.row);

    // The download page: the speed limit, its list of steps, and "other" chosen, which shows the
    // row of a typed value (and writes nothing until a value is typed).
    auto *limits = dialog.findChild<DoublePopupComboBox *>(QStringLiteral("downloadLimitComboBox"));
    QWidget *typedRow = dialog.findChild<QWidget *>(QStringLiteral("downloadLimitTypedRow"));
    if (!limits || !typedRow) {
        qWarning() << "settings dialog without its download limit list";
        failed = true;
        dialog.hide();
        overlay->hide();
        return;
    }
    controls.menu->setSelectedIndex(2);
    dialog.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->setCurrentIndex(2);
    settle(400);
    capture(w, language, QStringLiteral("settings-download"), {&dialog});
    withOpenPopup(limits, [&](ComboPopup *popup) {
        settle(50);
        capture(w, language, QStringLiteral("settings-download-list"), {&dialog, popup});
    });
    settle();
    limits->setCurrentIndex(SettingDialog::DownloadLimitTypedIndex);
    dialog.onDownloadLimitChosen(SettingDialog::DownloadLimitTypedIndex);
    settle(50);
    capture(w, language, QStringLiteral("settings-download-typed"), {&dialog});
    dialog.hide();
    overlay->hide();
}

void exitConfirmation(LauncherUpdater *w, const QString &language) {
    QWidget *overlay = Access::overlay(w);
    overlay->show();
    overlay->raise();
    ConfirmDialog dialog(tr(QStringLiteral("EXITING_TIP")), w);
    dialog.show();
    centreOver(&dialog, w);
    settle(50);
    capture(w, language, QStringLiteral("exit-confirmation"), {&dialog});
    dialog.hide();
    overlay->hide();
}

// The title buttons' tooltips on the ready page, each below its button and kept inside the
// window (the offscreen screen is smaller than the window), and the mark Tab puts on a button.
void titleBar(LauncherUpdater *w, const QString &language) {
    Ui::LauncherUpdater *ui = Access::ui(w);
    const struct {
        ImageButton *button;
        const char *screen;
    } buttons[] = {{ui->setting_btn, "tooltip-settings"},
                   {ui->minimize_btn, "tooltip-minimize"},
                   {ui->close_btn, "tooltip-close"}};
    for (const auto &b : buttons) {
        const QPoint below = b.button->mapTo(w, QPoint(b.button->width() / 2, b.button->height() + 4));
        QToolTip::showText(w->mapToGlobal(below), b.button->toolTip(), b.button);
        settle(30);
        QWidget *tip = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->isVisible() && top->inherits("QTipLabel"))
                tip = top;
        if (!tip || b.button->toolTip().isEmpty()) {
            qWarning() << language << b.screen << "shows no tooltip";
            failed = true;
            continue;
        }
        tip->move(w->mapToGlobal(QPoint(qMin(below.x(), w->width() - tip->width() - 4), below.y())));
        capture(w, language, QLatin1String(b.screen), {tip});
        QToolTip::hideText();
        settle();
    }

    // The mark shows on the focus of the active window, moved there by the keyboard.
    QApplication::setActiveWindow(w);
    ui->close_btn->setFocus(Qt::TabFocusReason);
    w->setAttribute(Qt::WA_KeyboardFocusChange);
    capture(w, language, QStringLiteral("focus-close"));
    ui->close_btn->clearFocus();
}

// What the tray icon says the first time the window goes there. The notification is drawn by the
// desktop; here it is a plain box of a usual notification width with the texts the launcher hands
// over (title and message), so that every translation is seen and measured.
void trayNotice(const QString &language) {
    QFrame notice(nullptr, Qt::ToolTip);
    notice.setObjectName(QStringLiteral("trayNotice"));
    notice.setStyleSheet(QStringLiteral("#trayNotice { background: #f4f4f4; border: 1px solid #a0a0a0; }"
                                        "QLabel { color: #202020; }"));
    auto *layout = new QHBoxLayout(&notice);
    auto *icon = new QLabel(&notice);
    icon->setPixmap(QPixmap(QStringLiteral(":/images/images/icon.png"))
                        .scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->setAlignment(Qt::AlignTop);
    layout->addWidget(icon);
    auto *texts = new QVBoxLayout;
    auto *title = new QLabel(tr(QStringLiteral("APP_NAME")), &notice);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto *message = new QLabel(tr(QStringLiteral("TRAY_STILL_RUNNING")), &notice);
    message->setWordWrap(true);
    texts->addWidget(title);
    texts->addWidget(message);
    layout->addLayout(texts, 1);
    notice.setFixedWidth(360);
    notice.show();
    settle();
    // A wrapped label in a nested layout is not given its height by the layout alone.
    message->setMinimumHeight(message->heightForWidth(message->width()));
    notice.adjustSize();
    settle(30);
    captions.check(&notice, language + QStringLiteral(" tray-notice"));
    save(language, QStringLiteral("tray-notice"), notice.grab().toImage());
}

void crashDialog(const QString &language) {
    CrashReporter dialog(nullptr);
    dialog.show();
    settle(50);
    captions.check(&dialog, language + QStringLiteral(" crash-dialog"));
    save(language, QStringLiteral("crash-dialog"), dialog.grab().toImage());
    dialog.hide();
}

} // namespace

int tourPictures(const QTemporaryDir &state, const QList<int> &languages) {
    Translation *catalogue = Translation::instance();
    for (int index : languages) {
        catalogue->setLanguageIndex(index);
        const QString language = Translation::languageNameAt(index);
        QFile::remove(state.filePath(QStringLiteral("config.ini")));
        steadyGeometry.clear();
        {
            LauncherUpdater window;
            window.move(0, 0);
            window.show();
            launcherPage(&window, language);
            gamePage(&window, language);
            titleBar(&window, language);
            settingsDialog(&window, language);
            window.hide();
        }
        crashDialog(language);
        trayNotice(language);
        VersionTable::release();
        qInfo().noquote() << "tour:" << language << "done";
    }

    const QStringList problems = captions.problems() + moved;
    for (const QString &p : problems)
        qWarning().noquote() << "does not fit:" << p;
    qInfo().noquote() << QStringLiteral("tour: %1 pictures, %2 captions measured, %3 do not fit")
                             .arg(written)
                             .arg(captions.checkedCount())
                             .arg(problems.size());
    return problems.size();
}
