// The game session of the workflow with the stub game: its command line, the handling of its exit
// (crash archive, upload, showing the window again), a game that cannot start, and a pre-download
// that outlasts the game. Closing after the game and the crash dialog: test_game_launch, through
// the window.
#include "support/testkeys.h"
#include "support/workflowfixture.h"
#include "support/zipwriter.h"
#include "trust/minisignsecretkey.h"
#include "workflow/predownload.h"
#include "workflow/predownloadfolder.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>

using namespace WorkflowTest;

class GameSessionTest : public WorkflowFixture {
    Q_OBJECT

    int questions = 0; // crash questions asked
    bool answer = true;
    QString description;

    QString crashDir() const { return dir + QStringLiteral("/crash_info"); }
    void setSetting(int key, int value) { GlobalSettings::instance()->setValue(key, value); }

    // A ready launcher (nothing to download) with the stub game.
    void readyWithGame(const QByteArray &gameIni) {
        STEP(installStubGame(gameIni));
        makeWorkflow();
        flow->setCrashQuestion([this](QString *text) {
            ++questions;
            *text = description;
            return answer;
        });
        STEP(waitForReady());
    }

    // Starts the game and waits until its exit has been handled (the window would be back).
    void play() {
        shownAgain = false;
        phases.clear();
        flow->gameBtnClicked();
        QTRY_VERIFY_WITH_TIMEOUT(shownAgain, 20000);
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::GameRunning, LauncherWorkflow::Ready}));
    }

    QStringList gameArguments() const {
        QStringList lines =
            QString::fromUtf8(readFile(dir + QStringLiteral("/fakegame-args.txt"))).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    int exitCode() const {
        return events(QStringLiteral("game process finished"))
            .first()
            .value(QStringLiteral("code"))
            .toInt(-1);
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<QProcess::ExitStatus>();
        WorkflowFixture::initTestCase();
    }
    void init() {
        setUpDirs();
        setSetting(PopupOnExit, 1);
        setSetting(PopupOnCrash, 1);
        questions = 0;
        answer = true;
        description.clear();
    }

    // Only an expired release is served: the installed game starts all the same, and after it the
    // launcher waits for a current release again, fetching nothing.
    void gameStartsWhileTheReleaseIsExpired() {
        STEP(installStubGame(""));
        publish(QStringLiteral("game.bin"), QStringLiteral("2"), randomBytes(3000, 2));
        server->setFile(VersionPath + ".minisig",
                        MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
                            .sign(versionText(), "timestamp:1700000000\tvalid_days:5\tfile:version3.txt")
                            .toFile("test"));
        WorkflowSetup setup = fastSetup();
        setup.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
        setup.failedRetryMs = 600000;
        makeWorkflow(setup);
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::ReleaseExpired, 10000);
        QCOMPARE(flow->gameState(), 2);
        phases.clear();
        flow->gameBtnClicked();
        QTRY_VERIFY_WITH_TIMEOUT(shownAgain, 20000);
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::GameRunning, LauncherWorkflow::ReleaseExpired}));
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("RELEASE_OUT_OF_DATE"));
        QTRY_COMPARE(events(QStringLiteral("game process finished")).size(), 1);
        QCOMPARE(exitCode(), 0);
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 0);
        QCOMPARE(versionRequests(), 1);
    }

    // The update server is away at the start: the installed game starts; the check that gets the
    // version file while the game runs fetches the update only once the game has ended.
    void serverBackDuringTheGameActsWhenItEnds() {
        STEP(installStubGame("wait_ms=600000\n"));
        publish(QStringLiteral("game.bin"), QStringLiteral("2"), randomBytes(3000, 2));
        HttpServer::Faults away;
        away.abort = true;
        server->setFaults(VersionPath, away);
        WorkflowSetup setup = fastSetup();
        setup.failedRetryMs = 200;
        makeWorkflow(setup);
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::ServerUnreachable, 10000);
        flow->gameBtnClicked();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::GameRunning, 10000);
        int fetchedDuringGame = -1;
        QObject watching;
        connect(flow, &LauncherWorkflow::phaseChanged, &watching, [&]() {
            if (fetchedDuringGame < 0) // the game's end: no phase changes while it runs
                fetchedDuringGame = getsFor(QStringLiteral("game.bin"));
        });
        server->clearFaults();
        QTRY_VERIFY_WITH_TIMEOUT(
            !VersionTable::instance().value(QStringLiteral("game.bin")).version.isEmpty(), 10000);
        flow->gameSession()->gameProcess()->kill();
        STEP(waitForReady());
        QCOMPARE(fetchedDuringGame, 0);
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 1);
    }

    void commandLine_data() {
        QTest::addColumn<QString>("gclid");
        QTest::addColumn<int>("language");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("campaign, German")
            << "abc" << 4 << QStringList{"-workdir",  ".",          "-from-launcher", "-parameter",
                                         "gclid=abc", "-parameter", "language=German"};
        // No campaign pair at all; the language pair is always last.
        QTest::newRow("no campaign") << "" << 1
                                     << QStringList{"-workdir", ".", "-from-launcher", "-parameter",
                                                    "language=English"};
    }

    void commandLine() {
        QFETCH(QString, gclid);
        QFETCH(int, language);
        QFETCH(QStringList, arguments);
        STEP(readyWithGame("exit_code=0\n"));
        Translation::instance()->setLanguageIndex(language);
        flow->setIdentifiers(gclid, flow->deviceIdentifier());
        STEP(play());
        QCOMPARE(gameArguments(), arguments);
        QTRY_COMPARE(events(QStringLiteral("game btn clicked")).size(), 1);
        QTRY_COMPARE(events(QStringLiteral("game process finished")).size(), 1);
        QCOMPARE(exitCode(), 0);
        QVERIFY(uploads().isEmpty());
        QCOMPARE(questions, 0);
    }

    void exitOneWithOneArchiveAsksAndUploads() {
        STEP(readyWithGame("exit_code=1\ncrash_zips=1\ncrash_zip_name=5f3c.zip\ncrash_zip_size=200000\n"));
        flow->setIdentifiers(QStringLiteral("abc"), QStringLiteral("dev-\u00e9-1"));
        for (int i = 0; i < 300; ++i)
            description += QChar(u'a' + i % 26);
        STEP(play());
        QCOMPARE(questions, 1);
        QCOMPARE(uploads().size(), 1);
        // The form's format is the crash upload's (test_crashupload): here what the session puts in.
        const QByteArray body = uploads().first().body;
        QVERIFY(body.contains(description.left(256).toUtf8() + "\r\n"));
        QVERIFY(!body.contains(description.left(257).toUtf8()));
        QVERIFY(body.contains("\r\n\r\nabc\r\n"));
        QVERIFY(body.contains(QStringLiteral("\r\n\r\ndev-\u00e9-1\r\n").toUtf8()));
        QVERIFY(body.contains(readFile(crashDir() + QStringLiteral("/5f3c.zip"))));

        // The archive stays after the upload; the next game start clears the folder.
        QVERIFY(writeFile(dir + QStringLiteral("/fakegame.ini"), "headless=1\nexit_code=0\n"));
        flow->gameBtnClicked();
        QVERIFY(!QDir(crashDir()).exists());
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("game process finished")).size(), 2, 20000);
        QCOMPARE(uploads().size(), 1);
    }

    void crashWithPopupOffUploadsSilently() {
        setSetting(PopupOnCrash, 0);
        STEP(readyWithGame("crash=1\ncrash_zips=1\n"));
        description = QStringLiteral("never asked");
        STEP(play());
        QCOMPARE(questions, 0);
        QCOMPARE(uploads().size(), 1);
        QVERIFY(!uploads().first().body.contains("never asked"));
        // The event goes out on its own request: it may come after the upload.
        QTRY_COMPARE(events(QStringLiteral("game process finished")).size(), 1);
        QVERIFY(exitCode() != 1); // the crash, not the exit code, made it count
    }

    // Exit code 3 is never examined; two archives are not one crash to report. Nothing is asked
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
        STEP(play());
        QCOMPARE(questions, 0);
        QVERIFY(uploads().isEmpty());
        QTRY_COMPARE(events(QStringLiteral("game process finished")).size(), 1);
        QCOMPARE(exitCode(), code);
        QCOMPARE(QDir(crashDir()).entryList(QStringList{QStringLiteral("*.zip")}).size(), archives);
    }

    void silentCrashServerEndsTheWait() {
        setSetting(PopupOnCrash, 0);
        HttpServer::Faults silent;
        silent.hold = true;
        server->setFaults(CrashPath, silent);
        STEP(readyWithGame("exit_code=1\ncrash_zips=1\n"));
        QElapsedTimer clock;
        QSignalSpy ended(flow->gameSession()->gameProcess(),
                         QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        flow->gameBtnClicked();
        QVERIFY(ended.wait(20000));
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(shownAgain, 20000);
        QCOMPARE(server->heldCount(), 1); // the server never answered
        // The upload's 3 s limit ends the wait (timers may fire 5 % early).
        QVERIFY2(clock.elapsed() >= 2850, qPrintable(QString::number(clock.elapsed())));
        server->release();
    }

    // With "popup_on_exit" off, a pre-download under way when the game ends keeps the launcher in
    // the tray until the pre-download is over, then it closes; the player opening the window again
    // keeps it open. With "pause_downloads_while_playing" on, the pre-download waits while the game
    // runs (nothing asked or fetched meanwhile) and goes on from where it was once the game ends.
    void preDownloadOutlastsTheGame() {
        setSetting(PopupOnExit, 0);
        setSetting(PauseDownloadsWhilePlaying, 1);
        // The stub game plays for 1.5 s and leaves.
        STEP(installStubGame("wait_ms=1500\n"));
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(1000, 1));
        const QByteArray a2 = randomBytes(4 * 1024 * 1024 - 1000, 2);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), a2}}});
        const QByteArray a2Path = remotePath(QStringLiteral("a.bin"), QStringLiteral("2"));
        const qint64 rate = 1024 * 1024;
        HttpServer::Faults slow;
        slow.bytesPerSecond = rate;
        server->setFaults(a2Path, slow);
        makeWorkflow();
        PreDownload *pre = flow->preDownload();
        QSignalSpy trays(flow, &LauncherWorkflow::trayRequested);
        int askedWhilePlaying = 0;
        qint64 doneAtGameEnd = -1;
        qint64 sentAtGameEnd = -1;
        const QMetaObject::Connection asks =
            connect(server, &HttpServer::requestReceived, this, [&](const HttpServer::Request &r) {
                if (r.path == a2Path && flow->phase() == LauncherWorkflow::GameRunning)
                    ++askedWhilePlaying;
            });
        const QMetaObject::Connection ends =
            connect(flow, &LauncherWorkflow::phaseChanged, this, [&](Phase p) {
                if (p == LauncherWorkflow::Ready && phases.contains(LauncherWorkflow::GameRunning) &&
                    doneAtGameEnd < 0) {
                    doneAtGameEnd = pre->doneBytes();
                    sentAtGameEnd = server->bodyBytesSent();
                }
            });
        auto disconnectAll = qScopeGuard([&] {
            disconnect(asks);
            disconnect(ends);
        });

        QTRY_VERIFY_WITH_TIMEOUT(pre->state() == PreDownload::Fetching && pre->doneBytes() > 0, 20000);
        QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        flow->gameBtnClicked();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::GameRunning, 20000);
        QCOMPARE(pre->state(), PreDownload::Held);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("PREDOWNLOAD_WAITING"));
        const qint64 sentWhenHeld = server->bodyBytesSent();
        const int askedBefore = server->requestsFor(a2Path).size();

        // The game ends by itself: the launcher goes to the tray, the pre-download goes on.
        QTRY_COMPARE_WITH_TIMEOUT(trays.size(), 1, 20000);
        QVERIFY(!closing);
        QVERIFY(pre->isUnderWay());
        // Nothing was asked for while the game ran, and of the 1.5 s that the game played at most
        // what was on its way when the fetch stopped came.
        QCOMPARE(askedWhilePlaying, 0);
        QVERIFY2(sentAtGameEnd - sentWhenHeld < rate / 8,
                 qPrintable(QString::number(sentAtGameEnd - sentWhenHeld)));
        QVERIFY(doneAtGameEnd < a2.size());
        QTRY_COMPARE_WITH_TIMEOUT(pre->state(), PreDownload::Complete, 30000);
        QTRY_VERIFY(closing);
        QCOMPARE(trays.size(), 1);
        QCOMPARE(readFile(PreDownloadFolder::path(dir) + QStringLiteral("/a.bin")), a2);
        // Taken up where it stopped: what was kept before the game is not asked for again.
        const QList<HttpServer::Request> asked = server->requestsFor(a2Path);
        QVERIFY(asked.size() > askedBefore);
        for (int i = askedBefore; i < asked.size(); ++i)
            QVERIFY2(asked.at(i).rangeStart() >= doneAtGameEnd, asked.at(i).range().constData());

        // Without the setting the pre-download goes on during the game; the game ends with it
        // under way, and the player opens the window before it is over: nothing closes.
        closeWorkflow();
        setSetting(PauseDownloadsWhilePlaying, 0);
        const QByteArray a3 = randomBytes(300000, 3);
        publishComing({{QStringLiteral("a.bin"), {QStringLiteral("3"), a3}}});
        HttpServer::Faults kept;
        kept.hold = true;
        server->setFaults(remotePath(QStringLiteral("a.bin"), QStringLiteral("3")), kept);
        makeWorkflow();
        pre = flow->preDownload();
        QSignalSpy traysAgain(flow, &LauncherWorkflow::trayRequested);
        QTRY_COMPARE_WITH_TIMEOUT(server->heldCount(), 1, 20000);
        QCOMPARE(pre->state(), PreDownload::Fetching);
        flow->gameBtnClicked();
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::GameRunning, 20000);
        QCOMPARE(pre->state(), PreDownload::Fetching);
        QTRY_COMPARE_WITH_TIMEOUT(traysAgain.size(), 1, 20000);
        QVERIFY(!closing);
        QCOMPARE(pre->state(), PreDownload::Fetching);
        flow->keepOpen();
        QCOMPARE(server->release(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(pre->state(), PreDownload::Complete, 30000);
        QVERIFY(!closing);
        QCOMPARE(readFile(PreDownloadFolder::path(dir) + QStringLiteral("/a.bin")), a3);
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
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(configValue(QStringLiteral("version/") + source), QStringLiteral("7"));
        if (fault == "missing") // quarantined by an antivirus
            QVERIFY(QFile::remove(dir + QStringLiteral("/Quelvane.exe")));
        QVERIFY(writeFile(crashDir() + QStringLiteral("/last.zip"), "crash of the last run"));

        for (int press = 1; press <= 2; ++press) {
            flow->gameBtnClicked();
            QTRY_COMPARE(events(QStringLiteral("game start failed")).size(), press);
            QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("LOAD_ERROR"));
            // The game may be tried again.
            QCOMPARE(flow->phase(), LauncherWorkflow::Ready);
        }
        QVERIFY(!eventField(QStringLiteral("game start failed"), QStringLiteral("reason")).isEmpty());
        QTRY_COMPARE(events(QStringLiteral("game btn clicked")).size(), 2);
        QVERIFY(events(QStringLiteral("game process finished")).isEmpty());
        QVERIFY(!configHas(QStringLiteral("version/") + source));
        QCOMPARE(configValue(QStringLiteral("version/other.bin")), QStringLiteral("2"));
        if (fault == "missing") // the game never started: the crash archive of the last run stays
            QVERIFY(QFile::exists(crashDir() + QStringLiteral("/last.zip")));

        // The next start downloads what brings the game again, and nothing else; a program still on
        // the disk as the version file lists it is recorded again without a fetch (it would be the same).
        closeWorkflow();
        server->clearRequests();
        makeWorkflow();
        STEP(waitForReady());
        QCOMPARE(getsFor(source), fault == "garbage" ? 0 : 1);
        QCOMPARE(getsFor(QStringLiteral("other.bin")), 0);
        QCOMPARE(readFile(dir + QStringLiteral("/Quelvane.exe")), program);
        if (fault == "missing") {
            QSignalSpy finished(flow->gameSession()->gameProcess(),
                                QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            flow->gameBtnClicked();
            QVERIFY(finished.wait(20000));
        }
    }
};

KV_WORKFLOW_TEST_MAIN(GameSessionTest)
#include "tst_gamesession.moc"
