// tour OUTDIR [--docs DIR] [--languages N,N,...]
//
// Takes a picture of every state of the launcher window (launcher page, self-update start and
// progress, each error text, download running and paused, KEEP UPDATE, extracting, ready), the
// settings dialog on both pages with the language list open, the exit confirmation and the crash
// dialog, in every language, into OUTDIR/<language>/. Every caption on every picture is measured
// against the widget that shows it; the exit code is 1 when any is cut off or runs past its widget,
// or when a long caption pushes the controls of the bottom row out of place.
// With --docs, the English and Japanese pictures of each screen are also written to DIR as JPEG.
//
// The window is the real LauncherUpdater on the offscreen platform, in a temporary launcher folder.
// Its version check really runs against a closed local port (so the fatal error and the game page
// are reached by the product's own code); the other states are set on its widgets as the workflow
// would set them.

#include "tools/offlinerun/offlinerun.h"
#include "tools/tour/captioncheck.h"

#include "crash/crashreporter.h"
#include "download/versiontable.h"
#include "i18n/applicationfont.h"
#include "i18n/translation.h"
#include "launcher/labelargs.h"
#include "launcher/launcherupdater.h"
#include "launcher/launcherupdatertestaccess.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "settings/settingdialog.h"
#include "widgets/combopopup.h"
#include "widgets/confirmdialog.h"
#include "widgets/darkoverlay.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QFile>
#include <QFontDatabase>
#include <QHash>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QRegion>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace {

using Access = LauncherUpdaterTestAccess;
using LabelArgs::key;
using LabelArgs::number;
using LabelArgs::text;

struct Options {
    QString outDir;
    QString docsDir;
    QList<int> languages;
};

Options options;
CaptionCheck captions;
int written = 0;
bool failed = false;
// Where the controls of the bottom row stood when first seen in the current language: a caption
// too long for its row widens the row and pushes them aside.
QHash<QString, QRect> steadyGeometry;
QStringList moved;

// Screens kept in the documentation, in English and Japanese.
const QStringList docScreens = {
    "launcher-update", "error-fatal", "download-running", "download-paused",        "keep-update",
    "extracting",      "ready",       "settings-general", "settings-language-list", "exit-confirmation",
    "crash-dialog"};

QString tr(const QString &k) {
    return Translation::instance()->tr(k);
}

void settle(int ms = 0) {
    QElapsedTimer t;
    t.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void save(const QString &language, const QString &screen, const QImage &image) {
    const QString dir = QDir(options.outDir).filePath(language.toLower());
    QDir().mkpath(dir);
    const QString path = QDir(dir).filePath(screen + QStringLiteral(".png"));
    if (image.isNull() || !image.save(path)) {
        qWarning() << "cannot write picture" << path;
        failed = true;
        return;
    }
    ++written;
    if (!options.docsDir.isEmpty() && docScreens.contains(screen) &&
        (language == QLatin1String("English") || language == QLatin1String("Japanese"))) {
        const QString doc =
            QDir(options.docsDir).filePath(QStringLiteral("%1-%2.jpg").arg(screen, language.toLower()));
        if (!image.convertToFormat(QImage::Format_RGB32).save(doc, "JPG", 88)) {
            qWarning() << "cannot write picture" << doc;
            failed = true;
        }
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
    QImage image = window->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    for (QWidget *dialog : dialogs) {
        const QPoint at = dialog->mapToGlobal(QPoint()) - window->mapToGlobal(QPoint());
        // A desktop cuts a window to its mask (the language list's rounded bottom corners); the
        // offscreen platform does not, so the picture does.
        const QRegion mask = dialog->mask();
        painter.setClipping(!mask.isEmpty());
        if (!mask.isEmpty())
            painter.setClipRegion(mask.translated(at));
        painter.drawImage(at, dialog->grab().toImage());
    }
    return image;
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

void sendEnter(QWidget *widget) {
    const QPointF pos(2, 2);
    QEnterEvent event(pos, pos, widget->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(widget, &event);
}

void sendLeave(QWidget *widget) {
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(widget, &event);
}

void click(QWidget *widget, QPoint pos) {
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, pos, widget->mapToGlobal(pos), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &event);
    }
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

    // Paused.
    downloadLabels(ui, 42, Q_INT64_C(1342177280), total, QStringLiteral("00:03:27"), 4414013);
    ui->downloadBtn->setIcon(QPixmap(QStringLiteral(":/images/images/continue.png")));
    ui->estimateTimeInfo->clearText();
    ui->downloadingSpeedInfo->clearText();
    capture(w, language, QStringLiteral("download-paused"));

    // Offered again after the launcher was left during the download.
    Access::gameState(w) = 0;
    ui->downloadBtn->setVisible(false);
    downloadLabels(ui, 10, 1751121, 16756736, QStringLiteral("00:00:00"), 0);
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

    ui->gameSrcProgressBar->setProgress(0);
    for (const char *k :
         {"DOWNLOAD_FINISHED", "NETWORK_ERROR", "VERIFY_ERROR", "WRITE_ERROR", "UNCOMPRESS_FAILED"}) {
        ui->gameSrcDownloadInfo->setTextKey(QLatin1String(k), true, true);
        capture(w, language,
                QStringLiteral("game-%1").arg(QString::fromLatin1(k).toLower().replace('_', '-')));
    }

    // Back to ready for the dialogs.
    Access::gameState(w) = 2;
    ui->gameSrcDownloadInfo->setTextKey(QStringLiteral("UPDATE_FINISHED"), true, true);
    ui->gameSrcProgressBar->setVisible(false);
    start->setEnabled(true);
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

    auto *menu = dialog.findChild<MenuSwitch *>(QStringLiteral("menuSwitch"));
    auto *combo = dialog.findChild<DoublePopupComboBox *>(QStringLiteral("languageComboBox"));
    auto *row = dialog.findChild<RoundedWidget *>(QStringLiteral("languageBg"));
    if (!menu || !combo || !row) {
        qWarning() << "settings dialog without its menu, language row or combo box";
        failed = true;
        overlay->hide();
        return;
    }
    menu->setSelectedIndex(1);
    dialog.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->setCurrentIndex(1);
    settle(400); // the menu's selection slides
    capture(w, language, QStringLiteral("settings-language"), {&dialog});

    // The list opens modally from the click; picture it from inside its own event loop.
    sendEnter(row);
    bool opened = false;
    QTimer::singleShot(50, combo, [&] {
        if (auto *popup = qobject_cast<ComboPopup *>(QApplication::activePopupWidget())) {
            opened = true;
            settle(50);
            capture(w, language, QStringLiteral("settings-language-list"), {&dialog, popup});
            popup->reject();
        }
    });
    click(combo, QPoint(20, combo->height() / 2));
    settle();
    if (!opened) {
        qWarning() << language << "the language list did not open";
        failed = true;
    }
    sendLeave(row);
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

void crashDialog(const QString &language) {
    CrashReporter dialog(nullptr);
    dialog.show();
    settle(50);
    captions.check(&dialog, language + QStringLiteral(" crash-dialog"));
    save(language, QStringLiteral("crash-dialog"), dialog.grab().toImage());
    dialog.hide();
}

bool parseOptions(const QStringList &args) {
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        if (a == QLatin1String("--docs") && i + 1 < args.size()) {
            options.docsDir = args.at(++i);
        } else if (a == QLatin1String("--languages") && i + 1 < args.size()) {
            for (const QString &n : args.at(++i).split(QLatin1Char(','))) {
                bool ok = false;
                const int v = n.toInt(&ok);
                if (!ok || v < 0 || v >= Translation::LanguageCount)
                    return false;
                options.languages << v;
            }
        } else if (!a.startsWith(QLatin1String("--")) && options.outDir.isEmpty()) {
            options.outDir = a;
        } else {
            return false;
        }
    }
    if (options.languages.isEmpty())
        for (int i = 0; i < Translation::LanguageCount; ++i)
            options.languages << i;
    return !options.outDir.isEmpty();
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("KESTRIVANE_TOUR_CHILD"))
        return runOffline(argc, argv, "KESTRIVANE_TOUR_CHILD", "tour");

    QTemporaryDir state;
    if (!useFreshState(state))
        return 1;
    {
        QSettings ini(state.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("global_settings/popup_on_crash"), 1);
        ini.setValue(QStringLiteral("global_settings/popup_on_exit"), 1);
    }

    QApplication app(argc, argv);
    if (!parseOptions(QCoreApplication::arguments())) {
        qWarning("usage: tour OUTDIR [--docs DIR] [--languages N,N,...]");
        return 2;
    }
    if (!QDir().mkpath(options.outDir) || (!options.docsDir.isEmpty() && !QDir().mkpath(options.docsDir))) {
        qWarning() << "cannot create the output folders";
        return 1;
    }

    // Fonts and catalogue as the launcher's main sets them up.
    const int cjkFont = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/FZY4K.TTF"));
    const int latinFont = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/Neuron Heavy.otf"));
    const QString cjkFamily = QFontDatabase::applicationFontFamilies(cjkFont).value(0);
    const QString latinFamily = QFontDatabase::applicationFontFamilies(latinFont).value(0);
    const QString defaultFamily = QFont().family();
    QApplication::setFont(QFont(cjkFamily));
    Translation *catalogue = Translation::instance();
    followCatalogueFont(); // as main does: the application font follows the language
    catalogue->setFontFamily(QStringLiteral("default"), defaultFamily);
    catalogue->setFontFamily(QStringLiteral("chinese"), cjkFamily);
    catalogue->setFontFamily(QStringLiteral("english"), latinFamily);
    catalogue->loadLanguage();

    for (int index : qAsConst(options.languages)) {
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
            settingsDialog(&window, language);
            window.hide();
        }
        crashDialog(language);
        VersionTable::release();
        qInfo().noquote() << "tour:" << language << "done";
    }
    GlobalSettings::release();

    const QStringList problems = captions.problems() + moved;
    for (const QString &p : problems)
        qWarning().noquote() << "does not fit:" << p;
    qInfo().noquote() << QStringLiteral("tour: %1 pictures, %2 captions measured, %3 do not fit")
                             .arg(written)
                             .arg(captions.checkedCount())
                             .arg(problems.size());
    return (failed || !problems.isEmpty()) ? 1 : 0;
}
