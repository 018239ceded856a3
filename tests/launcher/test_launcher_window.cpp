// The launcher window against a real HTTP server on 127.0.0.1: version check, self-update,
// title bar, language change and closing.
#include "support/windowfixture.h"
#include "widgets/confirmdialog.h"
#include "widgets/mainbutton.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>

using namespace WindowTest;
using TestFiles::patternBytes;

class LauncherWindowTest : public WindowFixture {
    Q_OBJECT

private:
    QString infoText() const { return A::ui(window)->launcherDownloadInfo->text(); }

    // A check that ended stays ended: no further request of the version file comes in the time
    // a retry would take (the wait ends at once when one comes).
    bool noFurtherVersionRequests() {
        const int before = versionRequests();
        return !QTest::qWaitFor([&] { return versionRequests() > before; }, 1500);
    }
    void status(const QByteArray &path, int code) {
        HttpServer::Faults f;
        f.status = code;
        server->setFaults(path, f);
    }

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
        QCOMPARE(A::trayMenu(window).actions().size(), 2);
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
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0]->text(), t->tr(QStringLiteral("OPEN")));
        QCOMPARE(actions[1]->text(), t->tr(QStringLiteral("EXIT")));
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
        QCOMPARE(A::trayMenu(window).actions().at(1)->text(), QStringLiteral("EXIT"));
    }

    // ---- version check ------------------------------------------------------------------------

    void noUpdateShowsTheGamePageHalfASecondLater() {
        server->setFile(VersionPath, line("Kestrivane.exe", "0.11", QString(32, 'a'), 123));
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(versionRequests(), 1, 5000);
        const qint64 servedAt = server->requestsFor(VersionPath).first().atMs;
        QTRY_COMPARE_WITH_TIMEOUT(A::ui(window)->stackedWidget->currentIndex(), 1, 5000);
        QVERIFY2(server->elapsedMs() - servedAt >= 450, "the page must follow the check after 500 ms");
        QVERIFY(A::ui(window)->setting_btn->isActive());
        QCOMPARE(VersionTable::instance().size(), 1);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("Kestrivane.exe")).size, 123);

        QTRY_COMPARE(events(QStringLiteral("check launcher version")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("check launcher version"), QStringLiteral("result")),
                 QStringLiteral("no need to update launcher"));
        QCOMPARE(flow()->versionCheck()->retryCount(), 1);
    }

    void launcherStartedBodyAndCampaignId() {
        QVERIFY(Platform::setRegistryValue(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Quelvane"),
                                           QStringLiteral("Filename"),
                                           QStringLiteral("Setup_gcA1B2lid.exe")));
        makeWindow();
        QCOMPARE(flow()->campaignId(), QStringLiteral("A1B2"));
        QTRY_VERIFY_WITH_TIMEOUT(!events(QStringLiteral("launcher started")).isEmpty(), 5000);
        const QByteArray body = server->requestsFor(LogPath).first().body;
        const QByteArray expected =
            "{\"deviceId\":\"" + flow()->deviceIdentifier().toUtf8() +
            "\",\"event\":\"launcher started\",\"gclid\":\"A1B2\",\"src\":\"game_launcher\"}";
        QCOMPARE(body, expected);
        const HttpServer::Request request = server->requestsFor(LogPath).first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
    }

    void comparesVersionsAsNumbers_data() {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<bool>("updates");
        QTest::newRow("0.2 is newer than 0.11") << "0.2" << true;
        QTest::newRow("0.110 equals 0.11") << "0.110" << false;
        QTest::newRow("0.10 is older") << "0.10" << false;
        QTest::newRow("1.10 is newer") << "1.10" << true;
    }

    void comparesVersionsAsNumbers() {
        QFETCH(QString, remote);
        QFETCH(bool, updates);
        server->setFile(VersionPath, line("Kestrivane.exe", remote, QString(32, 'a'), 10));
        const QByteArray launcherPath = "/sea/win_update/v" + remote.toUtf8() + "_Kestrivane.exe";
        status(launcherPath, 404);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("check launcher version")).size(), 1, 5000);
        const QString result = eventField(QStringLiteral("check launcher version"), QStringLiteral("result"));
        if (updates) {
            QCOMPARE(result, QStringLiteral("need to update launcher"));
            QTRY_COMPARE(server->requestsFor(launcherPath).size(), 1);
            QVERIFY(A::ui(window)->launcherDownloadInfo->isVisible());
        } else {
            QCOMPARE(result, QStringLiteral("no need to update launcher"));
            QTRY_COMPARE_WITH_TIMEOUT(A::ui(window)->stackedWidget->currentIndex(), 1, 5000);
            QCOMPARE(server->requestsFor(launcherPath).size(), 0);
        }
    }

    void serverErrorIsFinal_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("version is not a number") << line("Kestrivane.exe", "abc", QString(32, 'a'), 1);
        QTest::newRow("version is empty") << line("Kestrivane.exe", "", QString(32, 'a'), 1);
        QTest::newRow("no launcher line") << line("game.zip", "3", QString(32, 'a'), 1);
        QTest::newRow("empty file") << QByteArray("\n\n");
    }

    void serverErrorIsFinal() {
        QFETCH(QByteArray, file);
        server->setFile(VersionPath, file);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("check launcher version")).size(), 1, 5000);
        QCOMPARE(eventField(QStringLiteral("check launcher version"), QStringLiteral("result")),
                 QStringLiteral("server error"));
        QVERIFY(A::ui(window)->launcherDownloadInfo->isVisible());
        QCOMPARE(infoText(), QStringLiteral("Load failed, server error"));
        QVERIFY(!A::isDownloading(window));
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 1);
        QCOMPARE(A::ui(window)->stackedWidget->currentIndex(), 0);
        QVERIFY(!VersionTable::instance().contains(QStringLiteral("Kestrivane.exe")) ||
                file.startsWith("Kestrivane.exe"));
    }

    void shortLineIsAParseErrorAndRetried() {
        const QByteArray bad = line("game.zip", "1", QString(32, 'b'), 5) + "Kestrivane.exe:0.11:abc\n";
        const QByteArray good = line("Kestrivane.exe", "0.11", QString(32, 'a'), 5);
        server->setFiles(VersionPath, {bad, good});
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(
            infoText(), QStringLiteral("Version parsing error, will try again. Tried 2 time(s)"), 5000);
        // Records of the lines before the bad one stay.
        QVERIFY(VersionTable::instance().contains(QStringLiteral("game.zip")));
        QVERIFY(!VersionTable::instance().contains(QStringLiteral("Kestrivane.exe")));
        QTRY_COMPARE_WITH_TIMEOUT(versionRequests(), 2, 5000);
        const QList<HttpServer::Request> requests = server->requestsFor(VersionPath);
        QVERIFY(requests[1].atMs - requests[0].atMs >= 450);
        QTRY_COMPARE_WITH_TIMEOUT(A::ui(window)->stackedWidget->currentIndex(), 1, 5000);
        QVERIFY(!A::ui(window)->launcherDownloadInfo->isVisible());
        // The next attempt's file alone makes the table: the refused file's lines are gone.
        QVERIFY(!VersionTable::instance().contains(QStringLiteral("game.zip")));
    }

    void unsafeNamesAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent") << "..";
        QTest::newRow("dot") << ".";
        QTest::newRow("climbing path") << "../evil.exe";
        QTest::newRow("absolute path") << "/tmp/evil.exe";
        QTest::newRow("sub folder") << "sub/evil.exe";
        QTest::newRow("backslash") << "..\\evil.exe";
        QTest::newRow("NUL") << QStringLiteral("evil") + QChar(0) + QStringLiteral(".exe");
        QTest::newRow("empty") << "";
        QTest::newRow("download configuration") << "config.ini";
        QTest::newRow("settings file") << "Settings.INI";
        QTest::newRow("update script") << "update.vbs";
        QTest::newRow("unix update script") << "update.sh";
        QTest::newRow("device name") << "NUL";
        QTest::newRow("device with extension") << "COM1.txt";
        QTest::newRow("trailing dot") << "res.zip.";
        QTest::newRow("trailing space") << "res.zip ";
    }

    void unsafeNamesAreRefused() {
        QFETCH(QString, name);
        const QByteArray file = line(name, "1", QString(32, 'c'), 5) + line("Kestrivane.exe", "0.11", "x", 5);
        server->setFile(VersionPath, file);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(
            infoText(), QStringLiteral("Version parsing error, will try again. Tried 2 time(s)"), 5000);
        QVERIFY(!VersionTable::instance().contains(name));
        QVERIFY(!VersionTable::instance().contains(QStringLiteral("Kestrivane.exe")));
        // Every attempt meets the same file: three requests, then the fatal text, nothing written.
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Fatal error，Version parsing error"), 5000);
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 3);
        QCOMPARE(events(QStringLiteral("check launcher version")).size(), 0);
        QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"config", "install"}));
    }

    void networkFailuresEndInAFatalError_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("HTTP 500") << 0;
        QTest::newRow("connection reset") << 1;
        QTest::newRow("HTTP 404") << 2;
    }

    void networkFailuresEndInAFatalError() {
        QFETCH(int, mode);
        HttpServer::Faults f;
        f.status = mode == 2 ? 404 : 500;
        f.abort = mode == 1;
        server->setFaults(VersionPath, f);
        makeWindow();
        const QString network = QStringLiteral("Network error, please check the network connection");
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), network + QStringLiteral(", will try again. Tried 2 time(s)"),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), network + QStringLiteral(", will try again. Tried 3 time(s)"),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Fatal error，") + network, 5000);
        QVERIFY(A::ui(window)->launcherDownloadInfo->isVisible());
        QVERIFY(!A::isDownloading(window));
        const int requestsAtTheEnd = versionRequests();
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), requestsAtTheEnd);
        // Qt itself repeats a request once when a kept-alive connection is reset under it.
        if (mode == 1)
            QVERIFY(requestsAtTheEnd >= 3 && requestsAtTheEnd <= 6);
        else
            QCOMPARE(requestsAtTheEnd, 3);
        QTRY_COMPARE(events(QStringLiteral("version file download network error")).size(), 3);
        const QList<QJsonObject> failures = events(QStringLiteral("version file download network error"));
        QCOMPARE(failures.size(), 3);
        for (const QJsonObject &o : failures) {
            QVERIFY(o.value(QStringLiteral("code")).isDouble());
            QVERIFY(o.value(QStringLiteral("code")).toInt() > 0);
        }
        QCOMPARE(A::ui(window)->stackedWidget->currentIndex(), 0);
    }

    void oversizedVersionFileIsANetworkError() {
        server->setFiles(VersionPath,
                         {QByteArray(17 * 1024 * 1024, 'x'), line("Kestrivane.exe", "0.11", "x", 1)});
        HttpServer::Faults hugeWithoutLength;
        hugeWithoutLength.noLength = true;
        hugeWithoutLength.firstRequests = 1;
        server->setFaults(VersionPath, hugeWithoutLength);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(
            infoText(),
            QStringLiteral(
                "Network error, please check the network connection, will try again. Tried 2 time(s)"),
            10000);
        QTRY_COMPARE(events(QStringLiteral("version file download network error")).size(), 1);
        QCOMPARE(events(QStringLiteral("version file download network error"))
                     .first()
                     .value(QStringLiteral("code"))
                     .toInt(),
                 int(QNetworkReply::OperationCanceledError));
        QTRY_COMPARE_WITH_TIMEOUT(A::ui(window)->stackedWidget->currentIndex(), 1, 5000);
        QVERIFY(VersionTable::instance().size() == 1);
    }

    void crlfVersionFileUpdatesTheLauncher() {
        // Windows line ends read like plain line feeds: the sizes stay numbers and the update runs.
        const QByteArray payload = patternBytes(300000);
        const QByteArray md5 = TestFiles::md5Hex(payload).toLatin1();
        server->setFile(VersionPath, "Kestrivane.exe:0.2:" + md5 +
                                         ":300000\r\ngame.zip:7:" + QByteArray(32, 'b') + ":456\r\n");
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        const QString written = dir + QStringLiteral("/v0.2_Kestrivane.exe");
        makeWindow();
        CloseWatcher closed(window);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closedAtMs >= 0, 10000);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("Kestrivane.exe")).size, 300000);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("game.zip")).size, 456);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("game.zip")).md5, QString(32, 'b'));
        QFile file(written);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), payload);
        file.close();

        // A size that still cannot be read bounds the download by a fixed ceiling instead.
        delete window;
        window = nullptr;
        VersionTable::release();
        QVERIFY(QFile::remove(written));
        server->setFile(VersionPath, "Kestrivane.exe:0.2:" + md5 + ":300 000\r\n");
        makeWindow();
        CloseWatcher closedAgain(window);
        QTRY_VERIFY_WITH_TIMEOUT(closedAgain.closedAtMs >= 0, 10000);
        QCOMPARE(VersionTable::instance().value(QStringLiteral("Kestrivane.exe")).size, 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), payload);
    }

    // ---- self-update --------------------------------------------------------------------------

    void selfUpdateWritesTheFileAndRunsTheScript() {
        const QByteArray payload = patternBytes(300000);
        QFile script(dir + QStringLiteral("/update.sh"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/update-args.txt\"\n");
        script.close();
        server->setFile(VersionPath,
                        line("Kestrivane.exe", "0.2", TestFiles::md5Hex(payload), payload.size()));
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        makeWindow();
        CloseWatcher closed(window);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closedAtMs >= 0, 10000);
        QFile written(dir + QStringLiteral("/v0.2_Kestrivane.exe"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), payload);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir + QStringLiteral("/update-args.txt")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(dir + QStringLiteral("/update-args.txt")).size() > 0, 5000);
        QFile args(dir + QStringLiteral("/update-args.txt"));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), QByteArray("v0.2_Kestrivane.exe\n"));
        QVERIFY(!A::isDownloading(window));
        QCOMPARE(A::ui(window)->launcherProgressBar->progressValue(), 100.0f);
        QVERIFY(infoText().startsWith(QStringLiteral("Updating ")));
        QCOMPARE(infoText(), QStringLiteral("Updating 292.97KB/292.97KB"));
        // No temporary file left behind.
        QCOMPARE(QDir(dir).entryList({QStringLiteral("*Kestrivane*")}, QDir::AllEntries | QDir::Hidden),
                 QStringList({"v0.2_Kestrivane.exe"}));
    }

    void upperCaseDigestIsAVerifyError() {
        const QByteArray payload = patternBytes(5000);
        server->setFile(VersionPath,
                        line("Kestrivane.exe", "0.2", TestFiles::md5Hex(payload).toUpper(), payload.size()));
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("File verify error"), 5000);
        QVERIFY(!A::isDownloading(window));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/v0.2_Kestrivane.exe")));
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 1);
        QVERIFY(window->isVisible());
    }

    // Root (and Windows, where the read-only bit of a folder means nothing) ignores the permission.
    static bool writesIntoProtectedFolders() {
        QTemporaryDir probe;
        if (!QFile::setPermissions(probe.path(), QFile::ReadOwner | QFile::ExeOwner))
            return true;
        QFile f(probe.path() + QStringLiteral("/probe"));
        const bool wrote = f.open(QIODevice::WriteOnly);
        f.close();
        f.remove();
        QFile::setPermissions(probe.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return wrote;
    }

    void unwritableTargetIsAWriteError_data() {
        QTest::addColumn<bool>("readOnlyDir");
        QTest::newRow("folder in the way") << false;
        QTest::newRow("write-protected folder") << true;
    }

    void unwritableTargetIsAWriteError() {
        QFETCH(bool, readOnlyDir);
        if (readOnlyDir && writesIntoProtectedFolders())
            QSKIP("this user writes into write-protected folders");
        const QByteArray payload = patternBytes(5000);
        server->setFile(VersionPath,
                        line("Kestrivane.exe", "0.2", TestFiles::md5Hex(payload), payload.size()));
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        QFile script(dir + QStringLiteral("/update.sh"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("touch \"$(dirname \"$0\")/script-ran\"\n");
        script.close();
        makeWindow();
        if (readOnlyDir)
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        else
            QVERIFY(QDir(dir).mkdir(QStringLiteral("v0.2_Kestrivane.exe")));
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("File write error"), 5000);
        QVERIFY(!A::isDownloading(window));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/script-ran")));
        QVERIFY(window->isVisible());
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(QFileInfo(dir + QStringLiteral("/v0.2_Kestrivane.exe")).isDir() || readOnlyDir);
    }

    void launcherLargerThanListedIsANetworkError() {
        const QByteArray payload = patternBytes(50000);
        server->setFile(VersionPath, line("Kestrivane.exe", "0.2", TestFiles::md5Hex(payload), 100));
        server->setFile("/sea/win_update/v0.2_Kestrivane.exe", payload);
        HttpServer::Faults withoutLength;
        withoutLength.noLength = true;
        server->setFaults("/sea/win_update/v0.2_Kestrivane.exe", withoutLength);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Load error, will try again. Tried 2 time(s)"),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(versionRequests(), 2, 5000);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/v0.2_Kestrivane.exe")));
        // Let the third attempt end here, so none of its requests reaches the server in the next case.
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Fatal error，Load error"), 10000);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/v0.2_Kestrivane.exe")));
    }

    void launcherDownloadFailuresUseTheSameThreeAttempts() {
        server->setFile(VersionPath, line("Kestrivane.exe", "0.2", QString(32, 'a'), 100));
        status("/sea/win_update/v0.2_Kestrivane.exe", 404);
        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Load error, will try again. Tried 2 time(s)"),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Load error, will try again. Tried 3 time(s)"),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Fatal error，Load error"), 5000);
        QVERIFY(noFurtherVersionRequests());
        QCOMPARE(versionRequests(), 3);
        QCOMPARE(server->requestsFor("/sea/win_update/v0.2_Kestrivane.exe").size(), 3);
        QVERIFY(!A::isDownloading(window));
        QCOMPARE(infoText(), QStringLiteral("Fatal error，Load error"));
    }

    void progressTexts() {
        makeWindow();
        window->launcherDownloadProgress(524288, -1);
        QCOMPARE(infoText(), QStringLiteral("Updating 512KB"));
        QCOMPARE(A::ui(window)->launcherProgressBar->progressValue(), 0.0f);
        window->launcherDownloadProgress(1572864, 12845056);
        QCOMPARE(infoText(), QStringLiteral("Updating 1.5MB/12.25MB"));
        QVERIFY(qAbs(A::ui(window)->launcherProgressBar->progressValue() - 12.244898f) < 0.001f);
        window->launcherDownloadProgress(0, 0);
        QCOMPARE(infoText(), QStringLiteral("Updating 0B/0B"));
        QCOMPARE(A::ui(window)->launcherProgressBar->progressValue(), 0.0f);
        Translation::instance()->setLanguageIndex(4);
        QCOMPARE(infoText(),
                 Translation::instance()->tr(QStringLiteral("UPDATING")) + QStringLiteral(" 0B/0B"));
    }

    void writeAppDirFileRefusesPathsAndReplacesAtomically() {
        makeWindow();
        QVERIFY(flow()->selfUpdate()->writeAppDirFile("first", QStringLiteral("v1_Kestrivane.exe")));
        QVERIFY(flow()->selfUpdate()->writeAppDirFile("second", QStringLiteral("v1_Kestrivane.exe")));
        QFile f(dir + QStringLiteral("/v1_Kestrivane.exe"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("second"));
        QVERIFY(flow()->selfUpdate()->writeAppDirFile(QByteArray(), QStringLiteral("empty.bin")));
        QCOMPARE(QFileInfo(dir + QStringLiteral("/empty.bin")).size(), 0);
        QVERIFY(!flow()->selfUpdate()->writeAppDirFile("x", QStringLiteral("../outside.bin")));
        QVERIFY(!flow()->selfUpdate()->writeAppDirFile("x", QStringLiteral("sub/inside.bin")));
        QVERIFY(!QFile::exists(root->path() + QStringLiteral("/outside.bin")));
    }

    // ---- closing and the tray -----------------------------------------------------------------

    void closeWithTrayActionHidesWithoutAsking() {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("no notification area here: closing leaves instead (test_launcher_closing)");
        makeWindow();
        A::isDownloading(window) = true; // never asks in this mode
        QTest::mouseClick(A::ui(window)->close_btn, Qt::LeftButton);
        QTest::qWait(100);
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(A::trayIcon(window).isVisible());
        QVERIFY(!window->isVisible());
        QCOMPARE(events(QStringLiteral("launcher closed")).size(), 0);

        // A second launcher start brings it back.
        window->receivedMessageFromSecondary(1, "activated");
        QVERIFY(window->isVisible());
        QVERIFY(!window->isMinimized());
        QVERIFY(!A::trayIcon(window).isVisible());
    }

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

    // Leaving confirmed during a real download: test_launcher_closing and test_game_resources.
    void exitDuringDownloadAsksFirstAndCancelKeepsAll() {
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
        makeWindow();
        A::isDownloading(window) = true;
        QuestionAnswerer answer(window, false);
        CloseWatcher closed(window);
        QTest::mouseClick(A::ui(window)->close_btn, Qt::LeftButton);
        QVERIFY(answer.overlayShown);
        QCOMPARE(answer.message, Translation::instance()->tr(QStringLiteral("EXITING_TIP")));
        QVERIFY(A::overlay(window)->isHidden());
        // A confirmed close ends the window a second later: a cancelled one must not.
        QVERIFY(!QTest::qWaitFor(
            [&] { return closed.closedAtMs >= 0 || !events(QStringLiteral("launcher closed")).isEmpty(); },
            1200));
        QVERIFY(window->isVisible());
        QVERIFY(!manualResume().isValid());
    }

    void escapeAndOutsideCloseFollowTheCloseButton_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Escape key") << true;
        QTest::newRow("close request") << false;
    }

    void escapeAndOutsideCloseFollowTheCloseButton() {
        QFETCH(bool, escape);
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
        makeWindow();
        A::isDownloading(window) = true;
        // During a download the confirmation comes first; cancelling keeps the launcher.
        {
            QuestionAnswerer cancel(window, false);
            if (escape)
                QTest::keyClick(window, Qt::Key_Escape);
            else
                QVERIFY(!window->close());
            QVERIFY(cancel.asked);
        }
        QVERIFY(window->isVisible());
        QTest::qWait(300);
        QVERIFY(window->isVisible());
        QCOMPARE(events(QStringLiteral("launcher closed")).size(), 0);

        // Without a download it leaves through the exit sequence: event first, close 800 ms later.
        A::isDownloading(window) = false;
        CloseWatcher closed(window);
        if (escape)
            QTest::keyClick(window, Qt::Key_Escape);
        else
            QVERIFY(!window->close());
        QVERIFY(!window->isVisible());
        QTRY_COMPARE(events(QStringLiteral("launcher closed")).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closeEvents >= (escape ? 1 : 2), 5000);
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
        window->trayMenuTriggered(menu.actions().at(1));
        QVERIFY(!window->isVisible());
        QTRY_COMPARE(events(QStringLiteral("launcher closed")).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(closed.closedAtMs >= 0, 5000);
    }

    void contextMenuOpensAboveAndLeftOfTheCursor() {
        makeWindow();
        QCursor::setPos(700, 500);
        QMenu &menu = A::trayMenu(window);
        window->trayIconActivated(QSystemTrayIcon::Context);
        QVERIFY(menu.isVisible());
        const QPoint cursor = QCursor::pos();
        // Some platforms add a frame of a few pixels around the placed popup.
        const QPoint corner = menu.geometry().bottomRight() + QPoint(1, 1);
        QVERIFY2((corner - cursor).manhattanLength() <= 4,
                 qPrintable(QStringLiteral("menu ends at %1,%2").arg(corner.x()).arg(corner.y())));
        menu.hide();
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
