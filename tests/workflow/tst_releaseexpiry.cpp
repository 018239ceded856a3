// A signed release past its validity period, served over HTTP: nothing of it is installed, the game
// page stays with START as the installed game allows, and every host is asked again on the schedule
// of a failed run until one serves a release within its period.
#include "download/cdnhosts.h"
#include "support/testkeys.h"
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "trust/minisignsecretkey.h"

#include <QDateTime>

using namespace WorkflowTest;

class ReleaseExpiryTest : public WorkflowFixture {
    Q_OBJECT

    const QByteArray SignaturePath = VersionPath + ".minisig";
    HttpServer *other = nullptr;

    WorkflowSetup signedSetup() const {
        WorkflowSetup s = fastSetup();
        s.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
        s.failedRetryMs = 100;
        s.failedRetryMaxMs = 400;
        return s;
    }
    // The version file as published now, signed at `time` for `days` days.
    static QByteArray sign(const QByteArray &text, qint64 time, int days) {
        return MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
            .sign(text, "timestamp:" + QByteArray::number(time) + "\tvalid_days:" + QByteArray::number(days) +
                            "\tfile:version3.txt")
            .toFile("signature from test");
    }
    static qint64 now() { return QDateTime::currentSecsSinceEpoch(); }

private slots:
    void initTestCase() {
        WorkflowFixture::initTestCase();
        other = new HttpServer(this);
        QVERIFY(other->listen());
    }
    void init() {
        setUpDirs();
        other->clearFiles();
        other->clearRequests();
    }

    // Expired ten days after a release valid for two (and past the day of slack): the game's new
    // version is not fetched, START follows the installed game, the check is asked again with growing
    // pauses and never ends in the fatal error; renewed, the release installs.
    void expiredReleaseInstallsNothingUntilRenewed() {
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("3"), randomBytes(100000, 5));
        const qint64 signedAt = now() - 10 * 86400;
        server->setFile(SignaturePath, sign(versionText(), signedAt, 2));
        makeWorkflow(signedSetup());
        QList<int> pauses;
        connect(flow, &LauncherWorkflow::phaseChanged, this, [&](Phase p) {
            if (p == LauncherWorkflow::ReleaseExpired)
                pauses << flow->nextRetryPauseMs();
        });

        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::ReleaseExpired, 10000);
        QCOMPARE(gamePages, 1);
        QCOMPARE(key(WorkflowStatus::GameLine), QStringLiteral("RELEASE_OUT_OF_DATE"));
        QCOMPARE(shown(WorkflowStatus::GameLine), QStringLiteral("Release information is out of date"));
        QCOMPARE(key(WorkflowStatus::TimeLine), QStringLiteral("RETRY_COUNTDOWN"));
        // No game in the folder: START stays disabled; once the game is there it may start.
        QCOMPARE(flow->gameState(), 1);
        QVERIFY(writeFile(dir + QStringLiteral("/Quelvane.exe"), "game"));
        QCOMPARE(flow->gameState(), 2);
        QVERIFY(!flow->isDownloading());

        // Asked again, pauses growing as after a failed run, never counting towards the fatal error.
        QTRY_VERIFY_WITH_TIMEOUT(pauses.size() >= 3, 20000);
        QCOMPARE(pauses.mid(0, 3), QList<int>({100, 200, 400}));
        QVERIFY(!phases.contains(LauncherWorkflow::Failed));
        QVERIFY(key(WorkflowStatus::LauncherLine) != QLatin1String("FATAL_ERROR"));
        QCOMPARE(getsFor(QStringLiteral("game.bin")), 0);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/game.bin")));
        QVERIFY(!configHas(QStringLiteral("release/signed_timestamp")));
        QTRY_VERIFY(events(QStringLiteral("release expired")).size() >= 3);
        const QJsonObject expired = events(QStringLiteral("release expired")).first();
        QCOMPARE(qint64(expired.value(QStringLiteral("signed")).toDouble()), signedAt);
        QCOMPARE(qint64(expired.value(QStringLiteral("expires")).toDouble()), signedAt + 2 * 86400);
        QCOMPARE(expired.value(QStringLiteral("host")).toString(),
                 CdnHosts::hostName(fastSetup().cdnBaseUrl));
        QVERIFY(events(QStringLiteral("check launcher version")).isEmpty());
        QVERIFY(events(QStringLiteral("version file signature error")).isEmpty());

        // The publisher renews: the next try takes the release and installs it.
        const qint64 renewedAt = now();
        server->setFile(SignaturePath, sign(versionText(), renewedAt, 2));
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(configValue(QStringLiteral("release/signed_timestamp")).toLongLong(), renewedAt);
        QCOMPARE(gamePages, 1);
    }

    // The last second of the day of slack still counts as valid; the file is taken at once.
    void withinTheClockSlackIsAccepted() {
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("1"), randomBytes(1000, 6));
        // Valid for one day, signed a day and 23 hours ago: a minute of slack is left.
        server->setFile(SignaturePath, sign(versionText(), now() - 2 * 86400 + 60, 1));
        makeWorkflow(signedSetup());
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QVERIFY(events(QStringLiteral("release expired")).isEmpty());
    }

    // A mirror frozen on an expired release beside a host that serves the current one: the current
    // one installs within the same attempt, and the frozen host is named in the event.
    void frozenMirrorBesideACurrentHost() {
        const QByteArray old =
            line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"), QString(32, 'a'), 1);
        other->setFile(VersionPath, old);
        other->setFile(SignaturePath, sign(old, now() - 40 * 86400, 7));
        const QByteArray game = publish(QStringLiteral("a.bin"), QStringLiteral("2"), randomBytes(2000, 7));
        server->setFile(SignaturePath, sign(versionText(), now(), 7));
        WorkflowSetup s = signedSetup();
        s.cdnBaseUrl = other->url(QString::fromLatin1(CdnPrefix));
        s.cdnMirrors = QStringList{server->url(QString::fromLatin1(CdnPrefix))};
        makeWorkflow(s);
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), game);
        QVERIFY(!phases.contains(LauncherWorkflow::ReleaseExpired));
        QCOMPARE(flow->versionCheck()->retryCount(), 1);
        QTRY_COMPARE(events(QStringLiteral("release expired")).size(), 1);
        QCOMPARE(events(QStringLiteral("release expired")).first().value(QStringLiteral("host")).toString(),
                 CdnHosts::hostName(s.cdnBaseUrl));
    }
};

KV_WORKFLOW_TEST_MAIN(ReleaseExpiryTest)
#include "tst_releaseexpiry.moc"
