// The game-resource update and the extraction, driven through the window against a CDN on 127.0.0.1.
#include "support/windowfixture.h"
#include "support/zipwriter.h"

#include "download/xdmanager.h"
#include "widgets/confirmdialog.h"
#include "widgets/imagebutton.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QPushButton>

using namespace WindowTest;
using A = LauncherUpdaterTestAccess;

namespace {

// Records the page's extraction line each time the window creates the watcher of an archive,
// which happens right after the line and the bar were set for that archive.
class ExtractionSteps : public QObject {
public:
    struct Step {
        QString key;
        QStringList args;
        float progress;
    };
    QList<Step> steps;
    Ui::LauncherUpdater *ui;

    ExtractionSteps(QObject *window, Ui::LauncherUpdater *u)
        : ui(u) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::ChildAdded &&
            ui->gameSrcDownloadInfo->textKey() == QLatin1String("%1 %2/%3")) {
            const Step s{ui->gameSrcDownloadInfo->textKey(), argTexts(ui->gameSrcDownloadInfo),
                         ui->gameSrcProgressBar->progressValue()};
            if (steps.isEmpty() || steps.last().args != s.args)
                steps.append(s);
        }
        return false;
    }
};

} // namespace

class GameResourcesTest : public WindowFixture {
    Q_OBJECT

private slots:
    void firstStartDownloadsEverythingAndRecordsVersions() {
        const QByteArray pak = randomBytes(5000000, 2); // two pieces
        const QByteArray mapA = "map a\n";
        const QByteArray deep = randomBytes(70000, 3);
        const QByteArray readme = "new readme\n";
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(300000, 1));
        publish(QStringLiteral("data.pak"), QStringLiteral("2"), pak);
        // File entries only: the parent folders come from the names.
        publish(QStringLiteral("res.zip"), QStringLiteral("7"),
                zipBytes({{"maps/a.txt", mapA}, {"maps/deep/b.bin", deep}, {"readme.txt", readme}}));
        QVERIFY(writeFile(dir + QStringLiteral("/readme.txt"), "old readme, replaced\n"));
        QVERIFY(writeFile(dir + QStringLiteral("/keep.txt"), "not in any archive\n"));

        makeWindow();
        waitForUpdateFinished();

        QCOMPARE(configValue(QStringLiteral("version/game.bin")), QStringLiteral("3"));
        QCOMPARE(configValue(QStringLiteral("version/data.pak")), QStringLiteral("2"));
        QCOMPARE(configValue(QStringLiteral("version/res.zip")), QStringLiteral("7"));
        QVERIFY(!configHas(QStringLiteral("version/Kestrivane.exe")));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QVERIFY(!configHas(QStringLiteral("download_config/manual_resume")));

        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(readFile(dir + QStringLiteral("/data.pak")), pak);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/res.zip")));
        QCOMPARE(readFile(dir + QStringLiteral("/maps/a.txt")), mapA);
        QCOMPARE(readFile(dir + QStringLiteral("/maps/deep/b.bin")), deep);
        QCOMPARE(readFile(dir + QStringLiteral("/readme.txt")), readme);
        QCOMPARE(readFile(dir + QStringLiteral("/keep.txt")), QByteArray("not in any archive\n"));

        // The launcher's own entry is counted but never fetched here.
        QCOMPARE(getsFor(QStringLiteral("Kestrivane.exe")), 0);
        QCOMPARE(flow()->resources()->totalBytes(),
                 qint64(game.size() + pak.size() + release.value("res.zip").data.size() + LauncherEntrySize));
        QCOMPARE(flow()->resources()->updateFileCount(), 3);
        QCOMPARE(flow()->resources()->finishedFileCount(), 3);
        QVERIFY(!A::isDownloading(window));
        QVERIFY(!flow()->resources()->measuringSpeed());
        QVERIFY(!ui()->downloadBtn->isActive());
        QVERIFY(!ui()->gameSrcProgressBar->isActive());
        QVERIFY(ui()->estimateTimeInfo->text().isEmpty());
        QVERIFY(ui()->downloadingSpeedInfo->text().isEmpty());
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QVERIFY(ui()->startGameBtn->isEnabled());
        QTRY_COMPARE(events(QStringLiteral("enable game btn")).size(), 1);
        QCOMPARE(events(QStringLiteral("uncompress failed")).size(), 0);
        QCOMPARE(events(QStringLiteral("game src download failed")).size(), 0);

        // A second start finds everything installed: nothing is fetched, the game is ready at once.
        closeWindow();
        server->clearRequests();
        makeWindow();
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("game.bin")) + getsFor(QStringLiteral("data.pak")) +
                     getsFor(QStringLiteral("res.zip")),
                 0);
        QVERIFY(flow()->resources()->downloadManager() == nullptr);
        QCOMPARE(readFile(dir + QStringLiteral("/maps/a.txt")), mapA);
    }

    void changedVersionFetchesOnlyThatFile() {
        const QByteArray oldGame =
            publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(1000, 4));
        const QByteArray exe =
            publish(QStringLiteral("Quelvane.exe"), QStringLiteral("12"), randomBytes(20000, 5));
        QVERIFY(writeFile(dir + QStringLiteral("/game.bin"), oldGame));
        writeConfig(QStringLiteral("version/game.bin"), QStringLiteral("3"));
        // Versions compare as text: "12.0" is not "12".
        writeConfig(QStringLiteral("version/Quelvane.exe"), QStringLiteral("12.0"));

        makeWindow();
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 0);
        QCOMPARE(getsFor(QStringLiteral("Quelvane.exe")), 1);
        QCOMPARE(server->requestsFor(remotePath(QStringLiteral("Quelvane.exe"), QStringLiteral("12"))).size(),
                 1);
        QCOMPARE(readFile(dir + QStringLiteral("/Quelvane.exe")), exe);
        QCOMPARE(configValue(QStringLiteral("version/Quelvane.exe")), QStringLiteral("12"));
        // A non-zip file is recorded, never marked for extraction.
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QCOMPARE(flow()->resources()->updateFileCount(), 1);
        QCOMPARE(flow()->resources()->presentBytes(), qint64(oldGame.size() + exe.size()));
    }

    void gigabyteTotalsDoNotOverflow() {
        // Two files over 2^31 bytes together; one installed, one offered for download.
        QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
        auto add = [&table](const QString &name, const QString &version, int size) {
            RemoteFileInfo e;
            e.name = name;
            e.version = version;
            e.md5 = md5Hex(QByteArray());
            e.size = size;
            table.insert(name, e);
        };
        add(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"), 1000);
        add(QStringLiteral("big1.pak"), QStringLiteral("1"), 2000000000);
        add(QStringLiteral("big2.pak"), QStringLiteral("1"), 1000000000);
        writeConfig(QStringLiteral("version/big1.pak"), QStringLiteral("1"));
        QVERIFY(writeFile(dir + QStringLiteral("/big1.pak"), QByteArray()));
        QVERIFY(QFile::resize(dir + QStringLiteral("/big1.pak"), 2000000000)); // sparse
        writeConfig(QStringLiteral("download_config/manual_resume"), true);

        window = new LauncherUpdater(); // the version check never runs: the event loop does not spin
        flow()->beginGameResources();
        QCOMPARE(flow()->resources()->totalBytes(), qint64(3000001000));
        QCOMPARE(flow()->resources()->presentBytes(), qint64(2000000000));
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("RESUME_DOWNLOADING"));
        QCOMPARE(argTexts(ui()->gameSrcDownloadInfo),
                 (QStringList{QStringLiteral("66"), QStringLiteral("1.86GB"), QStringLiteral("2.79GB")}));
        QVERIFY(qAbs(ui()->gameSrcProgressBar->progressValue() - 66.6666f) < 0.01f);
    }

    void pausedLabelsAreEmptyAndContinueFinishes() {
        // About 7 s each at the throttled rate: neither can complete during the pause below, even
        // when a loaded machine shows the first speed figure late.
        const QByteArray a = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(1400000, 6));
        const QByteArray b = publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(1400000, 7));
        throttle(QStringLiteral("a.bin"), 200000);
        throttle(QStringLiteral("b.bin"), 200000);

        makeWindow();
        // The page is refreshed once a second while the download runs.
        QTRY_VERIFY_WITH_TIMEOUT(!ui()->downloadingSpeedInfo->text().isEmpty(), 15000);
        QVERIFY(ui()->downloadBtn->isActive());
        QCOMPARE(A::gameState(window), 1);
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QVERIFY(!ui()->startGameBtn->isEnabled());
        QVERIFY(A::isDownloading(window));

        ui()->downloadBtn->click();
        QVERIFY((flow()->phase() == LauncherWorkflow::Paused));
        QVERIFY(flow()->resources()->downloadManager()->isPaused());
        QVERIFY(!flow()->resources()->measuringSpeed());
        QVERIFY(ui()->downloadBtn->isActive());
        const QString progressText = ui()->gameSrcDownloadInfo->text();
        QVERIFY(progressText.contains(QLatin1Char('%')));
        // The page refresh (once a second) stays off while paused.
        QVERIFY(ui()->estimateTimeInfo->text().isEmpty());
        QVERIFY(ui()->downloadingSpeedInfo->text().isEmpty());
        QVERIFY(!QTest::qWaitFor(
            [&] {
                return !ui()->estimateTimeInfo->text().isEmpty() ||
                       !ui()->downloadingSpeedInfo->text().isEmpty() ||
                       ui()->gameSrcDownloadInfo->text() != progressText;
            },
            1500));
        QVERIFY(A::isDownloading(window));

        server->clearFaults();
        ui()->downloadBtn->click();
        QVERIFY(!(flow()->phase() == LauncherWorkflow::Paused));
        QVERIFY(flow()->resources()->measuringSpeed());
        waitForUpdateFinished();
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), a);
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), b);
    }

    void closingDuringDownloadOffersKeepUpdate() {
        const QByteArray a = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(400000, 8));
        const QByteArray b = publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(2000000, 9));
        throttle(QStringLiteral("b.bin"), 100000);

        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(flow()->resources()->finishedFileCount() == 1, 15000);
        QCOMPARE(flow()->resources()->startedFiles(), QStringList{QStringLiteral("b.bin")});

        // Leave through the exit sequence, confirming the question.
        QVERIFY(exitAnswering(true));
        STEP(checkLeftDuringDownload(2, 2));
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("1"));
        QVERIFY(!configHas(QStringLiteral("version/b.bin")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/b.bin")));

        closeWindow();
        server->clearFaults();
        server->clearRequests();
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->startGameBtn->textKey() == QLatin1String("RESUME_DOWNLOADING"), 15000);
        QCOMPARE(A::gameState(window), 0);
        QVERIFY(ui()->startGameBtn->isVisible());
        QVERIFY(ui()->startGameBtn->isEnabled());
        QCOMPARE(Translation::instance()->tr(QStringLiteral("RESUME_DOWNLOADING")),
                 QStringLiteral("KEEP UPDATE"));
        const qint64 total = a.size() + b.size() + LauncherEntrySize;
        const int percent = int(float(double(a.size()) * 100.0 / double(total)));
        QCOMPARE(argTexts(ui()->gameSrcDownloadInfo),
                 (QStringList{QString::number(percent), LauncherUpdater::formatSize(a.size(), 2),
                              LauncherUpdater::formatSize(float(total), 2)}));
        QCOMPARE(argTexts(ui()->estimateTimeInfo), QStringList{QStringLiteral("00:00:00")});
        QCOMPARE(argTexts(ui()->downloadingSpeedInfo), QStringList{QStringLiteral("0B")});
        QVERIFY(ui()->gameSrcProgressBar->isActive());
        QVERIFY(!flow()->resources()->measuringSpeed());
        QVERIFY(!ui()->downloadBtn->isActive());
        // Nothing starts by itself.
        QTest::qWait(500);
        QCOMPARE(getsFor(QStringLiteral("b.bin")), 0);

        ui()->startGameBtn->click();
        QCOMPARE(A::gameState(window), 1);
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("a.bin")), 0);
        QCOMPARE(readFile(dir + QStringLiteral("/b.bin")), b);
        QTRY_COMPARE(events(QStringLiteral("resume downloading")).size(), 1);
        // The button now starts the game, it does not resume a second time.
        QCOMPARE(events(QStringLiteral("resume downloading")).size(), 1);
    }

    void threeArchivesShowUncompressSteps() {
        publish(QStringLiteral("a.zip"), QStringLiteral("1"), zipBytes({{"a/one.txt", "one"}}));
        publish(QStringLiteral("b.zip"), QStringLiteral("1"),
                zipBytes({{"b/two.txt", randomBytes(50000, 10)}}));
        publish(QStringLiteral("c.zip"), QStringLiteral("1"),
                zipBytes({{"c/", ""}, {"c/three.txt", "three"}}));

        makeWindow();
        ExtractionSteps steps(flow()->extraction(), ui());
        waitForUpdateFinished();

        QCOMPARE(steps.steps.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(steps.steps[i].args, (QStringList{QStringLiteral("Uncompress"), QString::number(i + 1),
                                                       QStringLiteral("3")}));
        }
        QVERIFY(qAbs(steps.steps[0].progress - 33.333f) < 0.01f);
        QVERIFY(qAbs(steps.steps[1].progress - 66.667f) < 0.01f);
        QCOMPARE(steps.steps[2].progress, 100.0f);
        QCOMPARE(flow()->extraction()->extractedCount(), 3);
        QCOMPARE(flow()->extraction()->extractTotal(), 3);
        QVERIFY(ui()->startGameBtn->isEnabled());
        QCOMPARE(readFile(dir + QStringLiteral("/a/one.txt")), QByteArray("one"));
        QCOMPARE(readFile(dir + QStringLiteral("/c/three.txt")), QByteArray("three"));
        for (const char *name : {"a.zip", "b.zip", "c.zip"}) {
            QVERIFY(!QFile::exists(dir + QLatin1Char('/') + QLatin1String(name)));
            QCOMPARE(configValue(QStringLiteral("version/") + QLatin1String(name)), QStringLiteral("1"));
        }
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QTRY_COMPARE(events(QStringLiteral("enable game btn")).size(), 1);
    }

    void damagedArchiveIsForgotten() {
        const QByteArray junk = QByteArray("this is not a zip archive\n").repeated(2000);
        publish(QStringLiteral("bad.zip"), QStringLiteral("4"), junk);
        publish(QStringLiteral("ok.bin"), QStringLiteral("1"), "fine");

        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey() == QLatin1String("UNCOMPRESS_FAILED"),
                                 30000);
        QVERIFY(!configHas(QStringLiteral("version/bad.zip")));
        QVERIFY(!configHas(QStringLiteral("uncompressing/bad.zip")));
        QCOMPARE(configValue(QStringLiteral("version/ok.bin")), QStringLiteral("1"));
        QTRY_VERIFY(!QFile::exists(dir + QStringLiteral("/bad.zip")));
        QVERIFY(!ui()->startGameBtn->isEnabled());
        QVERIFY(A::gameState(window) != 2);
        QVERIFY(A::isDownloading(window));
        QTRY_COMPARE(events(QStringLiteral("uncompress failed")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("uncompress failed"), QStringLiteral("file")),
                 QStringLiteral("bad.zip"));
        QVERIFY(eventField(QStringLiteral("uncompress failed"), QStringLiteral("reason"))
                    .endsWith(QLatin1String("bad.zip: not a readable zip archive")));
        QCOMPARE(events(QStringLiteral("enable game btn")).size(), 0);

        // The next start fetches it again.
        closeWindow();
        server->clearRequests();
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey() == QLatin1String("UNCOMPRESS_FAILED"),
                                 30000);
        QCOMPARE(getsFor(QStringLiteral("bad.zip")), 1);
        QCOMPARE(getsFor(QStringLiteral("ok.bin")), 0);
    }

    void archiveClimbingOutWritesNothingOutside() {
        QFETCH(QByteArray, entry);
        publish(QStringLiteral("evil.zip"), QStringLiteral("1"),
                zipBytes({{"fine.txt", "ok"}, {entry, "evil"}}));
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey() == QLatin1String("UNCOMPRESS_FAILED"),
                                 30000);
        QVERIFY(!QFile::exists(root->path() + QStringLiteral("/evil")));
        QVERIFY(!QFile::exists(QStringLiteral("/abs-kv-evil")));
        for (const QString &name : QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            QVERIFY2(!name.contains(QStringLiteral("evil")), qPrintable(name));
        QVERIFY(!configHas(QStringLiteral("version/evil.zip")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/evil.zip")));
    }
    void archiveClimbingOutWritesNothingOutside_data() {
        QTest::addColumn<QByteArray>("entry");
        QTest::newRow("dotdot") << QByteArray("../evil");
        QTest::newRow("absolute") << QByteArray("/abs-kv-evil");
        QTest::newRow("drive") << QByteArray("C:\\evil");
        QTest::newRow("backslash") << QByteArray("a\\..\\..\\evil");
    }

    void interruptedExtractionRunsAgainWithoutDownload() {
        const QByteArray archive =
            zipBytes({{"levels/1.dat", randomBytes(30000, 11)}, {"levels/2.dat", "two"}});
        publish(QStringLiteral("levels.zip"), QStringLiteral("5"), archive);
        // State of a launcher closed while extracting: recorded, marked, the archive still there,
        // one entry half written.
        QVERIFY(writeFile(dir + QStringLiteral("/levels.zip"), archive));
        QVERIFY(writeFile(dir + QStringLiteral("/levels/1.dat"), "half"));
        writeConfig(QStringLiteral("version/levels.zip"), QStringLiteral("5"));
        writeConfig(QStringLiteral("uncompressing/levels.zip"), 1);

        makeWindow();
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("levels.zip")), 0);
        QCOMPARE(flow()->extraction()->extractTotal(), 1);
        QCOMPARE(readFile(dir + QStringLiteral("/levels/2.dat")), QByteArray("two"));
        QCOMPARE(readFile(dir + QStringLiteral("/levels/1.dat")).size(), 30000);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/levels.zip")));
        QVERIFY(configKeys(QStringLiteral("uncompressing")).isEmpty());
        QCOMPARE(configValue(QStringLiteral("version/levels.zip")), QStringLiteral("5"));
    }

    void unpackingWithoutDownloadKeepsTheStartCaption() {
        // Nothing to download, an archive left to unpack by a launcher closed during its unpacking.
        const QByteArray archive = zipBytes({{"pack/data.bin", randomBytes(6000000, 12)}});
        for (const auto &listed : {qMakePair(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11")),
                                   qMakePair(QStringLiteral("pack.zip"), QStringLiteral("3"))}) {
            RemoteFileInfo e;
            e.name = listed.first;
            e.version = listed.second;
            e.md5 = md5Hex(archive);
            e.size = archive.size();
            VersionTable::instance().insert(e.name, e);
        }
        QVERIFY(writeFile(dir + QStringLiteral("/pack.zip"), archive));
        writeConfig(QStringLiteral("version/pack.zip"), QStringLiteral("3"));
        writeConfig(QStringLiteral("uncompressing/pack.zip"), 1);

        window = new LauncherUpdater(); // no version check: the event loop does not spin before the unpacking
        window->show();
        flow()->beginGameResources();
        // The unpacking runs; its end is handled only when the event loop spins again.
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("%1 %2/%3"));
        Translation::instance()->setLanguageIndex(5);
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QVERIFY(!ui()->startGameBtn->isEnabled());

        // Leaving now (confirmed): there is no download to offer again next time.
        exitAnswering(true);
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));

        QTRY_COMPARE_WITH_TIMEOUT(A::gameState(window), 2, 30000);
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QVERIFY(ui()->startGameBtn->isEnabled());
        QVERIFY(readFile(dir + QStringLiteral("/pack/data.bin")).size() == 6000000);
    }

    void keysNeverReachAHiddenButton() {
        // The launcher page (version file held back), the download page, the ready page: Enter
        // clicks nothing and opens nothing, Tab never stops on a button that is not shown.
        publish(QStringLiteral("slow.bin"), QStringLiteral("1"), randomBytes(300000, 4));
        throttle(QStringLiteral("slow.bin"), 100000);
        HttpServer::Faults hold;
        hold.hold = true;
        server->setFaults(VersionPath, hold);
        makeWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));

        int clicks = 0;
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            QVERIFY(!button->isDefault() && !button->autoDefault());
            connect(button, &QPushButton::clicked, this, [&clicks]() { ++clicks; });
        }
        QStringList dialogs;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&dialogs]() {
            if (auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                dialogs << QString::fromLatin1(modal->metaObject()->className());
                modal->reject();
            }
        });
        poll.start(20);
        const auto pressKeys = [&](const char *page) {
            for (int tab = 0; tab < 8; ++tab) {
                QWidget *focus = QApplication::focusWidget() ? QApplication::focusWidget() : window;
                if (auto *button = qobject_cast<ImageButton *>(focus))
                    QVERIFY2(button->isActive(), qPrintable(page + (" focus on " + button->objectName())));
                QTest::keyClick(focus, Qt::Key_Return);
                QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window,
                                Qt::Key_Enter, Qt::KeypadModifier);
                QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window,
                                Qt::Key_Tab);
            }
            QTest::qWait(100);
            QVERIFY2(dialogs.isEmpty(), qPrintable(page + (": " + dialogs.join(' '))));
            QCOMPARE(clicks, 0);
        };

        QVERIFY(!ui()->setting_btn->isActive());
        QTest::keyClick(ui()->setting_btn, Qt::Key_Space);
        pressKeys("launcher page");

        server->setFaults(VersionPath, HttpServer::Faults());
        server->release();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->downloadBtn->isActive() && ui()->setting_btn->isActive(), 20000);
        pressKeys("download page");
        QVERIFY(!(flow()->phase() == LauncherWorkflow::Paused));

        waitForUpdateFinished();
        QVERIFY(!ui()->downloadBtn->isActive());
        QTest::keyClick(ui()->downloadBtn, Qt::Key_Space);
        pressKeys("ready page");
        QCOMPARE(events(QStringLiteral("game btn clicked")).size(), 0);
    }

    void downloadErrorsStopTheUpdate() {
        publish(QStringLiteral("good.bin"), QStringLiteral("1"), "good");
        publish(QStringLiteral("wrong.bin"), QStringLiteral("1"), "bytes", md5Hex("other bytes"));
        publishMissing(QStringLiteral("missing.bin"), QStringLiteral("1"), 100);

        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey() == QLatin1String("NETWORK_ERROR"),
                                 30000);
        QCOMPARE(configValue(QStringLiteral("version/good.bin")), QStringLiteral("1"));
        QVERIFY(!configHas(QStringLiteral("version/wrong.bin")));
        QVERIFY(!configHas(QStringLiteral("version/missing.bin")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/wrong.bin")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/missing.bin")));
        QVERIFY(!ui()->downloadBtn->isActive());
        QVERIFY(!flow()->resources()->measuringSpeed());
        QVERIFY(ui()->estimateTimeInfo->text().isEmpty());
        QVERIFY(!ui()->startGameBtn->isEnabled());
        QVERIFY(!A::isDownloading(window));
        QTRY_COMPARE(events(QStringLiteral("md5 verify failed")).size(), 1);
        QTRY_COMPARE(events(QStringLiteral("game src download failed")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("md5 verify failed"), QStringLiteral("file")),
                 QStringLiteral("wrong.bin"));
        QCOMPARE(eventField(QStringLiteral("game src download failed"), QStringLiteral("file")),
                 QStringLiteral("missing.bin"));
        // Each failure event says why: the digests, and the HTTP answer of the piece.
        QVERIFY(eventField(QStringLiteral("md5 verify failed"), QStringLiteral("reason"))
                    .contains(md5Hex("other bytes")));
        const QString why = eventField(QStringLiteral("game src download failed"), QStringLiteral("reason"));
        QVERIFY2(why.startsWith(QLatin1String("piece 0 of v1_missing.bin failed every attempt")),
                 qPrintable(why));
        // Nothing further happens in this run.
        QTest::qWait(300);
        QCOMPARE(events(QStringLiteral("enable game btn")).size(), 0);
    }

    void flagsEndWithWhatTheyDescribe() {
        // A resume flag left by an interrupted run is cleared by a start that needs no download ...
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), "one");
        QVERIFY(writeFile(dir + QStringLiteral("/a.bin"), "one"));
        writeConfig(QStringLiteral("version/a.bin"), QStringLiteral("1"));
        writeConfig(QStringLiteral("download_config/manual_resume"), true);
        makeWindow();
        waitForUpdateFinished();
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));
        closeWindow();

        // ... so the next real update starts by itself. It ends in errors: nothing runs any more,
        // so leaving asks nothing and the next start is not held back either.
        publish(QStringLiteral("a.bin"), QStringLiteral("2"), "two");
        publishMissing(QStringLiteral("gone.bin"), QStringLiteral("1"), 100);
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey() == QLatin1String("NETWORK_ERROR"),
                                 30000);
        QCOMPARE(configValue(QStringLiteral("version/a.bin")), QStringLiteral("2"));
        QVERIFY(!A::isDownloading(window));
        QVERIFY(!exitAnswering(false));
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));
    }

    void verifyErrorAloneShowsVerifyError() {
        publish(QStringLiteral("wrong.bin"), QStringLiteral("1"), "bytes", md5Hex("other bytes"));
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey() == QLatin1String("VERIFY_ERROR"),
                                 30000);
        QCOMPARE(A::gameState(window), 1);
    }
};

KV_LAUNCHER_TEST_MAIN(GameResourcesTest)
#include "test_game_resources.moc"
