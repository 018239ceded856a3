// Starting the stub game from the window, its exit handling and the crash upload, with the
// endpoints on 127.0.0.1.
#include "support/windowfixture.h"

#include "crash/crashreporter.h"
#include "support/zipwriter.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <functional>

using namespace WindowTest;
using A = LauncherUpdaterTestAccess;

namespace {

struct FormPart {
    QByteArray disposition;
    QByteArray contentType;
    QByteArray body;
};

// Splits a multipart/form-data body at the boundary named in its Content-Type.
QList<FormPart> parseForm(const QByteArray &contentType, const QByteArray &body) {
    QList<FormPart> parts;
    const int b = contentType.indexOf("boundary=");
    if (b < 0)
        return parts;
    QByteArray boundary = contentType.mid(b + 9);
    if (boundary.startsWith('"'))
        boundary = boundary.mid(1, boundary.indexOf('"', 1) - 1);
    const QByteArray delimiter = "--" + boundary;
    int pos = body.indexOf(delimiter);
    while (pos >= 0) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            break;
        pos += 2; // CRLF
        const int next = body.indexOf("\r\n" + delimiter, pos);
        if (next < 0)
            break;
        const QByteArray part = body.mid(pos, next - pos);
        const int split = part.indexOf("\r\n\r\n");
        FormPart p;
        for (const QByteArray &line : part.left(split).split('\n')) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith("content-disposition:"))
                p.disposition = l.mid(20).trimmed();
            else if (l.toLower().startsWith("content-type:"))
                p.contentType = l.mid(13).trimmed();
        }
        p.body = part.mid(split + 4);
        parts.append(p);
        pos = next + 2;
    }
    return parts;
}

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

    // A ready launcher (nothing to download) with the stub game installed as the game and told
    // what to do through its fakegame.ini.
    void readyWithGame(const QByteArray &gameIni) {
        const QString stub = qEnvironmentVariable("KV_FAKEGAME_BINARY");
        QVERIFY2(QFile::exists(stub), qPrintable(stub));
        QVERIFY(QFile::copy(stub, dir + QStringLiteral("/Quelvane.exe")));
        QVERIFY(writeFile(dir + QStringLiteral("/fakegame.ini"), "headless=1\n" + gameIni));
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(A::gameState(window) == 2, 20000);
        QVERIFY(ui()->startGameBtn->isEnabled());
        QVERIFY(window->isVisible());
    }

    void setSetting(int key, int value) { GlobalSettings::instance()->setValue(key, value); }

    QStringList gameArguments() const {
        const QByteArray text = readFile(dir + QStringLiteral("/fakegame-args.txt"));
        QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    QList<HttpServer::Request> uploads() const { return server->requestsFor(CrashPath); }

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

    void sevenArgumentsWithCampaignAndGerman() {
        STEP(readyWithGame("exit_code=0\n"));
        Translation::instance()->setLanguageIndex(4);
        flow()->setIdentifiers(QStringLiteral("abc"), flow()->deviceIdentifier());

        ui()->startGameBtn->click();
        // While the game runs nothing of the launcher is visible.
        QTRY_VERIFY_WITH_TIMEOUT(
            !window->isVisible() || !events(QStringLiteral("game process finished")).isEmpty(), 20000);
        QVERIFY(!A::trayIcon(window).isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 20000);

        QCOMPARE(gameArguments(), (QStringList{QStringLiteral("-workdir"), QStringLiteral("."),
                                               QStringLiteral("-from-launcher"), QStringLiteral("-parameter"),
                                               QStringLiteral("gclid=abc"), QStringLiteral("-parameter"),
                                               QStringLiteral("language=German")}));
        QTRY_COMPARE(events(QStringLiteral("game btn clicked")).size(), 1);
        QTRY_COMPARE(events(QStringLiteral("game process finished")).size(), 1);
        QCOMPARE(
            events(QStringLiteral("game process finished")).first().value(QStringLiteral("code")).toInt(-1),
            0);
        QVERIFY(!A::trayIcon(window).isVisible());
        QVERIFY(uploads().isEmpty());
    }

    void noCampaignPairWhenEmptyLanguageLast() {
        STEP(readyWithGame("exit_code=0\n"));
        flow()->setIdentifiers(QString(), flow()->deviceIdentifier());
        STEP(playAndWaitForReturn());
        QCOMPARE(gameArguments(), (QStringList{QStringLiteral("-workdir"), QStringLiteral("."),
                                               QStringLiteral("-from-launcher"), QStringLiteral("-parameter"),
                                               QStringLiteral("language=English")}));
    }

    void exitOneWithOneArchiveAsksAndUploads() {
        STEP(readyWithGame("exit_code=1\ncrash_zips=1\ncrash_zip_name=5f3c.zip\ncrash_zip_size=200000\n"));
        flow()->setIdentifiers(QStringLiteral("abc"), flow()->deviceIdentifier());
        flow()->setIdentifiers(flow()->campaignId(), QStringLiteral("dev-\u00e9-1"));
        ReporterDriver driver;
        QString description;
        for (int i = 0; i < 300; ++i)
            description += QChar(u'a' + i % 26);
        driver.description = description;

        STEP(playAndWaitForReturn());
        QCOMPARE(driver.shown, 1);
        QVERIFY(!driver.hadParent);
        QVERIFY(driver.wasModal);
        QCOMPARE(uploads().size(), 1);

        const HttpServer::Request upload = uploads().first();
        QCOMPARE(upload.method, QByteArray("POST"));
        const QList<FormPart> parts = parseForm(upload.headers.value("content-type"), upload.body);
        QCOMPARE(parts.size(), 6);
        const QByteArray zip = readFile(crashDir() + QStringLiteral("/5f3c.zip"));
        QVERIFY(zip.size() > 1000);
        const QList<QByteArray> names = {"crash_guid", "crash_md5", "gclid", "device_id", "description"};
        for (int i = 0; i < names.size(); ++i) {
            QCOMPARE(parts[i].disposition, "form-data; name=\"" + names[i] + "\"");
            QVERIFY(parts[i].contentType.isEmpty());
        }
        QCOMPARE(parts[0].body, QByteArray("5f3c"));
        QCOMPARE(parts[1].body, md5Hex(zip).toLatin1());
        QCOMPARE(parts[2].body, QByteArray("abc"));
        QCOMPARE(parts[3].body, QStringLiteral("dev-\u00e9-1").toUtf8());
        QCOMPARE(parts[4].body, description.left(256).toUtf8());
        QCOMPARE(parts[5].disposition, QByteArray("form-data; name=\"crash_zip\"; filename=\"5f3c.zip\""));
        QCOMPARE(parts[5].contentType, QByteArray("application/x-zip-compressed"));
        QCOMPARE(parts[5].body, zip);

        // The archive stays after the upload; the next game start clears the folder.
        QVERIFY(QFile::exists(crashDir() + QStringLiteral("/5f3c.zip")));
        QVERIFY(writeFile(dir + QStringLiteral("/fakegame.ini"), "headless=1\nexit_code=0\n"));
        ui()->startGameBtn->click();
        QVERIFY(!QDir(crashDir()).exists());
        QTRY_VERIFY_WITH_TIMEOUT(events(QStringLiteral("game process finished")).size() == 2, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 20000);
        QCOMPARE(uploads().size(), 1);
    }

    void crashWithPopupOffUploadsSilently() {
        setSetting(PopupOnCrash, 0);
        STEP(readyWithGame("crash=1\ncrash_zips=1\n"));
        ReporterDriver driver;
        STEP(playAndWaitForReturn());
        QCOMPARE(driver.shown, 0);
        QCOMPARE(uploads().size(), 1);
        const QList<FormPart> parts =
            parseForm(uploads().first().headers.value("content-type"), uploads().first().body);
        QCOMPARE(parts.size(), 6);
        QCOMPARE(parts[4].body, QByteArray());
        // A uuid-named archive: one dot, the identifier before it.
        QCOMPARE(parts[0].body.size(), 36);
        const int code =
            events(QStringLiteral("game process finished")).first().value(QStringLiteral("code")).toInt(-1);
        QVERIFY(code != 1); // the crash, not the exit code, made it count
    }

    // Exit code 3 is never examined; two archives are not one crash to report. Nothing is shown
    // or sent, and the archives stay.
    void exitsThatAreNotReported_data() {
        QTest::addColumn<QByteArray>("gameIni");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("archives");
        QTest::newRow("exit code 3 with an archive") << QByteArray("exit_code=3\ncrash_zips=1\n") << 3 << 1;
        QTest::newRow("two archives") << QByteArray("exit_code=1\ncrash_zips=2\n") << 1 << 2;
    }
    void exitsThatAreNotReported() {
        QFETCH(QByteArray, gameIni);
        QFETCH(int, code);
        QFETCH(int, archives);
        STEP(readyWithGame(gameIni));
        ReporterDriver driver;
        STEP(playAndWaitForReturn());
        QTest::qWait(300);
        QCOMPARE(driver.shown, 0);
        QVERIFY(uploads().isEmpty());
        QCOMPARE(
            events(QStringLiteral("game process finished")).first().value(QStringLiteral("code")).toInt(-1),
            code);
        QCOMPARE(QDir(crashDir()).entryList(QStringList{QStringLiteral("*.zip")}).size(), archives);
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

    void silentCrashServerEndsTheWait() {
        setSetting(PopupOnCrash, 0);
        HttpServer::Faults silent;
        silent.hold = true;
        server->setFaults(CrashPath, silent);
        STEP(readyWithGame("exit_code=1\ncrash_zips=1\n"));

        // Timed from the game's end as the launcher sees it: the server may read the upload late
        // on a loaded machine, the launcher's timers do not depend on that.
        QElapsedTimer clock;
        clock.start();
        qint64 gameEndedAt = -1;
        bool uploadSeen = false;
        QObject context; // ends the connections with this function, also when a check fails
        connect(flow()->gameSession()->gameProcess(),
                QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &context,
                [&]() { gameEndedAt = clock.elapsed(); });
        connect(server, &HttpServer::requestReceived, &context, [&](const HttpServer::Request &r) {
            if (r.path == CrashPath)
                uploadSeen = true;
        });
        ui()->startGameBtn->click();
        QTRY_VERIFY_WITH_TIMEOUT(gameEndedAt >= 0, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 30000);
        const qint64 waited = clock.elapsed() - gameEndedAt;
        qInfo("launcher back %lld ms after the game ended", waited);
        QVERIFY(uploadSeen);
        QCOMPARE(server->heldCount(), 1); // the server never answered
        // 1 s before the exit is handled, then 3 s without an answer (timers may fire 5 % early).
        QVERIFY2(waited >= 3600, qPrintable(QString::number(waited)));
        QVERIFY2(waited < 20000, qPrintable(QString::number(waited)));
        server->release();
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
        QTest::addColumn<bool>("secondStart");
        QTest::newRow("hidden") << false;
        QTest::newRow("shown again by a second start") << true;
    }

    void gameThatCannotStartIsShownAndRepaired_data() {
        QTest::addColumn<QString>("source"); // what brings the game: itself, or an archive
        QTest::addColumn<QString>("fault");
        QTest::newRow("missing") << "Quelvane.exe"
                                 << "missing";
        QTest::newRow("not a program") << "Quelvane.exe"
                                       << "garbage";
        QTest::newRow("missing, brought by an archive") << "game.zip"
                                                        << "missing";
    }

    void gameThatCannotStartIsShownAndRepaired() {
        QFETCH(QString, source);
        QFETCH(QString, fault);
        const QByteArray program = fault == "garbage" ? QByteArray("this is no program\n")
                                                      : readFile(qEnvironmentVariable("KV_FAKEGAME_BINARY"));
        QVERIFY(!program.isEmpty());
        if (source == "game.zip")
            publish(source, "7", zipBytes({{"Quelvane.exe", program}, {"data/level.txt", "level"}}));
        else
            publish(source, "7", program);
        publish(QStringLiteral("other.bin"), "2", "other");
        QVERIFY(writeFile(dir + QStringLiteral("/fakegame.ini"), "headless=1\n"));
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(A::gameState(window) == 2, 20000);
        QVERIFY(QFile::exists(dir + QStringLiteral("/Quelvane.exe")));
        QCOMPARE(configValue(QStringLiteral("version/") + source), QStringLiteral("7"));
        if (fault == "missing") // quarantined by an antivirus
            QVERIFY(QFile::remove(dir + QStringLiteral("/Quelvane.exe")));
        QVERIFY(writeFile(crashDir() + QStringLiteral("/last.zip"), "crash of the last run"));

        for (int press = 1; press <= 2; ++press) {
            ui()->startGameBtn->click();
            QTRY_COMPARE(events(QStringLiteral("game start failed")).size(), press);
            QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("LOAD_ERROR"));
            QVERIFY(window->isVisible());
            QVERIFY(ui()->startGameBtn->isEnabled());
        }
        QVERIFY(!eventField(QStringLiteral("game start failed"), QStringLiteral("reason")).isEmpty());
        QTRY_COMPARE(events(QStringLiteral("game btn clicked")).size(), 2);
        QVERIFY(events(QStringLiteral("game process finished")).isEmpty());
        QVERIFY(!configHas(QStringLiteral("version/") + source));
        QCOMPARE(configValue(QStringLiteral("version/other.bin")), QStringLiteral("2"));
        if (fault == "missing") // the game never started: the crash archive of the last run stays
            QVERIFY(QFile::exists(crashDir() + QStringLiteral("/last.zip")));

        // The next start downloads what brings the game again, and nothing else.
        closeWindow();
        server->clearRequests();
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(A::gameState(window) == 2, 20000);
        QCOMPARE(getsFor(source), 1);
        QCOMPARE(getsFor(QStringLiteral("other.bin")), 0);
        QCOMPARE(readFile(dir + QStringLiteral("/Quelvane.exe")), program);
        if (fault == "missing") {
            QSignalSpy finished(flow()->gameSession()->gameProcess(),
                                QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            ui()->startGameBtn->click();
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        }
    }
};

KV_LAUNCHER_TEST_MAIN(GameLaunchTest)
#include "test_game_launch.moc"
