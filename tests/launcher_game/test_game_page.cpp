// The game page as the window shows the workflow's phases, against a CDN on 127.0.0.1: KEEP UPDATE
// after leaving during a download, the start button's caption, and keys that must reach no hidden
// button (the pause button: e2e_pause_resume). What the workflow does is test_gameresources'.
#include "support/diskfaults.h"
#include "support/windowfixture.h"
#include "support/zipwriter.h"

#include "widgets/imagebutton.h"
#include "workflow/predownload.h"

#include <QPushButton>
#include <QScopeGuard>
#include <QStorageInfo>

using namespace WindowTest;

class GamePageTest : public WindowFixture {
    Q_OBJECT

private slots:
    // The next release fetched on the ready page: the bar with its pause button beside an enabled
    // START, the tray icon's tooltip, pause and continue from the button; once it is here, the line
    // says so and the bar and button go.
    void preDownloadShowsOnTheReadyPage() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(1000, 1));
        makeWindow();
        waitForUpdateFinished();
        closeWindow();
        const QByteArray next = randomBytes(3 * 1024 * 1024, 2);
        server->setFile(remotePath(QStringLiteral("a.bin"), QStringLiteral("2")), next);
        server->setFile(VersionPath + ".coming",
                        versionText().replace("a.bin:1:" + md5Hex(randomBytes(1000, 1)).toLatin1() + ":1000",
                                              "a.bin:2:" + md5Hex(next).toLatin1() + ":3145728"));
        HttpServer::Faults slow;
        slow.bytesPerSecond = 1024 * 1024;
        server->setFaults(remotePath(QStringLiteral("a.bin"), QStringLiteral("2")), slow);

        makeWindow();
        PreDownload *pre = flow()->preDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pre->state(), PreDownload::Fetching, 15000);
        QTRY_COMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("PREDOWNLOAD_TIP"));
        QVERIFY(ui()->gameSrcProgressBar->isActive());
        QVERIFY(ui()->downloadBtn->isActive());
        QVERIFY(ui()->startGameBtn->isEnabled());
        QCOMPARE(A::gameState(window), 2);
        QVERIFY(A::trayIcon(window).toolTip().contains(QStringLiteral("version 2")));
        ui()->downloadBtn->click();
        QCOMPARE(pre->state(), PreDownload::Paused);
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("PREDOWNLOAD_PAUSED_TIP"));
        QVERIFY(ui()->downloadBtn->isActive());
        ui()->downloadBtn->click();
        QCOMPARE(pre->state(), PreDownload::Fetching);
        QTRY_COMPARE_WITH_TIMEOUT(pre->state(), PreDownload::Complete, 30000);
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("PREDOWNLOAD_DONE"));
        QVERIFY(!ui()->gameSrcProgressBar->isActive());
        QVERIFY(!ui()->downloadBtn->isActive());
        QCOMPARE(A::trayIcon(window).toolTip(), Translation::instance()->tr(QStringLiteral("APP_NAME")));
        QVERIFY(ui()->startGameBtn->isEnabled());
    }

    // Left during the download (confirmed), the next start shows KEEP UPDATE, and the button resumes.
    void closingDuringDownloadOffersKeepUpdate() {
        publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(400000, 8));
        publish(QStringLiteral("b.bin"), QStringLiteral("1"), randomBytes(2000000, 9));
        throttle(QStringLiteral("b.bin"), 100000);

        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(flow()->resources()->finishedFileCount() == 1, 15000);

        // Leave through the exit sequence, confirming the question.
        QVERIFY(exitAnswering(true));
        STEP(checkLeftDuringDownload(2, 2));

        closeWindow();
        server->clearFaults();
        server->clearRequests();
        makeWindow();
        QTRY_VERIFY_WITH_TIMEOUT(ui()->startGameBtn->textKey() == QLatin1String("RESUME_DOWNLOADING"), 15000);
        QCOMPARE(A::gameState(window), 0);
        QVERIFY(ui()->startGameBtn->isVisible());
        QVERIFY(ui()->startGameBtn->isEnabled());
        QCOMPARE(ui()->startGameBtn->text(), QStringLiteral("KEEP UPDATE"));
        // The present state, as the workflow gives it (numbers: test_gameresources): it waits for the
        // player, without a time or a speed.
        QCOMPARE(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("RESUME_OFFERED_TIP"));
        QVERIFY(ui()->estimateTimeInfo->text().isEmpty() && ui()->downloadingSpeedInfo->text().isEmpty());
        QVERIFY(ui()->gameSrcProgressBar->isActive());
        QVERIFY(!ui()->downloadBtn->isActive());

        ui()->startGameBtn->click();
        QCOMPARE(A::gameState(window), 1);
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QCOMPARE(configValue(QStringLiteral("download_config/manual_resume")), QStringLiteral("false"));
        waitForUpdateFinished();
        QTRY_COMPARE(events(QStringLiteral("resume downloading")).size(), 1);
        // The button now starts the game, it does not resume a second time.
        QCOMPARE(events(QStringLiteral("resume downloading")).size(), 1);
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

    // An archive downloaded to a disk without room to unpack it: the page says how much room to
    // make, with KEEP UPDATE enabled (unpacking had disabled START), which then only unpacks.
    void unpackingShortOfRoomOffersKeepUpdate() {
        if (!DiskFaults::unavailable().isEmpty())
            QSKIP(qPrintable(DiskFaults::unavailable()));
        const QByteArray data = randomBytes(500000, 13);
        const QByteArray archive = zipBytes({{"pack/data.bin", data, true}});
        publish(QStringLiteral("pack.zip"), QStringLiteral("2"), archive);
        QString why;
        QVERIFY2(DiskFaults::mountSmallDisk(dir, 1024 * 1024, &why), qPrintable(why));
        const auto unmount = qScopeGuard([this] { DiskFaults::unmount(dir); });
        const QString filler = dir + QStringLiteral("/filler");
        QVERIFY(writeFile(
            filler, QByteArray(int(QStorageInfo(dir).bytesAvailable() - archive.size() - 100000), 'f')));

        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("DISK_SPACE_SHORT"),
                                  30000);
        QTRY_VERIFY(ui()->startGameBtn->isEnabled());
        QCOMPARE(ui()->startGameBtn->text(), QStringLiteral("KEEP UPDATE"));
        QCOMPARE(A::gameState(window), 0);
        QVERIFY(!ui()->downloadBtn->isActive());
        QVERIFY2(ui()->gameSrcDownloadInfo->text().startsWith(QLatin1String("Not enough disk space: ")),
                 qPrintable(ui()->gameSrcDownloadInfo->text()));

        QVERIFY(QFile::remove(filler));
        ui()->startGameBtn->click();
        waitForUpdateFinished();
        QVERIFY(ui()->startGameBtn->isEnabled());
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QCOMPARE(readFile(dir + QStringLiteral("/pack/data.bin")), data);
        QCOMPARE(getsFor(QStringLiteral("pack.zip")), 1);
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
};

KV_LAUNCHER_TEST_MAIN(GamePageTest)
#include "test_game_page.moc"
