#include "windowpictures.h"

#include "galleryrun.h"

#include "i18n/translation.h"
#include "launcher/labelargs.h"
#include "launcher/launcherupdater.h"
#include "launcher/launcherupdatertestaccess.h"
#include "settings/settingdialog.h"
#include "widgets/combopopup.h"
#include "widgets/confirmdialog.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QPainter>
#include <QTimer>

using namespace GalleryRun;

namespace {

using Access = LauncherUpdaterTestAccess;

// The window with top-level widgets drawn over it at the given places (window coordinates). The
// offscreen screen is smaller than the window, so the toolkit would push a dialog centred over it
// back onto the screen; the places are therefore given here as a desktop would show them.
QImage shot(LauncherUpdater *window, const QList<QPair<QWidget *, QPoint>> &tops) {
    QImage image = window->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    for (const auto &top : tops) {
        // A window mask (the list's rounded corners) is applied by the desktop, not by grab().
        const QRegion mask = top.first->mask();
        painter.setClipping(!mask.isEmpty());
        if (!mask.isEmpty())
            painter.setClipRegion(mask.translated(top.second));
        painter.drawImage(top.second, top.first->grab().toImage());
    }
    return image;
}

// Where a dialog lies when centred over the window, in window coordinates.
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
    settle();
    save(QStringLiteral("window-ready-%1").arg(suffix), shot(window, {}));

    whenModal<SettingDialog>(window, [=](SettingDialog *dialog) {
        settle();
        const QPoint at = centred(window, dialog);
        saveWithDocs(QStringLiteral("window-settings-general-%1").arg(suffix),
                     QStringLiteral("settings-general-%1").arg(suffix), shot(window, {{dialog, at}}));
        auto *menu = dialog->findChild<MenuSwitch *>(QStringLiteral("menuSwitch"));
        auto *row = dialog->findChild<RoundedWidget *>(QStringLiteral("languageBg"));
        auto *combo = dialog->findChild<DoublePopupComboBox *>(QStringLiteral("languageComboBox"));
        if (!menu || !row || !combo) {
            qWarning() << "settings dialog without its menu, language row or combo box";
            failed = true;
            dialog->reject();
            return;
        }
        menu->setSelectedIndex(1);
        settle(400); // the selection slides
        saveWithDocs(QStringLiteral("window-settings-language-%1").arg(suffix),
                     QStringLiteral("settings-language-%1").arg(suffix), shot(window, {{dialog, at}}));
        enter(row);
        withOpenPopup(combo, [=](ComboPopup *popup) {
            settle(50);
            // The list opens just below the combo box's face (which runs on behind it).
            const QPoint listAt = at + combo->mapTo(dialog, QPoint(0, combo->height() - 1));
            saveWithDocs(QStringLiteral("window-settings-languagelist-%1").arg(suffix),
                         QStringLiteral("settings-languagelist-%1").arg(suffix),
                         shot(window, {{dialog, at}, {popup, listAt}}));
        });
        leave(row);
        dialog->accept();
    });
    window->openSettings();

    downloadingLook(window, true);
    whenModal<ConfirmDialog>(window, [=](ConfirmDialog *dialog) {
        settle();
        saveWithDocs(QStringLiteral("window-confirmdialog-%1").arg(suffix),
                     QStringLiteral("confirmdialog-%1").arg(suffix),
                     shot(window, {{dialog, centred(window, dialog)}}));
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
