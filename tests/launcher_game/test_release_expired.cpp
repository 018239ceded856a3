// The window with a release key, when the CDN serves only a release past its validity period: the game
// page shows that the release information is out of date, START is enabled when the game is
// installed and disabled when it is not, and no fatal error takes the launcher page.
#include "support/testkeys.h"
#include "support/windowfixture.h"
#include "trust/minisignsecretkey.h"

#include <QDateTime>

using namespace WindowTest;

class ReleaseExpiredTest : public WindowFixture {
    Q_OBJECT

private slots:
    void gamePageWithStartForTheInstalledGame_data() {
        addBoolRows("installed", "no game", "game installed");
    }
    void gamePageWithStartForTheInstalledGame() {
        QFETCH(bool, installed);
        publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(20000, 4));
        const qint64 signedAt = QDateTime::currentSecsSinceEpoch() - 10 * 86400;
        server->setFile(VersionPath + ".minisig",
                        MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
                            .sign(versionText(), "timestamp:" + QByteArray::number(signedAt) +
                                                     "\tvalid_days:2\tfile:version3.txt")
                            .toFile("test"));
        if (installed)
            QVERIFY(writeFile(dir + QStringLiteral("/Quelvane.exe"), "game"));

        makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(ui()->gameSrcDownloadInfo->textKey(), QStringLiteral("RELEASE_OUT_OF_DATE"),
                                  15000);
        QCOMPARE(flow()->phase(), LauncherWorkflow::ReleaseExpired);
        QCOMPARE(ui()->stackedWidget->currentIndex(), 1);
        QCOMPARE(ui()->gameSrcDownloadInfo->text(), QStringLiteral("Release information is out of date"));
        QVERIFY(ui()->gameSrcDownloadInfo->isVisible());
        QCOMPARE(ui()->estimateTimeInfo->textKey(), QStringLiteral("RETRY_COUNTDOWN"));
        QVERIFY(ui()->startGameBtn->isVisible());
        QCOMPARE(ui()->startGameBtn->textKey(), QStringLiteral("START_GAME"));
        QCOMPARE(ui()->startGameBtn->isEnabled(), installed);
        QVERIFY(!ui()->downloadBtn->isActive());
        QVERIFY(!ui()->gameSrcProgressBar->isActive());
        QVERIFY(ui()->launcherDownloadInfo->textKey() != QLatin1String("FATAL_ERROR"));
        QVERIFY(!A::isDownloading(window));
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 0);
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
