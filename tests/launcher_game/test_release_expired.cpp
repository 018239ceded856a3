// The window with a release key when the CDN gives no release to take (expired, unreachable, refused):
// the game page says why and counts down, START enabled for an installed game; with nothing installed
// an unreachable server keeps the fatal error on the launcher page.
#include "support/testkeys.h"
#include "support/windowfixture.h"
#include "trust/minisignsecretkey.h"

#include <QDateTime>

using namespace WindowTest;

class ReleaseExpiredTest : public WindowFixture {
    Q_OBJECT

private slots:
    void gamePageWithoutAReleaseToTake_data() {
        QTest::addColumn<QString>("served");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("shown"); // on the game page; empty: the fatal error stays
        QTest::newRow("expired, no game") << "expired" << false << "RELEASE_OUT_OF_DATE";
        QTest::newRow("expired, game installed") << "expired" << true << "RELEASE_OUT_OF_DATE";
        QTest::newRow("away, game installed") << "away" << true << "UPDATE_SERVER_UNREACHABLE";
        QTest::newRow("away, no game") << "away" << false << "";
        QTest::newRow("signature refused, game installed") << "refused" << true << "RELEASE_SIGNATURE_ERROR";
    }
    void gamePageWithoutAReleaseToTake() {
        QFETCH(QString, served);
        QFETCH(bool, installed);
        QFETCH(QString, shown);
        publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(20000, 4));
        const qint64 signedAt = QDateTime::currentSecsSinceEpoch() - (served == "expired" ? 10 * 86400 : 0);
        const QByteArray comment =
            "timestamp:" + QByteArray::number(signedAt) + "\tvalid_days:2\tfile:version3.txt";
        server->setFile(VersionPath + ".minisig",
                        MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
                            .sign(served == "refused" ? "another release" : versionText(), comment)
                            .toFile("test"));
        HttpServer::Faults away;
        away.abort = true;
        if (served == "away")
            server->setFaults(VersionPath, away);
        if (installed)
            QVERIFY(writeFile(dir + QStringLiteral("/Quelvane.exe"), "game"));

        makeWindow();
        if (shown.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(ui()->launcherDownloadInfo->textKey(), QStringLiteral("FATAL_ERROR"),
                                      15000);
            QCOMPARE(ui()->stackedWidget->currentIndex(), 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey(), shown, 15000);
        QCOMPARE(ui()->stackedWidget->currentIndex(), 1);
        QCOMPARE(ui()->gameSrcDownloadInfo->text(), Translation::instance()->tr(shown));
        QVERIFY(ui()->gameSrcDownloadInfo->isVisible());
        QCOMPARE(ui()->estimateTimeInfo->textKey(), QStringLiteral("RETRY_COUNTDOWN"));
        QVERIFY(ui()->startGameBtn->isVisible());
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QCOMPARE(ui()->startGameBtn->isEnabled(), installed);
        // Only an unreachable server is asked again by the round button.
        QCOMPARE(ui()->downloadBtn->isActive(), served != "expired");
        QVERIFY(!ui()->gameSrcProgressBar->isActive());
        if (served == "expired")
            QVERIFY(ui()->launcherDownloadInfo->textKey() != QLatin1String("FATAL_ERROR"));
        QVERIFY(!A::isDownloading(window));
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 0);
        if (served != "away")
            return;
        // Back, and asked now rather than after the 30 s pause: the update comes.
        server->clearFaults();
        QTest::mouseClick(ui()->downloadBtn, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(flow()->phase(), LauncherWorkflow::Ready, 20000);
        waitForUpdateFinished();
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 1);
    }
};

int main(int argc, char **argv) {
    const int parentResult = HttpServer::runChildWithPort(
        argc, argv,
        HttpServer::launcherVariables() +
            QList<QPair<QByteArray, QString>>{
                {"KESTRIVANE_TEST_RELEASE_PUBLIC_KEY", QString::fromLatin1(TestKeys::ReleasePublic)}});
    if (parentResult >= 0)
        return parentResult;
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    ReleaseExpiredTest tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "test_release_expired.moc"
