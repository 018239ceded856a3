// kv-publish --upload against real parts: nginx as a WebDAV origin (set up as the publisher's guide
// says), rclone's webdav remote, and two nginx caching proxies in front as CDNs, one honouring the
// origin's headers and one keeping every answer 10 s. Launchers with a key check through each proxy
// every second while releases, renewals and failed uploads go up.
#include "toolsupport.h"

#include "support/originstack.h"
#include "support/releasewatcher.h"
#include "support/testkeys.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace ToolSupport;

namespace {

// A process the event loop keeps running beside the launchers' checks.
Run publishBeside(const QStringList &args, const QProcessEnvironment &env, const QString &workDir) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    p.start(tool(QStringLiteral("kv-publish")), args);
    Run r;
    r.finished = p.waitForStarted(10000) &&
                 QTest::qWaitFor([&p]() { return p.state() == QProcess::NotRunning; }, 120000);
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString outcomes(const ReleaseWatcher &w) {
    QStringList lines;
    for (auto it = w.outcomes.cbegin(); it != w.outcomes.cend(); ++it)
        lines << QStringLiteral("%1 x %2").arg(it.value()).arg(it.key());
    return lines.join(QLatin1String("; "));
}

} // namespace

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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"),
               binaryDir() + QStringLiteral("/bin:") + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("RCLONE_CONFIG"), work + QStringLiteral("/rclone.conf"));
    QVERIFY(writeFile(work + QStringLiteral("/release.key"), TestKeys::ReleaseSecretFile));
    const auto writeRelease = [&](int n) {
        return writeFile(work + QStringLiteral("/release/data.pak"), patternBytes(5 * 1024 * 1024 + n, n)) &&
               writeFile(work + QStringLiteral("/release/Kestrivane.exe"),
                         "launcher " + QByteArray::number(n));
    };

    // The guide's commands, pointed at this origin and the honouring proxy.
    QVERIFY(writeRelease(4));
    QString commands = OriginStack::guideBlock(sourceDir() + QStringLiteral("/docs/publisher.md"),
                                               QStringLiteral("upload-commands"));
    QVERIFY2(commands.contains(QLatin1String("--upload origin:")), "the guide's upload commands are missing");
    commands.replace(QStringLiteral("http://origin.example:8080/"), servers.originUrl())
        .replace(QStringLiteral("https://cdn.example/"), servers.honouringUrl());
    const Run guide = run(QStringLiteral("bash"), {QStringLiteral("-ec"), commands}, work, env, 120000);
    QVERIFY2(guide.exitCode == 0, (guide.out + guide.err).constData());
    QCOMPARE(readFile(root + QStringLiteral("/version3.txt")),
             readFile(work + QStringLiteral("/cdn/version3.txt")));
    QVERIFY(QFile::exists(root + QStringLiteral("/v4_data.pak.blockmap")));

    // Launchers through both proxies while releases and renewals go up.
    ReleaseWatcher throughHonouring(servers.honouringUrl(), QString::fromLatin1(TestKeys::ReleasePublic),
                                    work + QStringLiteral("/launcher-a"), ReleaseWatcher::Launcher);
    ReleaseWatcher throughIgnoring(servers.ignoringUrl(), QString::fromLatin1(TestKeys::ReleasePublic),
                                   work + QStringLiteral("/launcher-b"), ReleaseWatcher::Launcher);
    throughHonouring.start(1000);
    throughIgnoring.start(1000);
    const QStringList upload{QStringLiteral("--cdn"),      QStringLiteral("cdn"),
                             QStringLiteral("--release"),  QStringLiteral("release"),
                             QStringLiteral("--sign-key"), QStringLiteral("release.key"),
                             QStringLiteral("--upload"),   QStringLiteral("origin:")};
    for (int n = 5; n <= 7; ++n) {
        QVERIFY(writeRelease(n));
        const Run r =
            publishBeside(upload + QStringList{QStringLiteral("--check-url"), servers.honouringUrl(),
                                               QStringLiteral("data.pak=%1").arg(n),
                                               QStringLiteral("Kestrivane.exe=0.%1").arg(n)},
                          env, work);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const Run renewal =
            publishBeside({QStringLiteral("--cdn"), QStringLiteral("cdn"), QStringLiteral("--renew"),
                           QStringLiteral("--sign-key"), QStringLiteral("release.key"),
                           QStringLiteral("--upload"), QStringLiteral("origin:")},
                          env, work);
        QVERIFY2(renewal.exitCode == 0, renewal.err.constData());
    }
    const QByteArray live = readFile(root + QStringLiteral("/version3.txt"));
    const QByteArray liveSignature = readFile(root + QStringLiteral("/version3.txt.minisig"));

    // A wrong path on the origin: the check through the public URL stops before any list.
    QVERIFY(writeRelease(8));
    Run r = publishBeside(upload.mid(0, 7) +
                              QStringList{QStringLiteral("origin:wrong"), QStringLiteral("--check-url"),
                                          servers.honouringUrl(), QStringLiteral("data.pak=8")},
                          env, work);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(servers.honouringUrl().toUtf8() + "v8_data.pak answers HTTP 404"),
             r.err.constData());
    QVERIFY(QFile::exists(root + QStringLiteral("/wrong/v8_data.pak")));
    QVERIFY(!QFile::exists(root + QStringLiteral("/wrong/version3.txt")));
    QCOMPARE(readFile(root + QStringLiteral("/version3.txt")), live);

    // The origin refuses writes half-way: exit 1 naming the file, the live release unchanged, and the
    // same command again completes.
    QVERIFY(writeRelease(9));
    const QStringList nine = upload + QStringList{QStringLiteral("data.pak=9")};
    QVERIFY(writeFile(servers.refuseSwitch(), ""));
    r = publishBeside(nine, env, work);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("uploading version3.txt.minisig to origin: failed"), r.err.constData());
    QCOMPARE(readFile(root + QStringLiteral("/version3.txt")), live);
    QCOMPARE(readFile(root + QStringLiteral("/version3.txt.minisig")), liveSignature);
    QVERIFY(QFile::exists(root + QStringLiteral("/v9_data.pak")));
    QVERIFY(QFile::remove(servers.refuseSwitch()));
    r = publishBeside(nine, env, work);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(readFile(root + QStringLiteral("/version3.txt")),
             readFile(work + QStringLiteral("/cdn/version3.txt")));

    // A versioned name the origin holds with other bytes stops the upload before anything goes up.
    QVERIFY(writeFile(work + QStringLiteral("/other/data.pak"), patternBytes(5 * 1024 * 1024 + 9, 99)));
    r = publishBeside({QStringLiteral("--cdn"), QStringLiteral("cdn2"), QStringLiteral("--release"),
                       QStringLiteral("other"), QStringLiteral("--upload"), QStringLiteral("origin:"),
                       QStringLiteral("data.pak=9")},
                      env, work);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("origin:v9_data.pak is already there with other bytes"), r.err.constData());

    // Every launcher saw the releases through, once the ignoring proxy's 10 s have passed.
    const int checksBefore = throughIgnoring.checks;
    QTRY_VERIFY_WITH_TIMEOUT(throughIgnoring.checks >= checksBefore + 12, 30000);
    throughHonouring.stop();
    throughIgnoring.stop();
    QTRY_VERIFY_WITH_TIMEOUT(throughHonouring.idle() && throughIgnoring.idle(), 30000);
    qInfo().noquote() << "through the honouring proxy:" << outcomes(throughHonouring);
    qInfo().noquote() << "through the ignoring proxy:" << outcomes(throughIgnoring);
    QVERIFY2(throughHonouring.failed == 0 && throughHonouring.checks > 10,
             qPrintable(outcomes(throughHonouring)));
    QVERIFY2(throughIgnoring.failed == 0 && throughIgnoring.checks > 10,
             qPrintable(outcomes(throughIgnoring)));

    // Pruning: the first run notes what no list names, the next removes it; the live release stays.
    const QString digestNamed =
        QDir(root).entryList({QStringLiteral("version3.txt.*.minisig")}).join(QLatin1Char(' '));
    for (int round = 0; round < 2; ++round) {
        r = run(tool(QStringLiteral("kv-publish")),
                {QStringLiteral("--prune"), QStringLiteral("0"), QStringLiteral("--upload"),
                 QStringLiteral("origin:"), QStringLiteral("--sign-key"), QStringLiteral("release.key")},
                work, env);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QFile::exists(root + QStringLiteral("/v5_data.pak")), round == 0);
    }
    QVERIFY2(r.out.contains("removed origin:v7_data.pak.blockmap"), r.out.constData());
    QVERIFY(QFile::exists(root + QStringLiteral("/v9_data.pak")) &&
            QFile::exists(root + QStringLiteral("/v0.7_Kestrivane.exe")));
    const QString current =
        QStringLiteral("version3.txt.%1.minisig")
            .arg(ReleaseVerifier::listDigest(readFile(root + QStringLiteral("/version3.txt"))));
    QCOMPARE(QDir(root).entryList({QStringLiteral("version3.txt.*.minisig")}), QStringList{current});
    QVERIFY(digestNamed.count(QLatin1Char(' ')) >= 4);
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
