// The update's attacks, each from a hostile first CDN host beside an honest mirror, with a signed
// release: arbitrary files, files of another release mixed in, a replayed older release, a frozen
// (expired) release, data that never ends, a host that trickles, and a host that answers nothing
// useful. Each is refused or survived, and what ends up installed is exactly what the current
// release signed. (Key compromise and revocation: test_releasekeys and test_key_rotation.)
#include "support/testkeys.h"
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "trust/minisignsecretkey.h"

#include <QDateTime>

using namespace WorkflowTest;

namespace {

enum class Attack {
    ArbitraryFile,   // other bytes under the current file's name
    MixAndMatch,     // the previous release's file under the current file's name
    Rollback,        // the previous release's version file, correctly signed, once the current was seen
    Freeze,          // the installed release served on and on, past its validity
    EndlessVersion,  // a version file that never ends
    EndlessPiece,    // pieces that go on past their range
    SlowRetrieval,   // a few bytes a second
    WithholdsUpdate, // 404 for the new file, 500 for the rest
};

} // namespace

Q_DECLARE_METATYPE(Attack)

class UpdateAttacksTest : public WorkflowFixture {
    Q_OBJECT

    const QByteArray SignaturePath = VersionPath + ".minisig";
    HttpServer *hostile = nullptr;

    static qint64 now() { return QDateTime::currentSecsSinceEpoch(); }
    static QByteArray sign(const QByteArray &text, qint64 time, int days = 0) {
        const QByteArray valid = days > 0 ? "\tvalid_days:" + QByteArray::number(days) : QByteArray();
        return MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
            .sign(text, "timestamp:" + QByteArray::number(time) + valid + "\tfile:version3.txt")
            .toFile("signature from test");
    }
    WorkflowSetup attackedSetup() const {
        WorkflowSetup s = fastSetup();
        s.cdnBaseUrl = hostile->url(QString::fromLatin1(CdnPrefix));
        s.cdnMirrors = QStringList{server->url(QString::fromLatin1(CdnPrefix))};
        s.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
        s.pieceTimeoutMs = 2000;
        s.pieceRetryFirstMs = 50;
        s.pieceRetryMaxMs = 200;
        return s;
    }

private slots:
    void initTestCase() {
        WorkflowFixture::initTestCase();
        hostile = new HttpServer(this);
        QVERIFY(hostile->listen());
    }
    void init() {
        setUpDirs();
        hostile->clearFiles();
        hostile->clearFaults();
        hostile->clearRequests();
    }

    void attackIsRefusedOrSurvived_data() {
        QTest::addColumn<Attack>("attack");
        QTest::newRow("arbitrary file") << Attack::ArbitraryFile;
        QTest::newRow("mix and match") << Attack::MixAndMatch;
        QTest::newRow("rollback") << Attack::Rollback;
        QTest::newRow("freeze") << Attack::Freeze;
        QTest::newRow("endless version file") << Attack::EndlessVersion;
        QTest::newRow("endless piece") << Attack::EndlessPiece;
        QTest::newRow("slow retrieval") << Attack::SlowRetrieval;
        QTest::newRow("withholds the update") << Attack::WithholdsUpdate;
    }

    void attackIsRefusedOrSurvived() {
        QFETCH(Attack, attack);
        const qint64 released = now() - 10 * 86400;
        // The previous release, installed from the honest host, and the current one published there.
        const QByteArray first =
            publish(QStringLiteral("game.bin"), QStringLiteral("1"), randomBytes(300000, 1));
        const QByteArray firstList = versionText();
        const QByteArray firstSignature = sign(firstList, released - 86400);
        server->setFile(SignaturePath, firstSignature);
        {
            WorkflowSetup honest = fastSetup();
            honest.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
            makeWorkflow(honest);
            STEP(waitForReady());
            closeWorkflow();
        }
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("2"), randomBytes(5000000, 2));
        const QByteArray list = versionText();
        server->setFile(SignaturePath, sign(list, released, 30));
        server->clearRequests();

        // The hostile host holds what the honest one does, but for the attack.
        const QByteArray gamePath = remotePath(QStringLiteral("game.bin"), QStringLiteral("2"));
        hostile->setFile(VersionPath, list);
        hostile->setFile(SignaturePath, sign(list, released, 30));
        hostile->setFile(gamePath, game);
        HttpServer::Faults faults;
        switch (attack) {
        case Attack::ArbitraryFile: {
            QByteArray other = game;
            other[4000000] = char(other[4000000] ^ 1);
            hostile->setFile(gamePath, other);
            break;
        }
        case Attack::MixAndMatch:
            hostile->setFile(gamePath, first + game.mid(first.size()));
            break;
        case Attack::Rollback:
            // The launcher saw the current release before (and was closed before it downloaded).
            writeConfig(QStringLiteral("release/signed_timestamp"), released);
            hostile->setFile(VersionPath, firstList);
            hostile->setFile(SignaturePath, firstSignature);
            break;
        case Attack::Freeze:
            // The installed release again, as it was signed, but with the validity it was given:
            // it ran out eight days ago.
            hostile->setFile(VersionPath, firstList);
            hostile->setFile(SignaturePath, sign(firstList, released - 86400, 2));
            break;
        case Attack::EndlessVersion:
            hostile->setFile(VersionPath, list + QByteArray(int(VersionTable::MaxVersionFileSize), '#'));
            break;
        case Attack::EndlessPiece:
            faults.extraBytes = 64 * 1024 * 1024;
            hostile->setFaults(gamePath, faults);
            break;
        case Attack::SlowRetrieval:
            faults.bytesPerSecond = 2000;
            hostile->setFaults(gamePath, faults);
            break;
        case Attack::WithholdsUpdate:
            faults.status = 404;
            hostile->setFaults(gamePath, faults);
            faults.status = 500;
            hostile->setFaults(VersionPath, faults);
            break;
        }

        makeWorkflow(attackedSetup());
        STEP(waitForReady(60000));
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(configValue(QStringLiteral("version/game.bin")), QStringLiteral("2"));
        QCOMPARE(configValue(QStringLiteral("release/signed_timestamp")).toLongLong(), released);
        // Nothing of the previous release was asked for again.
        QCOMPARE(server->requestCount(remotePath(QStringLiteral("game.bin"), QStringLiteral("1"))) +
                     hostile->requestCount(remotePath(QStringLiteral("game.bin"), QStringLiteral("1"))),
                 0);
    }
};

KV_WORKFLOW_TEST_MAIN(UpdateAttacksTest)
#include "tst_updateattacks.moc"
