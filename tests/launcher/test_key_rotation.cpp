// Key rotation and revocation walked with real processes: kv-publish signs the releases into a CDN
// folder that nginx serves (tools/stack), and launcher processes trusting one key or two (the test
// variable's key list) start against it from their own install folders. A launcher that trusts only
// the old key takes the transition release signed by both; one that trusts both takes the releases
// signed by the new key alone, learns of the old key's revocation, and then refuses a release the
// leaked old key signed, with its self-update, where a launcher that never saw the revocation takes it.
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/testfiles.h"
#include "support/testkeys.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

const QByteArray LogPath("/c_bq_log/bq_log");
const QString OldKeyId = QStringLiteral("5F4CDA07E8AC0921");

QString binaryDir() {
    return qEnvironmentVariable("KESTRIVANE_BINARY_DIR");
}

// A tool run to its end; its exit code, -1 when it did not finish.
int runTool(const QString &program, const QStringList &args, QByteArray *output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished(5000);
        return -1;
    }
    *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

using TestFiles::readFile;
using TestFiles::writeFile;

class KeyRotationTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    HttpServer events;   // the event log
    HttpServer attacker; // a CDN under the control of whoever holds the leaked key
    QString stackDir, cdn, rel, nginxBase;
    const QString oldOnly = QString::fromLatin1(TestKeys::ReleasePublic);
    const QString both = QString::fromLatin1(TestKeys::ReleasePublic) + QLatin1Char(',') +
                         QString::fromLatin1(TestKeys::OtherPublic);

    QString path(const QString &name) const { return root.filePath(name); }

    bool publishTo(const QString &folder, const QStringList &args) {
        QByteArray output;
        const int code = runTool(binaryDir() + QStringLiteral("/bin/kv-publish"),
                                 QStringList{QStringLiteral("--cdn"), folder} + args, &output);
        if (code != 0)
            qWarning("kv-publish %s: %s", qPrintable(args.join(' ')), output.constData());
        return code == 0;
    }
    bool release(const QByteArray &game, const QStringList &keys, const QStringList &more = {}) {
        if (!writeFile(rel + QStringLiteral("/game.txt"), game))
            return false;
        QStringList args{QStringLiteral("--release"), rel};
        for (const QString &k : keys)
            args << QStringLiteral("--sign-key") << path(k);
        return publishTo(cdn,
                         args + more + QStringList{QStringLiteral("game.txt=") + QString::fromLatin1(game)});
    }

    int eventCount(const QByteArray &name, qint64 sinceMs) const {
        int n = 0;
        for (const HttpServer::Request &r : events.requestsFor(LogPath)) {
            if (r.atMs >= sinceMs && r.body.contains("\"event\":\"" + name + "\""))
                ++n;
        }
        return n;
    }
    QByteArray lastEvent(const QByteArray &name) const {
        QByteArray last;
        for (const HttpServer::Request &r : events.requestsFor(LogPath)) {
            if (r.body.contains("\"event\":\"" + name + "\""))
                last = r.body;
        }
        return last;
    }

    // Starts the launcher of the install folder (made on first use) with the keys and CDN given, waits
    // for done(), and stops it. A stub update script records a self-update's arguments.
    bool runLauncher(const QString &install, const QString &keys, const QString &cdnBase,
                     const std::function<bool()> &done) {
        const QString config = install + QStringLiteral("-config");
        if (!QFile::exists(install + QStringLiteral("/Kestrivane"))) {
            if (!LauncherProcess::install(install, config) ||
                !writeFile(install + QStringLiteral("/update.sh"),
                           "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/update-args.txt\"\n"))
                return false;
        }
        QProcessEnvironment env = LauncherProcess::environment(config, events.url());
        env.insert(QStringLiteral("KESTRIVANE_TEST_CDN_BASE_URL"), cdnBase);
        env.insert(QStringLiteral("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY"), keys);
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.setProcessChannelMode(QProcess::SeparateChannels);
        launcher.start(install + QStringLiteral("/Kestrivane"), QStringList());
        if (!launcher.waitForStarted(10000))
            return false;
        const bool reached = QTest::qWaitFor(done, 60000);
        LauncherProcess::stop(&launcher);
        if (!reached)
            qWarning("launcher in %s: %s", qPrintable(install),
                     launcher.readAllStandardError().right(3000).constData());
        return reached;
    }
    bool installs(const QString &install, const QString &keys, const QByteArray &game) {
        return runLauncher(install, keys, nginxBase,
                           [&]() { return readFile(install + QStringLiteral("/game.txt")) == game; });
    }
    // Runs until the third refused attempt; true when all three were refused for a reason containing why.
    bool refuses(const QString &install, const QString &keys, const QString &cdnBase, const QByteArray &why) {
        const qint64 since = events.elapsedMs();
        if (!runLauncher(install, keys, cdnBase,
                         [&]() { return eventCount("version file signature error", since) == 3; }))
            return false;
        const QByteArray last = lastEvent("version file signature error");
        if (!last.contains(why))
            qWarning("refused for another reason: %s", last.constData());
        return last.contains(why);
    }
    QString revokedKeys(const QString &install) const {
        return QSettings(install + QStringLiteral("/config.ini"), QSettings::IniFormat)
            .value(QStringLiteral("release/revoked_keys"))
            .toStringList()
            .join(QLatin1Char(','));
    }

private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/bin", "/sbin"})
                .isEmpty())
            QSKIP("nginx is not installed");
        QVERIFY(root.isValid());
        QVERIFY(events.listen());
        QVERIFY(attacker.listen());
        cdn = path(QStringLiteral("cdn"));
        rel = path(QStringLiteral("rel"));
        stackDir = path(QStringLiteral("stack"));
        QVERIFY(QDir().mkpath(cdn) && QDir().mkpath(rel));
        QVERIFY(writeFile(path(QStringLiteral("old.key")), TestKeys::ReleaseSecretFile));
        QVERIFY(writeFile(path(QStringLiteral("new.key")), TestKeys::OtherSecretFile));
        QVERIFY(writeFile(path(QStringLiteral("old.pub")),
                          QByteArray("untrusted comment: old key\n") + TestKeys::ReleasePublic + "\n"));
        const QList<quint16> ports = HttpServer::freePorts(3);
        QCOMPARE(ports.size(), 3);
        QByteArray output;
        const int code =
            runTool(qEnvironmentVariable("KESTRIVANE_SOURCE_DIR") + QStringLiteral("/tools/stack"),
                    {QStringLiteral("start"), stackDir, QStringLiteral("--build"), binaryDir(),
                     QStringLiteral("--cdn-root"), cdn, QStringLiteral("--cdn-port"),
                     QString::number(ports[0]), QStringLiteral("--log-port"), QString::number(ports[1]),
                     QStringLiteral("--crash-port"), QString::number(ports[2])},
                    &output);
        QVERIFY2(code == 0, output.constData());
        nginxBase = QStringLiteral("http://127.0.0.1:%1/sea/win_update/").arg(ports[0]);
    }

    void cleanupTestCase() {
        if (stackDir.isEmpty())
            return;
        QByteArray output;
        runTool(qEnvironmentVariable("KESTRIVANE_SOURCE_DIR") + QStringLiteral("/tools/stack"),
                {QStringLiteral("stop"), stackDir}, &output);
    }

    void rotationAndRevocation() {
        const QString player = path(QStringLiteral("player"));       // updated through the transition
        const QString straggler = path(QStringLiteral("straggler")); // still trusts only the old key

        // Signed by the old key, taken by a launcher that trusts only it (the launcher it lists is its own).
        QVERIFY(writeFile(rel + QStringLiteral("/Kestrivane.exe"), "launcher 0.11"));
        QVERIFY(release("1", {QStringLiteral("old.key")}, {QStringLiteral("Kestrivane.exe=0.11")}));
        QVERIFY(installs(player, oldOnly, "1"));

        // The transition, signed by both (the old key's signature keeps the default name): the old
        // launcher takes it, as does the launcher it ships, which trusts both.
        QVERIFY(release("2", {QStringLiteral("old.key"), QStringLiteral("new.key")}));
        QVERIFY(QFile::exists(cdn + QStringLiteral("/version3.txt.AA8B1CAA9DA4BC18.minisig")));
        QVERIFY(installs(player, oldOnly, "2"));

        // The new key alone: the launcher trusting both takes it, one trusting only the old key refuses it.
        QVERIFY(release("3", {QStringLiteral("new.key")}));
        QVERIFY(installs(player, both, "3"));
        QVERIFY(refuses(straggler, oldOnly, nginxBase, "signed by another key (AA8B1CAA9DA4BC18"));
        QVERIFY(!QFile::exists(straggler + QStringLiteral("/game.txt")));

        // The old key is revoked with its own signature; the launcher trusting both remembers it.
        QVERIFY(publishTo(cdn, {QStringLiteral("--renew"), QStringLiteral("--sign-key"),
                                path(QStringLiteral("old.key")), QStringLiteral("--sign-key"),
                                path(QStringLiteral("new.key")), QStringLiteral("--revoke-key"),
                                path(QStringLiteral("old.pub"))}));
        const qint64 since = events.elapsedMs();
        QVERIFY(runLauncher(player, both, nginxBase, [&]() {
            return revokedKeys(player) == OldKeyId && eventCount("check launcher version", since) > 0;
        }));
        QCOMPARE(readFile(player + QStringLiteral("/game.txt")), QByteArray("3"));

        // Whoever holds the leaked old key publishes their own release, with a launcher of theirs, on
        // their own CDN, without the revocation.
        const QString evil = path(QStringLiteral("evil"));
        QVERIFY(writeFile(rel + QStringLiteral("/game.txt"), "4"));
        QVERIFY(writeFile(rel + QStringLiteral("/Kestrivane.exe"), QByteArray("#!/bin/sh\necho owned\n")));
        QVERIFY(publishTo(evil, {QStringLiteral("--release"), rel, QStringLiteral("--sign-key"),
                                 path(QStringLiteral("old.key")), QStringLiteral("game.txt=4"),
                                 QStringLiteral("Kestrivane.exe=0.12")}));
        attacker.serveDirectory("/sea/win_update/", evil);
        const QString attackerBase = attacker.url(QStringLiteral("/sea/win_update/"));
        QVERIFY(refuses(player, both, attackerBase, "signed by the revoked key " + OldKeyId.toLatin1()));
        QVERIFY(!QFile::exists(player + QStringLiteral("/v0.12_Kestrivane.exe")));
        QVERIFY(!QFile::exists(player + QStringLiteral("/update-args.txt")));
        QCOMPARE(readFile(player + QStringLiteral("/game.txt")), QByteArray("3"));

        // The same attack on a launcher that trusts both keys but never saw the revocation: it would
        // run the attacker's launcher.
        const QString unwarned = path(QStringLiteral("unwarned"));
        QVERIFY(runLauncher(unwarned, both, attackerBase,
                            [&]() { return QFile::exists(unwarned + QStringLiteral("/update-args.txt")); }));
    }
};

QTEST_GUILESS_MAIN(KeyRotationTest)
#include "test_key_rotation.moc"
