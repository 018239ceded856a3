// The stub game started from the window: the window and its tray icon hide while it runs and come
// back, the crash dialog asks (without a parent) and its description is sent, and the launcher ends
// when it is to close after the game. The session itself is test_gamesession's (tests/workflow).
#include "support/teststep.h"
#include "support/windowfixture.h"

#include "crash/crashreporter.h"
#include "workflow/predownload.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <functional>

using namespace WindowTest;
using A = LauncherUpdaterTestAccess;

namespace {

// Answers the crash dialog when it shows up: SEND LOG with a description, DO NOT SEND LOG, or
// the title bar's close button.
class ReporterDriver : public QObject {
public:
    enum Action { Send, DontSend, CloseWindow };
    Action action = Send;
    bool uncheckPopup = false;
    QString description;
    int shown = 0;
    bool hadParent = false;
    bool wasModal = false;
    QTimer timer;

    ReporterDriver() {
        connect(&timer, &QTimer::timeout, this, &ReporterDriver::poll);
        timer.start(50);
    }

    void poll() {
        auto *reporter = qobject_cast<CrashReporter *>(QApplication::activeModalWidget());
        if (!reporter || !reporter->isVisible())
            return;
        ++shown;
        hadParent = reporter->parentWidget() != nullptr;
        wasModal = reporter->isModal();
        if (action == CloseWindow) {
            reporter->close();
            return;
        }
        if (uncheckPopup) {
            if (auto *box = reporter->findChild<QCheckBox *>())
                box->setChecked(false);
        }
        if (auto *edit = reporter->findChild<QTextEdit *>())
            edit->setPlainText(description);
        const QString wanted = Translation::instance()->tr(action == Send ? QStringLiteral("SEND_LOG")
                                                                          : QStringLiteral("DONT_SEND_LOG"));
        for (QPushButton *button : reporter->findChildren<QPushButton *>()) {
            if (button->text() == wanted) {
                button->click();
                return;
            }
        }
        qWarning("crash dialog button %s not found", qPrintable(wanted));
        reporter->reject();
    }
};

} // namespace

class GameLaunchTest : public WindowFixture {
    Q_OBJECT

    QString crashDir() const { return dir + QStringLiteral("/crash_info"); }

    // A ready launcher (nothing to download) with the stub game.
    void readyWithGame(const QByteArray &gameIni) {
        STEP(installStubGame(gameIni));
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(A::gameState(window) == 2, 20000);
        QVERIFY(ui()->startGameBtn->isEnabled());
        QVERIFY(window->isVisible());
    }

    void setSetting(int key, int value) { GlobalSettings::instance()->setValue(key, value); }

    // Runs the application's own event loop, as the launcher does, with quitting on the last
    // closed window switched on. Returns ReachedCode when done() became true, TimeoutCode after
    // timeoutMs, or what the application ended with by itself.
    static constexpr int ReachedCode = 7;
    static constexpr int TimeoutCode = 99;
    int runApplicationUntil(const std::function<bool()> &done, int timeoutMs) {
        qApp->setQuitOnLastWindowClosed(true);
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&done]() {
            if (done())
                qApp->exit(ReachedCode);
        });
        poll.start(20);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, []() { qApp->exit(TimeoutCode); });
        guard.start(timeoutMs);
        const int code = qApp->exec();
        qApp->setQuitOnLastWindowClosed(false);
        return code;
    }

    // Starts the game with the real button and waits until the launcher is back on screen.
    void playAndWaitForReturn() {
        const int before = events(QStringLiteral("game process finished")).size();
        QSignalSpy finished(flow()->gameSession()->gameProcess(),
                            QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        ui()->startGameBtn->click();
        // The game's own end first: the window is still visible before the game has started.
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(events(QStringLiteral("game process finished")).size() > before, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 20000);
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<QProcess::ExitStatus>();
        WindowFixture::initTestCase();
    }
    void init() {
        setUpDirs();
        setSetting(PopupOnExit, 1);
        setSetting(PopupOnCrash, 1);
    }

    void hiddenWhileTheGameRuns() {
        STEP(readyWithGame("exit_code=0\n"));
        ui()->startGameBtn->click();
        // While the game runs nothing of the launcher is visible.
        QTRY_VERIFY_WITH_TIMEOUT(
            !window->isVisible() || !events(QStringLiteral("game process finished")).isEmpty(), 20000);
        QVERIFY(!A::trayIcon(window).isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 20000);
        QVERIFY(!A::trayIcon(window).isVisible());
        QVERIFY(ui()->startGameBtn->isEnabled());
        QVERIFY(uploads().isEmpty());
    }

    // A pre-download while the game runs: the window stays away, the tray icon shows its progress
    // and pauses and continues it; a click on the icon opens the menu, never the window (whose
    // button would start the game again). The game's end takes the icon away.
    void trayFollowsAPreDownloadDuringPlay() {
        const auto tr = [](const char *key) { return Translation::instance()->tr(QString::fromLatin1(key)); };
        const QByteArray next = randomBytes(3 * 1024 * 1024, 2);
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(1000, 1));
        server->setFile(VersionPath + ".coming",
                        versionText().replace("a.bin:1:" + md5Hex(randomBytes(1000, 1)).toLatin1() + ":1000",
                                              "a.bin:2:" + md5Hex(next).toLatin1() + ":3145728"));
        server->setFile(remotePath(QStringLiteral("a.bin"), QStringLiteral("2")), next);
        HttpServer::Faults slow;
        slow.bytesPerSecond = 128 * 1024;
        server->setFaults(remotePath(QStringLiteral("a.bin"), QStringLiteral("2")), slow);
        STEP(readyWithGame("wait_ms=120000\n"));
        PreDownload *pre = flow()->preDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pre->state(), PreDownload::Fetching, 20000);
        ui()->startGameBtn->click();
        QTRY_COMPARE_WITH_TIMEOUT(flow()->phase(), LauncherWorkflow::GameRunning, 20000);
        QSystemTrayIcon &icon = A::trayIcon(window);
        QVERIFY(!window->isVisible() && icon.isVisible() && !A::openAction(window)->isVisible());
        QTRY_COMPARE(icon.toolTip(), tr("TRAY_PREDOWNLOAD").arg(pre->version()).arg(pre->percent()));
        window->trayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!window->isVisible() && A::trayMenu(window).isVisible());
        A::trayMenu(window).hide();
        for (const char *offered : {"TRAY_RESUME", "TRAY_PAUSE"}) {
            window->trayMenuTriggered(A::pauseAction(window));
            QCOMPARE(A::pauseAction(window)->text(), tr(offered));
            QVERIFY(icon.isVisible());
        }
        QCOMPARE(pre->state(), PreDownload::Fetching);
        window->trayMenuTriggered(A::pauseAction(window));
        QCOMPARE(icon.toolTip(), tr("TRAY_PREDOWNLOAD_PAUSED").arg(pre->version()).arg(pre->percent()));
        flow()->gameSession()->gameProcess()->kill();
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 20000);
        QVERIFY(!icon.isVisible() && A::openAction(window)->isVisible());
    }

    void crashDialogAsksAndItsDescriptionIsSent() {
        STEP(readyWithGame("exit_code=1\ncrash_zips=1\ncrash_zip_name=5f3c.zip\n"));
        ReporterDriver driver;
        for (int i = 0; i < 300; ++i)
            driver.description += QChar(u'a' + i % 26);

        STEP(playAndWaitForReturn());
        QCOMPARE(driver.shown, 1);
        QVERIFY(!driver.hadParent);
        QVERIFY(driver.wasModal);
        QCOMPARE(uploads().size(), 1);
        // What the dialog gives, at most 256 characters; the form itself is test_crashupload's.
        const QByteArray body = uploads().first().body;
        QVERIFY(body.contains(driver.description.left(256).toUtf8() + "\r\n"));
        QVERIFY(!body.contains(driver.description.left(257).toUtf8()));
    }

    void closingTheReporterSendsNothingAndKeepsTheLauncher() {
        STEP(readyWithGame("crash=1\ncrash_zips=1\n"));
        ReporterDriver driver;
        driver.action = ReporterDriver::CloseWindow;
        // The launcher window is hidden while the dialog is up: closing the dialog must not end
        // the application as if its last window had closed.
        QTimer::singleShot(0, ui()->startGameBtn, &QAbstractButton::click);
        const int code = runApplicationUntil(
            [&]() {
                return driver.shown == 1 && window->isVisible() &&
                       !events(QStringLiteral("game process finished")).isEmpty();
            },
            30000);
        QCOMPARE(code, int(ReachedCode));
        QCOMPARE(driver.shown, 1);
        QVERIFY(uploads().isEmpty());

        // DO NOT SEND LOG after unchecking the box: nothing sent, the choice kept.
        QVERIFY(writeFile(dir + QStringLiteral("/fakegame.ini"), "headless=1\nexit_code=1\ncrash_zips=1\n"));
        driver.action = ReporterDriver::DontSend;
        driver.uncheckPopup = true;
        driver.shown = 0;
        STEP(playAndWaitForReturn());
        QCOMPARE(driver.shown, 1);
        QVERIFY(uploads().isEmpty());
        QCOMPARE(GlobalSettings::instance()->value(PopupOnCrash), 0);
        QSettings stored(dir + QStringLiteral("/settings.ini"), QSettings::IniFormat);
        QCOMPARE(stored.value(QStringLiteral("global_settings/popup_on_crash")).toInt(), 0);

        // The next crash with an archive is then uploaded without asking.
        driver.shown = 0;
        STEP(playAndWaitForReturn());
        QCOMPARE(driver.shown, 0);
        QCOMPARE(uploads().size(), 1);
    }

    void popupOnExitOffClosesTheLauncher() {
        QFETCH(bool, secondStart);
        setSetting(PopupOnExit, 0);
        STEP(readyWithGame("exit_code=0\n"));
        CloseWatcher watcher(window);
        qint64 gameEndedAt = -1;
        QObject context; // ends the connection with this function, also when a check fails
        connect(flow()->gameSession()->gameProcess(),
                QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &context, [&]() {
                    gameEndedAt = watcher.clock.elapsed();
                    // A second launcher start while the launcher is about to close brings the
                    // window back; the launcher must still end.
                    if (secondStart)
                        QTimer::singleShot(2000, &context, [this]() {
                            window->receivedMessageFromSecondary(1, QByteArrayLiteral("activated"));
                        });
                });
        // The application's event loop must end by itself once the window closes.
        QTimer::singleShot(0, ui()->startGameBtn, &QAbstractButton::click);
        const int code = runApplicationUntil([]() { return false; }, 30000);
        const qint64 endedAt = watcher.clock.elapsed();
        QCOMPARE(code, 0);
        QVERIFY(gameEndedAt >= 0);
        QVERIFY(watcher.closedAtMs >= 0);
        const qint64 delay = watcher.closedAtMs - gameEndedAt;
        qInfo("window closed %lld ms after the game ended, event loop ended %lld ms after", delay,
              endedAt - watcher.closedAtMs);
        // 1 s before the exit is handled, 2 s before closing (timers may fire 5 % early).
        QVERIFY2(delay >= 2700 && delay < 20000, qPrintable(QString::number(delay)));
        QVERIFY(!window->isVisible());
        QTRY_COMPARE(events(QStringLiteral("launcher closed")).size(), 1);
    }
    void popupOnExitOffClosesTheLauncher_data() {
        addBoolRows("secondStart", "hidden", "shown again by a second start");
    }
};

KV_LAUNCHER_TEST_MAIN(GameLaunchTest)
#include "test_game_launch.moc"
