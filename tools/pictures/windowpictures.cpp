#include "tools/pictures/windowpictures.h"

#include "tools/pictures/picturerun.h"

#include "i18n/translation.h"
#include "launcher/launcherupdater.h"
#include "launcher/launcherupdatertestaccess.h"
#include "settings/settingdialog.h"
#include "widgets/combopopup.h"
#include "widgets/confirmdialog.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"
#include "workflow/labelargs.h"

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QPainter>
#include <QTimer>

using namespace PictureRun;

namespace {

using Access = LauncherUpdaterTestAccess;

// Where a dialog lies when centred over the window, in window coordinates. The offscreen screen is
// smaller than the window, so the toolkit would push a dialog centred over it back onto the screen;
// the pictures therefore place it as a desktop would show it.
QPoint centred(LauncherUpdater *window, QWidget *dialog) {
    return QPoint((window->width() - dialog->width()) / 2, (window->height() - dialog->height()) / 2);
}

// Runs `step` once a modal dialog of type T is up; gives up (and closes whatever is modal) after
// ten seconds so that a broken slot cannot hang the run.
template <typename T>
void whenModal(QObject *context, const std::function<void(T *)> &step) {
    auto *poll = new QTimer(context);
    auto *clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, context, [=]() {
        auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) {
            if (clock->elapsed() < 10000)
                return;
            qWarning() << "the expected dialog did not open";
            failed = true;
            if (auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                modal->reject();
        } else {
            step(dialog);
        }
        poll->stop();
        poll->deleteLater();
        delete clock;
    });
    poll->start(20);
}

// The game page ready to start, reached through the window's own fade and (empty) update; the
// version check has to give up on its closed port first.
bool gamePage(LauncherUpdater *window) {
    Ui::LauncherUpdater *ui = Access::ui(window);
    if (!waitUntil([&] { return ui->launcherDownloadInfo->isVisibleTo(window); }, 20000))
        return false;
    ui->launcherDownloadInfo->setVisible(false);
    Access::showGameResourcePage(window);
    return waitUntil([&] { return ui->startGameBtn->isVisibleTo(window) && ui->startGameBtn->isEnabled(); },
                     20000);
}

// What the game page shows while a download runs: 42 % of 3 GB at 4.2 MB/s.
void downloadingLook(LauncherUpdater *window, bool downloading) {
    Ui::LauncherUpdater *ui = Access::ui(window);
    Access::isDownloading(window) = downloading;
    Access::gameState(window) = downloading ? 1 : 2;
    ui->startGameBtn->setEnabled(!downloading);
    ui->downloadBtn->setVisible(downloading);
    ui->gameSrcProgressBar->setVisible(downloading);
    ui->estimateTimeInfo->setVisible(downloading);
    ui->downloadingSpeedInfo->setVisible(downloading);
    if (!downloading) {
        ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("UPDATE_FINISHED"), true, true);
        return;
    }
    const qint64 total = Q_INT64_C(3189013217);
    const qint64 done = Q_INT64_C(1342177280);
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("DOWNLOADING_TIP"), true, true);
    ui->gameSrcDownloadInfo->setArgs({LabelArgs::number(42),
                                      LabelArgs::text(LauncherUpdater::formatSize(done)),
                                      LabelArgs::text(LauncherUpdater::formatSize(total))});
    ui->estimateTimeInfo->setTextKey(QStringLiteral("ESTIMATED_TIME_TIP"), true, true);
    ui->estimateTimeInfo->setArgs({LabelArgs::text(QStringLiteral("00:03:27"))});
    ui->downloadingSpeedInfo->setTextKey(QStringLiteral("DOWNLOADING_SPEED_TIP"), true, true);
    ui->downloadingSpeedInfo->setArgs({LabelArgs::text(LauncherUpdater::formatSize(4414013))});
    ui->gameSrcProgressBar->setProgress(float(done * 100.0 / total));
}

// The settings dialog opened by the gear button's slot, and the exit confirmation raised by the
// exit sequence during a download, both over the dimmed window.
void windowDialogs(LauncherUpdater *window, const QString &language) {
    const QString suffix = language.toLower();
    settle(100);
    save(QStringLiteral("window-ready-%1").arg(suffix), composite(window, {}));

    whenModal<SettingDialog>(window, [=](SettingDialog *dialog) {
        settle(100);
        const QPoint at = centred(window, dialog);
        saveWithDocs(QStringLiteral("window-settings-general-%1").arg(suffix),
                     QStringLiteral("gallery-settings-general-%1").arg(suffix),
                     composite(window, {{dialog, at}}));
        const SettingsControls controls = settingsControls(dialog);
        if (!controls.found()) {
            dialog->reject();
            return;
        }
        controls.menu->setSelectedIndex(1);
        settle(400); // the selection slides
        saveWithDocs(QStringLiteral("window-settings-language-%1").arg(suffix),
                     QStringLiteral("gallery-settings-language-%1").arg(suffix),
                     composite(window, {{dialog, at}}));
        enter(controls.row);
        withOpenPopup(controls.combo, [=](ComboPopup *popup) {
            settle(50);
            // The list opens just below the combo box's face (which runs on behind it).
            const QPoint listAt = at + controls.combo->mapTo(dialog, QPoint(0, controls.combo->height() - 1));
            saveWithDocs(QStringLiteral("window-settings-languagelist-%1").arg(suffix),
                         QStringLiteral("gallery-settings-languagelist-%1").arg(suffix),
                         composite(window, {{dialog, at}, {popup, listAt}}));
        });
        leave(controls.row);
        dialog->accept();
    });
    window->openSettings();

    downloadingLook(window, true);
    whenModal<ConfirmDialog>(window, [=](ConfirmDialog *dialog) {
        settle(100);
        saveWithDocs(QStringLiteral("window-confirmdialog-%1").arg(suffix),
                     QStringLiteral("gallery-confirmdialog-%1").arg(suffix),
                     composite(window, {{dialog, centred(window, dialog)}}));
        dialog->reject(); // cancelled: the launcher stays
    });
    window->exitApp();
    downloadingLook(window, false);
    if (!window->isVisible()) {
        qWarning() << "the window did not stay after the cancelled confirmation";
        failed = true;
    }
}
} // namespace

void windowPictures() {
    Translation *catalogue = Translation::instance();
    auto *window = new LauncherUpdater();
    window->show();
    if (!gamePage(window)) {
        qWarning() << "the launcher window did not reach its game page";
        failed = true;
    } else {
        for (int language : {1, 5}) {
            catalogue->setLanguageIndex(language);
            windowDialogs(window, catalogue->languageName());
        }
    }
    delete window;
}
