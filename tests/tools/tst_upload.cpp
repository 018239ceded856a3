// kv-publish --upload against real parts: nginx as a WebDAV origin (set up as the publisher's guide
// says), rclone's webdav remote, and two nginx caching proxies in front as CDNs, one honouring the
// origin's headers and one keeping every answer 10 s. Launchers with a key check through each proxy
// every second while releases, renewals and failed uploads go up.
#include "toolsupport.h"

#include "support/originstack.h"
#include "support/releasewatcher.h"
#include "support/testkeys.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ToolSupport;

class TestUpload : public QObject {
    Q_OBJECT

private slots:
    void uploadsInAnOrderNoLauncherTripsOver();
};

void TestUpload::uploadsInAnOrderNoLauncherTripsOver() {
    QTemporaryDir tmp;
    const QString work = tmp.path();
    OriginStack servers(work, sourceDir());
    QVERIFY2(servers.isConfigured(), "the guide's nginx origin block is missing");
    QTRY_VERIFY2_WITH_TIMEOUT(servers.up(), qPrintable(servers.errors()), 20000);
    const QString root = servers.root();
    const auto origin = [&root](const QString &name) { return readFile(root + '/' + name); };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", binaryDir() + "/bin:" + env.value("PATH"));
    env.insert("RCLONE_CONFIG", work + "/rclone.conf");
    // kv-publish, the event loop turning for the launchers' checks meanwhile.
    const auto publish = [&](const QStringList &args) {
        return run(tool("kv-publish"), args, work, env, 120000, true);
    };
    QVERIFY(writeFile(work + "/release.key", TestKeys::ReleaseSecretFile));
    const auto writeRelease = [&](int n) {
        return writeFile(work + "/release/data.pak", patternBytes(5 * 1024 * 1024 + n, n)) &&
               writeFile(work + "/release/Kestrivane.exe", "launcher " + QByteArray::number(n));
    };

    // The guide's commands, pointed at this origin and the honouring proxy.
    QVERIFY(writeRelease(4));
    QString commands = OriginStack::guideBlock(sourceDir() + "/docs/publisher.md", "upload-commands");
    QVERIFY2(commands.contains("--upload origin:"), "the guide's upload commands are missing");
    commands.replace("http://origin.example:8080/", servers.originUrl())
        .replace("https://cdn.example/", servers.honouringUrl());
    const Run guide = run("bash", {"-ec", commands}, work, env, 120000);
    QVERIFY2(guide.exitCode == 0, (guide.out + guide.err).constData());
    QCOMPARE(origin("version3.txt"), readFile(work + "/cdn/version3.txt"));
    QVERIFY(QFile::exists(root + "/v4_data.pak.blockmap"));

    // Launchers through both proxies while releases and renewals go up.
    const QString key = QString::fromLatin1(TestKeys::ReleasePublic);
    ReleaseWatcher throughHonouring(servers.honouringUrl(), key, work + "/launcher-a",
                                    ReleaseWatcher::Launcher);
    ReleaseWatcher throughIgnoring(servers.ignoringUrl(), key, work + "/launcher-b",
                                   ReleaseWatcher::Launcher);
    throughHonouring.start(1000);
    throughIgnoring.start(1000);
    const QStringList upload{"--cdn", "cdn", "--release", "release", "--sign-key", "release.key", "--upload"};
    for (int n = 5; n <= 7; ++n) {
        QVERIFY(writeRelease(n));
        Run r = publish(upload + QStringList{"origin:", "--check-url", servers.honouringUrl(),
                                             QStringLiteral("data.pak=%1").arg(n),
                                             QStringLiteral("Kestrivane.exe=0.%1").arg(n)});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        r = publish({"--cdn", "cdn", "--renew", "--sign-key", "release.key", "--upload", "origin:"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
    }
    const QByteArray live = origin("version3.txt"), liveSignature = origin("version3.txt.minisig");

    // A wrong path on the origin: the check through the public URL stops before any list.
    QVERIFY(writeRelease(8));
    Run r =
        publish(upload + QStringList{"origin:wrong", "--check-url", servers.honouringUrl(), "data.pak=8"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(servers.honouringUrl().toUtf8() + "v8_data.pak answers HTTP 404"),
             r.err.constData());
    QVERIFY(QFile::exists(root + "/wrong/v8_data.pak"));
    QVERIFY(!QFile::exists(root + "/wrong/version3.txt"));
    QCOMPARE(origin("version3.txt"), live);

    // The origin refuses writes half-way: exit 1 naming the file, the live release unchanged, and the
    // same command again completes.
    QVERIFY(writeRelease(9));
    const QStringList nine = upload + QStringList{"origin:", "data.pak=9"};
    QVERIFY(writeFile(servers.refuseSwitch(), ""));
    r = publish(nine);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("uploading version3.txt.minisig to origin: failed"), r.err.constData());
    QCOMPARE(origin("version3.txt"), live);
    QCOMPARE(origin("version3.txt.minisig"), liveSignature);
    QVERIFY(QFile::exists(root + "/v9_data.pak"));
    QVERIFY(QFile::remove(servers.refuseSwitch()));
    r = publish(nine);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(origin("version3.txt"), readFile(work + "/cdn/version3.txt"));

    // A versioned name the origin holds with other bytes stops the upload before anything goes up.
    QVERIFY(writeFile(work + "/other/data.pak", patternBytes(5 * 1024 * 1024 + 9, 99)));
    r = publish({"--cdn", "cdn2", "--release", "other", "--upload", "origin:", "data.pak=9"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("origin:v9_data.pak is already there with other bytes"), r.err.constData());

    // Every launcher saw the releases through, once the ignoring proxy's 10 s have passed.
    const int checksBefore = throughIgnoring.checks;
    QTRY_VERIFY_WITH_TIMEOUT(throughIgnoring.checks >= checksBefore + 12, 30000);
    for (ReleaseWatcher *w : {&throughHonouring, &throughIgnoring}) {
        w->stop();
        QTRY_VERIFY_WITH_TIMEOUT(w->idle(), 30000);
        qInfo().noquote() << w->summary();
        QVERIFY2(w->failed == 0 && w->checks > 10, qPrintable(w->summary()));
    }

    // Pruning: the first run notes what no list names, the next removes it; the live release stays.
    const QStringList signatures{"version3.txt.*.minisig"};
    const int digestNamed = QDir(root).entryList(signatures).size();
    for (int round = 0; round < 2; ++round) {
        r = publish({"--prune", "0", "--upload", "origin:", "--sign-key", "release.key"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QFile::exists(root + "/v5_data.pak"), round == 0);
    }
    QVERIFY2(r.out.contains("removed origin:v7_data.pak.blockmap"), r.out.constData());
    QVERIFY(QFile::exists(root + "/v9_data.pak") && QFile::exists(root + "/v0.7_Kestrivane.exe"));
    const QString current =
        QStringLiteral("version3.txt.%1.minisig").arg(ReleaseVerifier::listDigest(origin("version3.txt")));
    QCOMPARE(QDir(root).entryList(signatures), QStringList{current});
    QVERIFY(digestNamed >= 5);
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
