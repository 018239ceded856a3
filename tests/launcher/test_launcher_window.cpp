// The launcher window against a real HTTP server on 127.0.0.1: its captions, pictures and keys,
// what it shows of the version check, the title bar, language changes, the tray and closing.
#include "support/teststep.h"
#include "support/windowfixture.h"
#include "widgets/confirmdialog.h"
#include "widgets/mainbutton.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QWindow>

using namespace WindowTest;
using TestFiles::patternBytes;

class LauncherWindowTest : public WindowFixture {
    Q_OBJECT

private:
    QString infoText() const { return A::ui(window)->launcherDownloadInfo->text(); }

private slots:
    // These tests publish their own version file.
    void init() {
        setUpDirs();
        server->clearFiles();
    }
    void cleanup() {
        tearDownDirs();
        // Requests the window had already sent are read by the server now, before the next case
        // clears its record.
        QTest::qWait(100);
    }

    // ---- window -------------------------------------------------------------------------------

    void startsOnTheLauncherPage() {
        makeWindow();
        Ui::LauncherUpdater *ui = A::ui(window);
        QCOMPARE(window->objectName(), QStringLiteral("LauncherUpdater"));
        QCOMPARE(window->size(), QSize(1300, 731));
        QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
        // A dialog by class, a normal window by type: minimised, it keeps a task-list entry.
        QCOMPARE(window->windowType(), Qt::Window);
        QVERIFY(window->windowHandle());
        QCOMPARE(window->windowHandle()->type(), Qt::Window);
        QCOMPARE(window->windowTitle(), QStringLiteral("Quelvane"));
        QCOMPARE(ui->versionLabel->text(), QStringLiteral("V0.11 "));
        QCOMPARE(ui->appnameLabel->text(), QStringLiteral("Quelvane"));
        QCOMPARE(ui->stackedWidget->currentIndex(), 0);
        QVERIFY(!ui->setting_btn->isActive());
        QVERIFY(ui->close_btn->isActive());
        QVERIFY(ui->minimize_btn->isActive());
        QVERIFY(!ui->launcherDownloadInfo->isVisible());
        QCOMPARE(ui->launcherDownloadInfo->text(), QStringLiteral("Loading"));
        QVERIFY(!ui->launcherProgressBar->isActive());
        QCOMPARE(ui->launcherProgressBar->size(), QSize(853, 36));
        QVERIFY(!ui->gameSrcProgressBar->isActive());
        QVERIFY(!ui->downloadBtn->isActive());
        QVERIFY(ui->startGameBtn->isHidden());
        QWidget *overlay = A::overlay(window);
        QVERIFY(overlay->isHidden());
        QCOMPARE(overlay->geometry(), QRect(0, 0, 1300, 731));
        QVERIFY(!A::trayIcon(window).isVisible());
        QCOMPARE(A::trayMenu(window).actions().size(), 3);
    }

    void paintsBackgroundTitleBandAndTexts() {
        makeWindow();
        const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
        if (!qEnvironmentVariableIsEmpty("KV_SAVE_GRABS"))
            shot.save(qEnvironmentVariable("KV_SAVE_GRABS") + QStringLiteral("/launcher-page-grab.png"));
        QCOMPARE(shot.size(), QSize(1300, 731));
        const QRgb band = QColor("#2e0152").rgb();
        QCOMPARE(shot.pixel(650, 0), band);
        QCOMPARE(shot.pixel(650, 43), band);
        QVERIFY(shot.pixel(650, 44) != band);

        // Below the band: the first background, scaled over the whole window.
        const QImage background = QImage(QStringLiteral(":/images/images/bg1.png"))
                                      .scaled(1300, 731, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                      .convertToFormat(QImage::Format_RGB32);
        for (const QPoint &p : {QPoint(10, 100), QPoint(650, 400), QPoint(1290, 720)}) {
            const QColor a(shot.pixel(p)), b(background.pixel(p));
            QVERIFY2(qAbs(a.red() - b.red()) < 12 && qAbs(a.green() - b.green()) < 12 &&
                         qAbs(a.blue() - b.blue()) < 12,
                     qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
        }

        // The name and version are drawn inside the band.
        auto inkIn = [&](QWidget *w) {
            const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
            int ink = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    ink += shot.pixel(x, y) != band;
            return ink;
        };
        QVERIFY(A::ui(window)->appnameLabel->geometry().bottom() < 44);
        QVERIFY(inkIn(A::ui(window)->appnameLabel) > 50);
        QVERIFY(inkIn(A::ui(window)->versionLabel) > 30);
    }

    void dragsOnlyFromTheTitleBand() {
        makeWindow();
        window->move(100, 100);
        QTRY_COMPARE(window->pos(), QPoint(100, 100));

        auto drag = [this](const QPoint &local, const QPoint &delta) {
            const QPoint global = window->mapToGlobal(local);
            QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
            QApplication::sendEvent(window, &press);
            QMouseEvent move(QEvent::MouseMove, local + delta, global + delta, Qt::NoButton, Qt::LeftButton,
                             {});
            QApplication::sendEvent(window, &move);
            QMouseEvent release(QEvent::MouseButtonRelease, local + delta, global + delta, Qt::LeftButton,
                                Qt::NoButton, {});
            QApplication::sendEvent(window, &release);
        };

        drag(QPoint(600, 43), QPoint(30, 40));
        QTRY_COMPARE(window->pos(), QPoint(130, 140));
        drag(QPoint(600, 44), QPoint(30, 40));
        QTest::qWait(50);
        QCOMPARE(window->pos(), QPoint(130, 140));
        drag(QPoint(600, 300), QPoint(-50, -50));
        QTest::qWait(50);
        QCOMPARE(window->pos(), QPoint(130, 140));
    }

    void debugInfoShowsTheBuildConstants() {
        makeWindow();
        QString title, text;
        QTimer::singleShot(0, this, [&]() {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
        A::showDebugInfo(window);
        QCOMPARE(title, QStringLiteral("Debug info"));
        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[0], QStringLiteral("cdnBaseUrl=%1/sea/win_update/").arg(server->url()));
        QCOMPARE(lines[1], QStringLiteral("buildMode="));
        QCOMPARE(lines[2], QStringLiteral("logUrl=%1/c_bq_log/bq_log").arg(server->url()));
        QCOMPARE(lines[3], QStringLiteral("launcherVersion=0.11"));
        QCOMPARE(lines[4], QStringLiteral("versionFile=version3.txt"));
        QCOMPARE(lines[5], QStringLiteral("crashUploadUrl=%1/api/crash-logs").arg(server->url()));
    }

    void debugInfoShortcut() {
        makeWindow();
        window->activateWindow();
        if (!QTest::qWaitForWindowActive(window))
            QSKIP("window cannot be activated on this platform");
        bool shown = false;
        QTimer::singleShot(0, this, [&]() {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown = box->windowTitle() == QLatin1String("Debug info");
                box->accept();
            }
        });
        QTest::keyClick(window, Qt::Key_G, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(shown);
    }

    void languageChangeFollowsEverywhere() {
        makeWindow();
        Ui::LauncherUpdater *ui = A::ui(window);
        ui->stackedWidget->setCurrentIndex(1);
        A::gameState(window) = 2;
        window->onLanguageChanged(QStringLiteral("English"));
        QVERIFY(ui->startGameBtn->isVisible());
        QVERIFY(ui->startGameBtn->isEnabled());
        QCOMPARE(ui->startGameBtn->textPixelSize, 47);

        Translation::instance()->setLanguageIndex(5);
        Translation *t = Translation::instance();
        QCOMPARE(t->languageName(), QStringLiteral("Japanese"));
        QCOMPARE(window->windowTitle(), t->tr(QStringLiteral("APP_NAME")));
        QCOMPARE(A::trayIcon(window).toolTip(), t->tr(QStringLiteral("APP_NAME")));
        QCOMPARE(ui->startGameBtn->textPixelSize, 40);
        QCOMPARE(ui->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QVERIFY(ui->startGameBtn->isEnabled());
        const QList<QAction *> actions = A::trayMenu(window).actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions[0]->text(), t->tr(QStringLiteral("OPEN")));
        QCOMPARE(actions[2]->text(), t->tr(QStringLiteral("EXIT")));
        QCOMPARE(A::logoPixmap(window).toImage(),
                 QPixmap(QStringLiteral(":/images/images/Japanese/logo.png")).toImage());
        const QPixmap logo = A::logoPixmap(window);
        QCOMPARE(A::logoRect(window),
                 QRect((1300 - logo.width() / 2) / 2, 60, logo.width() / 2, logo.height() / 2));

        // Spanish uses the smaller caption too; a download offered for resuming shows KEEP UPDATE.
        A::gameState(window) = 0;
        Translation::instance()->setLanguageIndex(6);
        QCOMPARE(ui->startGameBtn->textPixelSize, 40);
        QCOMPARE(ui->startGameBtn->textKey(), QStringLiteral("RESUME_DOWNLOADING"));
        A::gameState(window) = 1;
        Translation::instance()->setLanguageIndex(1);
        QCOMPARE(ui->startGameBtn->textPixelSize, 47);
        QVERIFY(!ui->startGameBtn->isEnabled());
        QCOMPARE(A::exitAction(window)->text(), QStringLiteral("EXIT"));
    }

    // ---- what the window shows of the check (its behaviour: tests/workflow) --------------------

    void launcherPageFollowsTheCheck_data() {
        QTest::addColumn<QString>("remote"); // the launcher version listed; empty: no version file
        QTest::newRow("fatal error") << "";
        QTest::newRow("self-update") << "0.2";
        QTest::newRow("up to date") << "0.11";
    }

    void launcherPageFollowsTheCheck() {
        QFETCH(QString, remote);
        const QByteArray payload = patternBytes(300000);
        if (!remote.isEmpty()) {
            server->setFile(VersionPath,
                            line(QStringLiteral("Kestrivane.exe"), remote, md5Hex(payload), payload.size()));
            server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        }
        makeWindow();
        CloseWatcher closed(window);
        Ui::LauncherUpdater *ui = A::ui(window);
        if (remote.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(
                infoText(), QStringLiteral("Fatal error，Network error, please check the network connection"),
                10000);
            QVERIFY(ui->launcherDownloadInfo->isVisible());
            QVERIFY(!ui->launcherProgressBar->isActive());
        } else if (remote == QLatin1String("0.2")) {
            QTRY_VERIFY_WITH_TIMEOUT(closed.closedAtMs >= 0, 10000);
            QVERIFY(ui->launcherProgressBar->isActive());
            QCOMPARE(ui->launcherProgressBar->progressValue(), 100.0f);
            QCOMPARE(infoText(), QStringLiteral("Updating 292.97KB/292.97KB"));
            QVERIFY(!A::isDownloading(window));
            return;
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(ui->stackedWidget->currentIndex(), 1, 5000);
            // The settings button comes with the page, during the fade.
            QVERIFY(ui->setting_btn->isActive());
            QVERIFY(!ui->launcherDownloadInfo->isVisible());
        }
        QCOMPARE(ui->stackedWidget->currentIndex(), remote.isEmpty() ? 0 : 1);
        QVERIFY(window->isVisible());
    }

    // ---- closing and the tray -----------------------------------------------------------------

    void closeWithExitActionSendsTheEventAndCloses() {
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
        makeWindow();
        A::gameState(window) = 2;
        CloseWatcher closed(window);
        QTest::mouseClick(A::ui(window)->close_btn, Qt::LeftButton);
        const qint64 clickedAt = closed.clock.elapsed();
        QVERIFY(!window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(closed.closedAtMs >= 0, 5000);
        QVERIFY(closed.closedAtMs - clickedAt >= 700);
        QTRY_COMPARE(events(QStringLiteral("launcher closed")).size(), 1);
        const QJsonObject e = events(QStringLiteral("launcher closed")).first();
        QCOMPARE(e.keys(), QStringList({"deviceId", "event", "gclid", "src"}));
        QCOMPARE(manualResume().toBool(), false);
    }

    void escapeAndOutsideCloseFollowTheCloseButton_data() {
        QTest::addColumn<bool>("escape");
        // A close request is itself a close event, before the one of the exit sequence.
        QTest::addColumn<int>("closeEvents");
        QTest::newRow("Escape key") << true << 1;
        QTest::newRow("close request") << false << 2;
    }

    void escapeAndOutsideCloseFollowTheCloseButton() {
        QFETCH(bool, escape);
        QFETCH(int, closeEvents);
        const auto leave = [&] {
            if (escape)
                QTest::keyClick(window, Qt::Key_Escape);
            else
                QVERIFY(!window->close());
        };
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
        makeWindow();
        A::isDownloading(window) = true;
        // During a download the confirmation comes first; cancelling keeps the launcher.
        {
            QuestionAnswerer cancel(window, false);
            STEP(leave());
            QVERIFY(cancel.asked);
            QVERIFY(cancel.overlayShown);
            QCOMPARE(cancel.message, Translation::instance()->tr(QStringLiteral("EXITING_TIP")));
        }
        QVERIFY(A::overlay(window)->isHidden());
        QVERIFY(window->isVisible());
        QTest::qWait(300);
        QVERIFY(window->isVisible());
        QCOMPARE(events(QStringLiteral("launcher closed")).size(), 0);

        // Without a download it leaves through the exit sequence: event first, close 800 ms later.
        A::isDownloading(window) = false;
        CloseWatcher closed(window);
        STEP(leave());
        QVERIFY(!window->isVisible());
        QTRY_COMPARE(events(QStringLiteral("launcher closed")).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closeEvents >= closeEvents, 5000);
    }

    void trayMenuActions() {
        makeWindow();
        QMenu &menu = A::trayMenu(window);
        window->hide();
        A::trayIcon(window).show();
        window->trayMenuTriggered(menu.actions().at(0)); // OPEN
        QVERIFY(window->isVisible());
        QVERIFY(!A::trayIcon(window).isVisible());

        window->trayIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());

        // EXIT while idle leaves through the exit sequence.
        GlobalSettings::instance()->setValue(CloseGameAction, 0);
        CloseWatcher closed(window);
        window->hide();
        window->trayMenuTriggered(A::exitAction(window));
        QVERIFY(!window->isVisible());
        QTRY_COMPARE(events(QStringLiteral("launcher closed")).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closedAtMs >= 0, 5000);
    }

    void secondStartWhileTheGameRunsDoesNothing() {
        makeWindow();
        QProcess *game = flow()->gameSession()->gameProcess();
        // Only the second-start rule is looked at here, not the game's own handling.
        QObject::disconnect(game, nullptr, window, nullptr);
        window->hide();
        game->start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(game->waitForStarted(5000));
        window->receivedMessageFromSecondary(1, "activated");
        QVERIFY(!window->isVisible());
        game->kill();
        QVERIFY(game->waitForFinished(5000));
        window->receivedMessageFromSecondary(2, "activated");
        QVERIFY(window->isVisible());
    }
};

KV_LAUNCHER_TEST_MAIN(LauncherWindowTest)
#include "test_launcher_window.moc"
