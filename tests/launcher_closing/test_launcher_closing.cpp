// Closing the launcher, its tray icon and the settings dialog opened from the window, on a real X
// server (Xvfb): a bare notification area (kv-trayhost) docks the icon, xdotool clicks it, the
// version file and a slowly served game file come from a local HTTP server that also takes the
// events, and the settings live in real files of a temporary launcher directory.
#include "i18n/translatablelabel.h"
#include "i18n/translation.h"
#include "launcher/launcherupdatertestaccess.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "settings/settingdialog.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/widgetfixture.h"
#include "support/windowfixture.h"
#include "trust/versiontable.h"
#include "widgets/combopopup.h"
#include "widgets/confirmdialog.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/imagebutton.h"
#include "widgets/languageitemwidget.h"
#include "widgets/mainbutton.h"
#include "widgets/menuswitch.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QRadioButton>
#include <QSettings>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <tuple>

using namespace WindowTest;
using A = LauncherUpdaterTestAccess;

namespace {

const QByteArray GamePath = "/sea/win_update/v1_data.pak";
const char *const ChildFlag = "--exit-child";

QString catalogueText(const QString &key) {
    return Translation::instance()->tr(key);
}

QByteArray gameFile() {
    QByteArray data(600 * 1024, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 13 + i / 4093) & 0xff);
    return data;
}

QByteArray versionLine(const QString &name, const QString &version, const QByteArray &content) {
    return QStringLiteral("%1:%2:%3:%4\n")
        .arg(name, version, TestFiles::md5Hex(content))
        .arg(content.size())
        .toUtf8();
}

void writeSettings(const QString &dir, int closeGameAction) {
    QSettings ini(dir + QStringLiteral("/settings.ini"), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("global_settings"));
    ini.setValue(QStringLiteral("language"), 1);
    ini.setValue(QStringLiteral("close_game_action"), closeGameAction);
    ini.endGroup();
    ini.sync();
}

// The bare notification area, started (and seen by the toolkit) and stopped by one test.
class TrayHost {
public:
    ~TrayHost() { stop(); }

    bool start() {
        process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/kv-trayhost"));
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this]() {
            while (process.canReadLine())
                lines.append(QString::fromLatin1(process.readLine()).trimmed());
        });
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && process.state() == QProcess::Running) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            const QStringList ready = lines.filter(QRegularExpression(QStringLiteral("^ready ")));
            if (!ready.isEmpty()) {
                const QStringList parts = ready.first().split(QLatin1Char(' '));
                origin = QPoint(parts.value(1).toInt(), parts.value(2).toInt());
                // The toolkit sees the notification area once it has read the announcement.
                return QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000);
            }
        }
        return false;
    }

    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.kill();
        process.waitForFinished(5000);
    }

    int count(const char *what) const {
        return lines.filter(QRegularExpression(QStringLiteral("^%1 ").arg(QLatin1String(what)))).size();
    }

    // Centre of the first docked icon, on the screen.
    QPoint firstIcon() const { return origin + QPoint(1 + 11, 1 + 11); }

    QProcess process;
    QStringList lines;
    QPoint origin;
};

bool xdotool(const QStringList &args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool clickAt(QPoint screen, int button) {
    return xdotool({QStringLiteral("mousemove"), QString::number(screen.x()), QString::number(screen.y()),
                    QStringLiteral("click"), QString::number(button)});
}

// Runs `step` once the modal widget of type T is up (polling, so nested loops are fine).
template <typename T>
void whenModal(QObject *context, const std::function<void(T *)> &step) {
    auto *poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, step]() {
        auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        step(dialog);
    });
    poll->start(20);
    // A failed check inside `step` must not leave the modal loop running for ever.
    QTimer::singleShot(60000, context, []() {
        if (auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            modal->reject();
    });
}

// The exit sequence in a process of its own: the real event loop must end about 800 ms after the
// click. Prints "clicked" at the click and "loop ended" when the event loop returns.
int runExitChild(int argc, char **argv) {
    QApplication app(argc, argv);
    Platform::setLauncherDirOverride(QString::fromLocal8Bit(argv[2]));
    WidgetFixture::setUpFonts();
    Translation::instance()->loadLanguage();
    auto *window = new LauncherUpdater();
    window->show();
    // Click once the game page is ready (or give up waiting after a while and click anyway).
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, window, [&]() {
        if (A::gameState(window) != 2 && waited.elapsed() < 20000)
            return;
        poll.stop();
        QTest::mouseClick(A::ui(window)->close_btn, Qt::LeftButton);
        std::printf("clicked\n");
        std::fflush(stdout);
    });
    poll.start(50);
    app.exec();
    std::printf("loop ended\n");
    std::fflush(stdout);
    delete window;
    VersionTable::release();
    GlobalSettings::release();
    return 0;
}

} // namespace

class LauncherClosingTest : public WindowFixture {
    Q_OBJECT

private:
    // The window on its game page: ready to start, or with the game file still coming in slowly.
    void openWindow(bool downloading) {
        QByteArray version = versionLine(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"), "x");
        if (downloading) {
            const QByteArray data = gameFile();
            version += versionLine(QStringLiteral("data.pak"), QStringLiteral("1"), data);
            server->setFile(GamePath, data);
            HttpServer::Faults slow;
            slow.bytesPerSecond = 20 * 1024;
            server->setFaults(GamePath, slow);
        }
        server->setFile(VersionPath, version);
        window = new LauncherUpdater();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        if (downloading) {
            QTRY_VERIFY_WITH_TIMEOUT(A::isDownloading(window) && server->bodyBytesSent() > 0, 20000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(A::gameState(window), 2, 20000);
        }
        QVERIFY(A::ui(window)->setting_btn->isVisible());
    }

    void clickClose() { QTest::mouseClick(A::ui(window)->close_btn, Qt::LeftButton); }

    // Starts the tray host, opens the window and closes it into the tray.
    void openDocked(TrayHost &tray) {
        QVERIFY(tray.start());
        STEP(openWindow(false));
        clickClose();
        QTRY_COMPARE_WITH_TIMEOUT(tray.count("dock"), 1, 5000);
    }

private slots:
    void initTestCase() {
        LogCapture::start();
        WidgetFixture::setUpFonts();
        WindowFixture::initTestCase();
    }

    void init() {
        setUpDirs();
        writeSettings(dir, 0);
        GlobalSettings::release();
        LogCapture::lines().clear();
    }

    void cleanupTestCase() { LogCapture::stop(); }

    // First, while nothing owns the notification area: "minimize to tray" cannot hide the window
    // there, so both the close button and the window manager's close leave, asking first during a
    // download.
    void withoutATrayClosingLeaves() {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("this display has a notification area of its own");
        STEP(openWindow(true));
        for (bool fromTheButton : {true, false}) {
            bool asked = false;
            whenModal<ConfirmDialog>(this, [&](ConfirmDialog *dialog) {
                asked = true;
                QTest::mouseClick(fromTheButton ? dialog->cancelButton : dialog->confirmButton,
                                  Qt::LeftButton);
            });
            if (fromTheButton)
                clickClose();
            else
                window->close(); // as the task bar's close does
            QTRY_VERIFY_WITH_TIMEOUT(asked, 10000);
            QVERIFY(!window->isMinimized());
            QVERIFY(!A::trayIcon(window).isVisible());
            QCOMPARE(LogCapture::lines().filter(QStringLiteral("no system tray available")).size(),
                     fromTheButton ? 1 : 2);
            if (fromTheButton) { // cancelled: everything stays
                QTest::qWait(300);
                QVERIFY(window->isVisible());
                QCOMPARE(events(QStringLiteral("launcher closed")).size(), 0);
                QVERIFY(A::isDownloading(window));
                continue;
            }
            checkLeftDuringDownload(1, -1);
        }
    }

    void closeButtonDocksTheIconDuringADownload() {
        TrayHost tray;
        QVERIFY(tray.start());
        STEP(openWindow(true));
        QCOMPARE(tray.count("dock"), 0); // not shown before the close button

        clickClose();
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(!window->isVisible());
        QVERIFY(A::trayIcon(window).isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(tray.count("dock"), 1, 5000);

        // The download goes on behind the tray; nothing is sent, nothing written.
        const qint64 sent = server->bodyBytesSent();
        QTRY_VERIFY_WITH_TIMEOUT(server->bodyBytesSent() > sent, 10000);
        QVERIFY(A::isDownloading(window));
        QCOMPARE(events(QStringLiteral("launcher closed")).size(), 0);
        QVERIFY(!manualResume().isValid());

        // A left click on the docked icon takes it away and brings the window back.
        QVERIFY(clickAt(tray.firstIcon(), 1));
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 5000);
        QVERIFY(!A::trayIcon(window).isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(tray.count("undock"), 1, 5000);
        QCOMPARE(LogCapture::lines().filter(QStringLiteral("trayIconActivated 3")).size(), 1);
    }

    void rightClickOpensTheMenuAboveAndLeftOfTheCursor() {
        TrayHost tray;
        STEP(openDocked(tray));

        QMenu &menu = A::trayMenu(window);
        const QPoint cursor = tray.firstIcon();
        QVERIFY(clickAt(cursor, 3));
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 5000);
        QCOMPARE(LogCapture::lines().filter(QStringLiteral("trayIconActivated 1")).size(), 1);
        const QPoint corner = menu.geometry().bottomRight() + QPoint(1, 1);
        QVERIFY2((corner - cursor).manhattanLength() <= 4,
                 qPrintable(QStringLiteral("menu ends at %1,%2, cursor at %3,%4")
                                .arg(corner.x())
                                .arg(corner.y())
                                .arg(cursor.x())
                                .arg(cursor.y())));
        QVERIFY(!window->isVisible());

        // OPEN, clicked for real.
        QAction *open = menu.actions().at(0);
        QCOMPARE(open->text(), catalogueText(QStringLiteral("OPEN")));
        QVERIFY(clickAt(menu.mapToGlobal(menu.actionGeometry(open).center()), 1));
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 5000);
        QVERIFY(!A::trayIcon(window).isVisible());
        QVERIFY(!menu.isVisible());
    }

    void trayExitDuringADownloadAsksOverTheShownWindow() {
        TrayHost tray;
        QVERIFY(tray.start());
        STEP(openWindow(true));

        for (bool confirm : {false, true}) {
            clickClose();
            QVERIFY(!window->isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(A::trayIcon(window).isVisible(), 5000);
            QMenu &menu = A::trayMenu(window);
            QVERIFY(clickAt(tray.firstIcon(), 3));
            QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 5000);

            bool windowShown = false;
            bool overlayShown = false;
            bool trayHidden = false;
            whenModal<ConfirmDialog>(this, [&](ConfirmDialog *dialog) {
                windowShown = window->isVisible();
                overlayShown = A::overlay(window)->isVisible();
                trayHidden = !A::trayIcon(window).isVisible();
                QTest::mouseClick(confirm ? dialog->confirmButton : dialog->cancelButton, Qt::LeftButton);
            });
            QAction *exitAction = A::exitAction(window);
            QVERIFY(clickAt(menu.mapToGlobal(menu.actionGeometry(exitAction).center()), 1));
            QTRY_VERIFY_WITH_TIMEOUT(windowShown, 10000);
            QVERIFY(overlayShown);
            QVERIFY(trayHidden);
            QTRY_VERIFY_WITH_TIMEOUT(A::overlay(window)->isHidden(), 5000);
            if (!confirm) {
                // Cancelled: the window stays, the tray icon is gone, nothing sent or written.
                QVERIFY(!QTest::qWaitFor(
                    [&] {
                        return !window->isVisible() || !events(QStringLiteral("launcher closed")).isEmpty();
                    },
                    1000));
                QVERIFY(!A::trayIcon(window).isVisible());
                QVERIFY(!manualResume().isValid());
                QVERIFY(A::isDownloading(window));
                continue;
            }
            checkLeftDuringDownload(1, 1);
        }
    }

    // Rebuilt on a language change: new texts, the catalogue's default family at 12 px, and the new
    // OPEN entry is the one the window answers to.
    void trayMenuFollowsTheLanguage() {
        TrayHost tray;
        QVERIFY(tray.start());
        STEP(openWindow(false));
        QMenu &menu = A::trayMenu(window);
        const QPointer<QAction> englishOpen = menu.actions().at(0);
        Translation::instance()->setLanguageIndex(5);
        QVERIFY(englishOpen.isNull()); // the old entries are gone, not left behind
        QCOMPARE(menu.actions().size(), 3);
        QCOMPARE(menu.font().family(), Translation::instance()->fontFamily(QStringLiteral("default")));
        QCOMPARE(menu.font().pixelSize(), 12);
        QVERIFY(!menu.actions().at(0)->icon().isNull());
        QVERIFY(A::exitAction(window)->icon().isNull());
        QCOMPARE(A::trayIcon(window).toolTip(), catalogueText(QStringLiteral("APP_NAME")));

        clickClose();
        QTRY_COMPARE_WITH_TIMEOUT(tray.count("dock"), 1, 5000);
        QVERIFY(clickAt(tray.firstIcon(), 3));
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 5000);
        QAction *open = menu.actions().at(0);
        QCOMPARE(open->text(), catalogueText(QStringLiteral("OPEN")));
        QVERIFY(open->text() != QStringLiteral("OPEN"));
        QVERIFY(clickAt(menu.mapToGlobal(menu.actionGeometry(open).center()), 1));
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 5000);
        QVERIFY(!A::trayIcon(window).isVisible());
    }

    // Esc and the close button go to the tray without a word: the first time in a run the icon
    // says the launcher is still there, and the close button does not come back hovered.
    void firstTripToTheTrayIsAnnounced() {
        TrayHost tray;
        QVERIFY(tray.start());
        STEP(openWindow(false));
        ImageButton *close = A::ui(window)->close_btn;
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(close, &enter);
        QVERIFY(close->isHovered());
        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!window->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(tray.count("dock"), 1, 5000);
        const auto balloonText = []() {
            for (QWidget *top : QApplication::topLevelWidgets()) {
                if (!top->isVisible() || qstrcmp(top->metaObject()->className(), "QBalloonTip") != 0)
                    continue;
                QStringList texts;
                for (QLabel *label : top->findChildren<QLabel *>())
                    texts << label->text();
                return texts.join(QLatin1Char('|'));
            }
            return QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(balloonText().contains(catalogueText(QStringLiteral("TRAY_STILL_RUNNING"))),
                                 5000);
        QVERIFY(balloonText().contains(catalogueText(QStringLiteral("APP_NAME"))));

        window->receivedMessageFromSecondary(3, "activated");
        QVERIFY(window->isVisible());
        QVERIFY(!close->isHovered());
        clickClose();
        QVERIFY(!window->isVisible());
        QCOMPARE(LogCapture::lines().filter(QStringLiteral("tray notice shown")).size(), 1);
    }

    // The title buttons name themselves in the current language; Tab puts a mark on the one it
    // reaches.
    void titleButtonsHaveTipsAndAFocusMark() {
        STEP(openWindow(false));
        Ui::LauncherUpdater *ui = A::ui(window);
        for (int language : {1, 7, 5}) {
            Translation::instance()->setLanguageIndex(language);
            QCOMPARE(ui->setting_btn->toolTip(), catalogueText(QStringLiteral("SETTINGS_TOOLTIP")));
            QCOMPARE(ui->minimize_btn->toolTip(), catalogueText(QStringLiteral("MINIMIZE_TOOLTIP")));
            QCOMPARE(ui->close_btn->toolTip(), catalogueText(QStringLiteral("CLOSE_TOOLTIP")));
            QVERIFY(!ui->close_btn->toolTip().startsWith(QStringLiteral("TR_")));
        }
        window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), 5000);
        const QImage unmarked = ui->close_btn->grab().toImage();
        for (int i = 0; i < 10 && !ui->close_btn->hasFocus(); ++i)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window, Qt::Key_Tab);
        QVERIFY(ui->close_btn->hasFocus());
        QVERIFY(ui->close_btn->grab().toImage() != unmarked);
    }

    void secondStartBringsTheWindowBackFromTheTray() {
        TrayHost tray;
        STEP(openDocked(tray));
        QVERIFY(!window->isActiveWindow());
        window->receivedMessageFromSecondary(3, "activated");
        QVERIFY(window->isVisible());
        QVERIFY(!A::trayIcon(window).isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(tray.count("undock"), 1, 5000);
    }

    // Under a window manager a minimised window (by its button or by the task list), also one sent
    // on to the tray, comes back normal, exposed and focused by OPEN, a click on the icon or a second
    // start.
    void minimisedWindowComesBack() {
        if (QStandardPaths::findExecutable(QStringLiteral("openbox")).isEmpty())
            QSKIP("SKIP: openbox is not installed (tools/debian-packages.txt lists it)");
        QProcess openbox; // its end kills the window manager
        const QString ready = dir + QStringLiteral("/openbox-ready");
        openbox.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable"), QStringLiteral("--startup"),
                                                  QStringLiteral("touch ") + ready});
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(ready); }, 20000));
        TrayHost tray;
        QVERIFY(tray.start());
        STEP(openWindow(false));
        enum Way { Open, IconClick, SecondStart };
        const QList<std::tuple<Way, bool, bool>> cases = {// the way back, via the tray, by the button
                                                          {Open, true, true},
                                                          {IconClick, true, false},
                                                          {SecondStart, true, false},
                                                          {SecondStart, false, true},
                                                          {SecondStart, false, false}};
        for (const auto &[way, toTheTray, byTheButton] : cases) {
            if (byTheButton)
                QTest::mouseClick(A::ui(window)->minimize_btn, Qt::LeftButton);
            else
                QVERIFY(xdotool({QStringLiteral("windowminimize"), QString::number(window->winId())}));
            QTRY_VERIFY_WITH_TIMEOUT(window->isMinimized() && !window->windowHandle()->isExposed(), 10000);
            if (toTheTray) {
                window->close(); // the task list's close
                QTRY_COMPARE_WITH_TIMEOUT(tray.count("dock"), tray.count("undock") + 1, 5000);
            }
            if (way == Open)
                A::openAction(window)->trigger();
            else if (way == IconClick)
                QVERIFY(clickAt(tray.firstIcon(), 1));
            else
                window->receivedMessageFromSecondary(3, "activated");
            QTRY_VERIFY2_WITH_TIMEOUT(!window->isMinimized() && window->windowHandle()->isExposed() &&
                                          QGuiApplication::focusWindow() == window->windowHandle(),
                                      qPrintable(QStringLiteral("way %1").arg(way)), 10000);
            QVERIFY(!A::trayIcon(window).isVisible());
        }
    }

    // The gear button: the dialog over the dimmed window, Japanese for the dialog and the window at
    // once, and the close button following the choice made in the dialog.
    void settingsFromTheGearButton() {
        STEP(openWindow(false));
        Ui::LauncherUpdater *ui = A::ui(window);
        const QString englishTitle = window->windowTitle();

        bool checked = false;
        whenModal<SettingDialog>(this, [&](SettingDialog *dialog) {
            QCOMPARE(dialog->parentWidget(), window);
            QCOMPARE(dialog->geometry().center(), window->geometry().center());
            QVERIFY(A::overlay(window)->isVisible());
            QCOMPARE(dialog->size(), QSize(914, 528));
            auto *stack = dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
            QCOMPARE(stack->currentIndex(), 0);
            auto *menuSwitch = dialog->findChild<MenuSwitch *>(QStringLiteral("menuSwitch"));
            QTest::mousePress(menuSwitch, Qt::LeftButton, {}, QPoint(60, 90));
            QCOMPARE(stack->currentIndex(), 1);

            // Japanese from the open language list.
            auto *combo = dialog->findChild<DoublePopupComboBox *>(QStringLiteral("languageComboBox"));
            bool sawPopup = false;
            QTimer::singleShot(0, combo, [&]() {
                auto *popup = qobject_cast<ComboPopup *>(QApplication::activePopupWidget());
                sawPopup = popup != nullptr;
                if (!popup)
                    return;
                for (auto *item : popup->findChildren<LanguageItemWidget *>())
                    if (item->itemIndex() == 5)
                        QTest::mouseClick(item, Qt::LeftButton, {}, QPoint(30, 20));
            });
            QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(30, 20));
            QVERIFY(sawPopup);
            QCOMPARE(Translation::instance()->languageName(), QStringLiteral("Japanese"));

            // While the dialog is still open, the window already reads Japanese everywhere.
            const QString cjk = Translation::instance()->fontFamily(QStringLiteral("chinese"));
            QCOMPARE(window->windowTitle(), catalogueText(QStringLiteral("APP_NAME")));
            QVERIFY(window->windowTitle() != englishTitle ||
                    catalogueText(QStringLiteral("APP_NAME")) == englishTitle);
            QCOMPARE(ui->appnameLabel->text(), catalogueText(QStringLiteral("APP_NAME")));
            QCOMPARE(ui->startGameBtn->text(), catalogueText(QStringLiteral("START_GAME")));
            QCOMPARE(A::trayIcon(window).toolTip(), catalogueText(QStringLiteral("APP_NAME")));
            const QList<QAction *> actions = A::trayMenu(window).actions();
            QCOMPARE(actions.size(), 3);
            QCOMPARE(actions.at(0)->text(), catalogueText(QStringLiteral("OPEN")));
            QCOMPARE(actions.at(2)->text(), catalogueText(QStringLiteral("EXIT")));
            int keyed = 0;
            const QList<TranslatableLabel *> labels =
                window->findChildren<TranslatableLabel *>() + dialog->findChildren<TranslatableLabel *>();
            for (TranslatableLabel *label : labels) {
                if (!label->keyIsTranslated() || label->textKey().isEmpty())
                    continue;
                ++keyed;
                QCOMPARE(label->text(), catalogueText(label->textKey()));
                QCOMPARE(label->font().family(), cjk);
            }
            QVERIFY(keyed >= 6);

            // Back to the general page: the close button is to leave from now on.
            QTest::mousePress(menuSwitch, Qt::LeftButton, {}, QPoint(60, 30));
            auto *exitRadio = dialog->findChild<QRadioButton *>(QStringLiteral("exitLauncherRadioButton"));
            QTest::mouseClick(exitRadio, Qt::LeftButton, {}, QPoint(8, exitRadio->height() / 2));
            QVERIFY(exitRadio->isChecked());
            auto *closeBtn = dialog->findChild<ImageButton *>(QStringLiteral("closeBtn"));
            QTest::mouseClick(closeBtn, Qt::LeftButton, {}, closeBtn->rect().center());
            checked = true;
        });
        QTest::mouseClick(ui->setting_btn, Qt::LeftButton);
        QVERIFY(checked);
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(A::overlay(window)->isHidden());
        QVERIFY(window->isVisible());
        QSettings ini(dir + QStringLiteral("/settings.ini"), QSettings::IniFormat);
        QCOMPARE(ini.value(QStringLiteral("global_settings/language")).toInt(), 5);
        QCOMPARE(ini.value(QStringLiteral("global_settings/close_game_action")).toInt(), 1);

        // Opened again, the window now partly off the screen: centred on it all the same, the
        // general page first, the new choice shown.
        window->move(-300, 40);
        QTRY_COMPARE_WITH_TIMEOUT(window->pos(), QPoint(-300, 40), 5000);
        bool reopened = false;
        whenModal<SettingDialog>(this, [&](SettingDialog *dialog) {
            QCOMPARE(dialog->geometry().center(), window->geometry().center());
            QCOMPARE(dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex(), 0);
            QCOMPARE(dialog->findChild<MenuSwitch *>(QStringLiteral("menuSwitch"))->selectedIndex(), 0);
            QVERIFY(
                dialog->findChild<QRadioButton *>(QStringLiteral("exitLauncherRadioButton"))->isChecked());
            QCOMPARE(
                dialog->findChild<DoublePopupComboBox *>(QStringLiteral("languageComboBox"))->currentIndex(),
                5);
            reopened = true;
            dialog->accept();
        });
        QTest::mouseClick(ui->setting_btn, Qt::LeftButton);
        QVERIFY(reopened);

        // The close button reads the setting at the click: it leaves now.
        clickClose();
        QVERIFY(!window->isVisible());
        QVERIFY(!A::trayIcon(window).isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("launcher closed")).size(), 1, 5000);
    }

    // The exit question warns about the download: when the download ends while it is open, the
    // question goes by itself and the launcher leaves as it does without a download.
    void exitQuestionFollowsTheDownload() {
        const QByteArray data = gameFile();
        server->setFile(GamePath, data);
        HttpServer::Faults held;
        held.hold = true;
        server->setFaults(GamePath, held);
        server->setFile(VersionPath,
                        versionLine(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"), "x") +
                            versionLine(QStringLiteral("data.pak"), QStringLiteral("1"), data));
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(A::isDownloading(window) && server->heldCount() > 0, 20000);

        QString asked;
        whenModal<ConfirmDialog>(this, [&](ConfirmDialog *dialog) {
            asked = dialog->contentLabel->text();
            server->release(); // the rest of the file comes now
        });
        CloseWatcher closed(window);
        A::exitApp(window); // returns when the question has gone
        QCOMPARE(asked, catalogueText(QStringLiteral("EXITING_TIP")));
        QCOMPARE(A::gameState(window), 2);
        QVERIFY(!window->isVisible());
        QVERIFY(A::overlay(window)->isHidden());
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("launcher closed")).size(), 1, 5000);
        QVERIFY(
            !events(QStringLiteral("launcher closed")).first().contains(QStringLiteral("curr downloading")));
        QCOMPARE(manualResume().toString(), QStringLiteral("false"));
        QTRY_VERIFY_WITH_TIMEOUT(closed.closeEvents > 0, 5000);
    }

    void sessionEndDuringADownloadAsksNothing_data() {
        QTest::addColumn<bool>("questionOpen");
        QTest::newRow("exit question open") << true;
        QTest::newRow("settings open") << false;
    }

    // The end of the session closes whatever dialog is open and leaves at once, as a confirmed
    // EXIT: one event with the download's counters, KEEP UPDATE at the next start.
    void sessionEndDuringADownloadAsksNothing() {
        QFETCH(bool, questionOpen);
        writeSettings(dir, 1);
        STEP(openWindow(true));
        bool ended = false;
        const auto endSession = [&](QDialog *dialog) {
            QVERIFY(dialog->isVisible());
            window->sessionEnding();
            ended = true;
            QVERIFY(!window->isVisible());
        };
        CloseWatcher closed(window);
        if (questionOpen) {
            whenModal<ConfirmDialog>(this, endSession);
            clickClose();
        } else {
            whenModal<SettingDialog>(this, endSession);
            QTest::mouseClick(A::ui(window)->setting_btn, Qt::LeftButton);
        }
        QVERIFY(ended);
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(A::overlay(window)->isHidden());
        checkLeftDuringDownload(1, 1);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closeEvents > 0, 5000);
        // Neither the question's own return nor a second end (another signal) sends more.
        window->sessionEnding();
        QVERIFY(!QTest::qWaitFor([&] { return events(QStringLiteral("launcher closed")).size() > 1; }, 1000));
    }

    // With "leave" chosen and nothing downloading, the process ends about 800 ms after the click,
    // and the event went out before, without the download counters.
    void leavingEndsTheProcessAfterTheDelay() {
        writeSettings(dir, 1);
        server->setFile(VersionPath,
                        versionLine(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"), "x"));
        QProcess child;
        QElapsedTimer clock;
        qint64 clickedAt = -1;
        qint64 endedAt = -1;
        QByteArray output;
        connect(&child, &QProcess::readyReadStandardOutput, this, [&]() {
            output += child.readAllStandardOutput();
            if (clickedAt < 0 && output.contains("clicked\n"))
                clickedAt = clock.elapsed();
        });
        connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [&]() { endedAt = clock.elapsed(); });
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        clock.start();
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(ChildFlag), dir});
        QVERIFY(child.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(endedAt >= 0, 30000);
        output += child.readAllStandardOutput();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QVERIFY2(output.contains("clicked\n") && output.contains("loop ended\n"), output.constData());
        QVERIFY(clickedAt >= 0);
        const qint64 delay = endedAt - clickedAt;
        QVERIFY2(delay >= 700, qPrintable(QString::number(delay)));
        QVERIFY2(delay < 10000, qPrintable(QString::number(delay)));

        QCOMPARE(events(QStringLiteral("launcher closed")).size(), 1);
        const QJsonObject closed = events(QStringLiteral("launcher closed")).first();
        QVERIFY(!closed.contains(QStringLiteral("curr downloading")));
        QVERIFY(!closed.contains(QStringLiteral("total_update_count")));
        // Ready to play when leaving: nothing to resume by hand next time.
        QCOMPARE(manualResume().toString(), QStringLiteral("false"));
    }
};

int main(int argc, char **argv) {
    const int parentResult = HttpServer::runChildWithPort(argc, argv, HttpServer::launcherVariables());
    if (parentResult >= 0)
        return parentResult;
    if (argc >= 3 && qstrcmp(argv[1], ChildFlag) == 0)
        return runExitChild(argc, argv);
    QApplication app(argc, argv);
    LauncherClosingTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_launcher_closing.moc"
