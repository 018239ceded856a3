// A launcher that trusts two release keys, against a CDN on 127.0.0.1: it takes a version file signed
// by either (the default signature first, then the one named after its other key), learns of a
// revoked key from the CDN and refuses that key's signatures from then on, also when the revocation
// is withheld later; a revocation that the revoked key did not sign is not taken.
#include "support/testkeys.h"
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "trust/keyrevocation.h"
#include "trust/minisignsecretkey.h"
#include "trust/releaseverifier.h"
#include "workflow/predownload.h"

using namespace WorkflowTest;

class ReleaseKeysTest : public WorkflowFixture {
    Q_OBJECT

    const QByteArray DefaultSignature = VersionPath + ".minisig";
    // The other key's signature, named after its key id.
    const QByteArray OtherSignature = VersionPath + ".AA8B1CAA9DA4BC18.minisig";
    const QByteArray Revocations = VersionPath + ".revoked";
    const MinisignSecretKey release = MinisignSecretKey::parse(TestKeys::ReleaseSecretFile);
    const MinisignSecretKey other = MinisignSecretKey::parse(TestKeys::OtherSecretFile);

    WorkflowSetup bothKeys() const {
        WorkflowSetup s = fastSetup();
        s.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic) + QLatin1Char(',') +
                             QString::fromLatin1(TestKeys::OtherPublic);
        return s;
    }
    static QByteArray sign(const MinisignSecretKey &key, const QByteArray &text, qint64 time) {
        return key.sign(text, "timestamp:" + QByteArray::number(time) + "\tfile:version3.txt").toFile("test");
    }
    QStringList revokedInConfig() const {
        return configEntry(QStringLiteral("release/revoked_keys")).toStringList();
    }

private slots:
    void revokedKeyIsRefusedFromThenOn() {
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("1"), randomBytes(5000, 1));
        server->setFile(DefaultSignature, sign(release, versionText(), 1800000000));
        server->setFile(OtherSignature, sign(other, versionText(), 1800000000));
        server->setFile(Revocations, KeyRevocation::make(release, 1800000000));
        makeWorkflow(bothKeys());
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(revokedInConfig(), QStringList{QStringLiteral("5F4CDA07E8AC0921")});
        QCOMPARE(server->requestCount(Revocations), 1);
        QCOMPARE(server->requestCount(DefaultSignature), 1);
        QCOMPARE(server->requestCount(OtherSignature), 1);
        QTRY_COMPARE(events(QStringLiteral("release key revoked")).size(), 1);
        QCOMPARE(eventField(QStringLiteral("release key revoked"), QStringLiteral("key")),
                 QStringLiteral("5F4CDA07E8AC0921"));
        closeWorkflow();

        // Whoever holds the leaked key signs a release listing their own launcher and withholds the
        // revocation and the other key's signature: refused, nothing fetched, three attempts.
        const QByteArray evil = randomBytes(3000, 2);
        server->clearRequests();
        server->removeFile(Revocations);
        server->removeFile(OtherSignature);
        server->setFile(VersionPath, line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.12"),
                                          md5Hex(evil), evil.size()));
        server->setFile(CdnPrefix + "v0.12_Kestrivane.exe", evil);
        server->setFile(DefaultSignature, sign(release,
                                               line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.12"),
                                                    md5Hex(evil), evil.size()),
                                               1900000000));
        makeWorkflow(bothKeys());
        QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Failed, 10000);
        QVERIFY(!handedOver);
        QCOMPARE(getsFor(QStringLiteral("Kestrivane.exe")), 0);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/v0.12_Kestrivane.exe")));
        QCOMPARE(server->requestCount(DefaultSignature), 3);
        QCOMPARE(server->requestCount(OtherSignature), 3);
        QTRY_COMPARE(events(QStringLiteral("version file signature error")).size(), 3);
        const QString reason =
            eventField(QStringLiteral("version file signature error"), QStringLiteral("reason"));
        QVERIFY2(reason.startsWith(QStringLiteral("signed by the revoked key 5F4CDA07E8AC0921")),
                 qPrintable(reason));
        QCOMPARE(revokedInConfig(), QStringList{QStringLiteral("5F4CDA07E8AC0921")});
    }

    // The leaked key "revokes" the good one: not taken, and the good key's release installs. A default
    // signature that cannot be read leads to the other key's.
    void revocationByAnotherKeyIsNotTaken() {
        const QByteArray game =
            publish(QStringLiteral("game.bin"), QStringLiteral("2"), randomBytes(4000, 3));
        const QByteArray otherId = MinisignPublicKey::keyIdText(other.publicKey().keyId()).toLatin1();
        server->setFile(Revocations, release
                                         .sign(KeyRevocation::statement(other.publicKey().keyId()),
                                               "timestamp:1800000000\trevoke:" + otherId)
                                         .toFile("forged"));
        server->setFile(DefaultSignature, "<html>502 Bad Gateway</html>\n");
        server->setFile(OtherSignature, sign(other, versionText(), 1800000000));
        makeWorkflow(bothKeys());
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/game.bin")), game);
        QCOMPARE(revokedInConfig(), QStringList());
        QVERIFY(events(QStringLiteral("release key revoked")).isEmpty());
        QVERIFY(events(QStringLiteral("version file signature error")).isEmpty());
    }

    // A rotation: the coming list's default signature by a key this launcher lacks, its first key's
    // beside it. Without that one, the list is refused for its default signature, not the last 404.
    void rotationPastTheFirstKeyTakesTheComingList() {
        const QByteArray coming = publishComing({{QStringLiteral("a.bin"), {QStringLiteral("2"), "a2"}}});
        const MinisignSignature s = release.sign(coming, "preload:1800000000\tfile:version3.txt.coming");
        server->setFile(VersionPath + ".coming.minisig",
                        MinisignSignature::fromParts(s.algorithm(), "newkey01", s.signature(),
                                                     s.trustedComment(), s.globalSignature())
                            .toFile("new"));
        server->setFile(VersionPath + ".coming.5F4CDA07E8AC0921.minisig", s.toFile("old"));
        server->setFile(DefaultSignature, sign(release, versionText(), 1800000000));
        makeWorkflow(bothKeys());
        QTRY_COMPARE_WITH_TIMEOUT(flow->preDownload()->state(), PreDownload::Complete, 30000);
        server->removeFile(VersionPath + ".coming.5F4CDA07E8AC0921.minisig");
        flow->preDownload()->check();
        QTRY_VERIFY(eventField(QStringLiteral("predownload refused"), QStringLiteral("reason"))
                        .startsWith(QStringLiteral("coming release list refused: signed by another key")));
    }
    // One key. The signature named by the list's digest comes first and no stale cache can pair it with
    // another list; one refused (expired, by another key) leads to today's name. A list and signature
    // that do not belong together are asked for once more after signatureRetryMs, then refused.
    void digestNamedSignatureAndTheSecondLook_data() {
        QTest::addColumn<QString>("digestNamed"); // "", "valid", "expired", "other key"
        QTest::addColumn<QString>("fixedName");   // "valid", "stale", "stale, then valid"
        QTest::addColumn<bool>("ready");
        QTest::addColumn<int>("versionFileRequests");
        QTest::addColumn<int>("fixedRequests");
        QTest::newRow("digest-named, beside a stale fixed name")
            << "valid" << QString("stale") << true << 1 << 0;
        QTest::newRow("digest-named expired") << "expired" << QString("valid") << true << 1 << 1;
        QTest::newRow("digest-named by another key") << "other key" << QString("valid") << true << 1 << 1;
        QTest::newRow("caught up on the second look") << "" << QString("stale, then valid") << true << 2 << 2;
        QTest::newRow("never together") << "" << QString("stale") << false << 6 << 6;
    }
    void digestNamedSignatureAndTheSecondLook() {
        QFETCH(QString, digestNamed);
        QFETCH(QString, fixedName);
        QFETCH(bool, ready);
        QFETCH(int, versionFileRequests);
        QFETCH(int, fixedRequests);
        publish(QStringLiteral("game.bin"), QStringLiteral("1"), randomBytes(3000, 4));
        const QByteArray list = versionText();
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QByteArray digestPath =
            CdnPrefix +
            ReleaseVerifier::digestSignatureName(QStringLiteral("version3.txt"), list, QByteArray(), true)
                .toLatin1();
        if (digestNamed == QLatin1String("valid"))
            server->setFile(digestPath, sign(release, list, now));
        else if (digestNamed == QLatin1String("expired"))
            server->setFile(digestPath, release
                                            .sign(list, "timestamp:" + QByteArray::number(now - 9 * 86400) +
                                                            "\tvalid_days:1\tfile:version3.txt")
                                            .toFile("old"));
        else if (digestNamed == QLatin1String("other key"))
            server->setFile(digestPath, sign(other, list, now));
        server->setFile(DefaultSignature, fixedName == QLatin1String("valid")
                                              ? sign(release, list, now)
                                              : sign(release, list + "stale:1:x:1\n", now - 60));
        WorkflowSetup setup = fastSetup();
        setup.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
        setup.signatureRetryMs = fixedName == QLatin1String("stale, then valid") ? 5000 : 50;
        makeWorkflow(setup);
        if (fixedName == QLatin1String("stale, then valid")) {
            // The cache lets go of the old signature while the launcher waits for its second look.
            QTRY_COMPARE(server->requestCount(DefaultSignature), 1);
            server->setFile(DefaultSignature, sign(release, list, now));
        }
        if (ready)
            STEP(waitForReady());
        else
            QTRY_COMPARE_WITH_TIMEOUT(flow->phase(), LauncherWorkflow::Failed, 10000);
        QCOMPARE(server->requestCount(VersionPath), versionFileRequests);
        QCOMPARE(server->requestCount(DefaultSignature), fixedRequests);
        QTRY_COMPARE(events(QStringLiteral("version file signature error")).size(), ready ? 0 : 3);
    }
};

KV_WORKFLOW_TEST_MAIN(ReleaseKeysTest)
#include "tst_releasekeys.moc"
