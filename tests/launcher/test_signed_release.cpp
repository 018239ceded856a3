// The launcher process with a release key: a signed release installs and self-updates, and each
// attack on the version file is refused before anything is downloaded or run. Without a key the
// unsigned release installs as before.
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "support/testfiles.h"
#include "support/testkeys.h"
#include "trust/minisignsecretkey.h"
#include "trust/releaseverifier.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const qint64 ReleaseTime = 1800000000;
const QByteArray Cdn("/sea/win_update/");
const QByteArray LogPath("/c_bq_log/bq_log");

QByteArray line(const QByteArray &name, const QByteArray &version, const QByteArray &data) {
    return name + ':' + version + ':' + TestFiles::md5Hex(data).toLatin1() + ':' +
           QByteArray::number(data.size()) + '\n';
}

QByteArray sign(const QByteArray &data, qint64 time, const char *secretFile = TestKeys::ReleaseSecretFile,
                const QByteArray &file = "version3.txt") {
    return MinisignSecretKey::parse(secretFile)
        .sign(data, "timestamp:" + QByteArray::number(time) + "\tfile:" + file)
        .toFile("signature from test");
}

} // namespace

using TestFiles::readFile;

class SignedReleaseTest : public QObject {
    Q_OBJECT

private:
    HttpServer server;
    QTemporaryDir root;
    QString install;
    QByteArray evilLauncher = QByteArray("#!/bin/sh\necho owned\n").repeated(100);
    QByteArray newLauncher = QByteArray("launcher 0.12 ").repeated(5000);
    QByteArray readme = QByteArray("Quelvane readme\n").repeated(300);

    // The honest release: no launcher update, one game file.
    QByteArray honestList() const {
        return line("Kestrivane.exe", "0.11", "x") + line("readme.txt", "1", readme);
    }
    // What an attacker wants run: a "new launcher" that is their own file.
    QByteArray evilList() const { return line("Kestrivane.exe", "0.12", evilLauncher); }

    void serve(const QByteArray &versionFile, const QByteArray &signature, bool withSignature = true) {
        server.setFile(Cdn + "version3.txt", versionFile);
        if (withSignature)
            server.setFile(Cdn + "version3.txt.minisig", signature);
        else
            server.removeFile(Cdn + "version3.txt.minisig");
        server.setFile(Cdn + "v1_readme.txt", readme);
        server.setFile(Cdn + "v0.12_Kestrivane.exe", evilLauncher);
    }

    bool startLauncher(QProcess *p, const QString &key, qint64 acceptedBefore = -1) {
        install = root.path() + QStringLiteral("/install");
        QDir(install).removeRecursively();
        if (!LauncherProcess::install(install, root.path() + QStringLiteral("/config")))
            return false;
        QFile script(install + QStringLiteral("/update.sh"));
        if (!script.open(QIODevice::WriteOnly))
            return false;
        script.write("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/update-args.txt\"\n");
        script.close();
        if (acceptedBefore >= 0) {
            QSettings config(install + QStringLiteral("/config.ini"), QSettings::IniFormat);
            config.setValue(QStringLiteral("release/signed_timestamp"), acceptedBefore);
        }
        QProcessEnvironment env =
            LauncherProcess::environment(root.path() + QStringLiteral("/config"), server.url());
        env.insert(QStringLiteral("KESTRIVANE_TEST_RELEASE_PUBLIC_KEY"), key);
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::SeparateChannels);
        p->start(install + QStringLiteral("/Kestrivane"), QStringList());
        return p->waitForStarted(10000);
    }

    QList<QByteArray> eventBodies(const QByteArray &event) const {
        QList<QByteArray> found;
        for (const HttpServer::Request &r : server.requestsFor(LogPath)) {
            if (r.body.contains("\"event\":\"" + event + "\""))
                found.append(r.body);
        }
        return found;
    }

private slots:
    void initTestCase() { QVERIFY(server.listen()); }

    void init() {
        server.clearRequests();
        QVERIFY(root.isValid());
    }

    // Every attack: three attempts refused with the network error's texts and an event naming the
    // reason each time, then the fatal text; nothing but the version file and its signature fetched.
    void attacksAreRefused_data() {
        QTest::addColumn<QByteArray>("versionFile");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<bool>("withSignature");
        QTest::addColumn<qint64>("acceptedBefore");
        QTest::addColumn<QByteArray>("reason");

        const QByteArray evil = evilList();
        const QByteArray evilSigned = sign(evil, ReleaseTime);
        QTest::newRow("changed after signing")
            << evil << sign(honestList(), ReleaseTime) << true << qint64(-1) << QByteArray("does not match");
        QTest::newRow("signed by another key") << evil << sign(evil, ReleaseTime, TestKeys::OtherSecretFile)
                                               << true << qint64(-1) << QByteArray("signed by another key");
        QTest::newRow("signature missing")
            << evil << QByteArray() << false << qint64(-1) << QByteArray("signature file missing (HTTP 404)");
        QTest::newRow("signature truncated")
            << evil << evilSigned.left(120) << true << qint64(-1) << QByteArray("malformed signature");
        QTest::newRow("signature garbage") << evil << QByteArray("\x89PNG\r\n\x1a\n").repeated(40) << true
                                           << qint64(-1) << QByteArray("malformed signature");
        QTest::newRow("older release replayed")
            << evil << evilSigned << true << ReleaseTime + 3600 << QByteArray("rollback refused");
        // Any other file the release key signed, served as the version file.
        QTest::newRow("another signed file")
            << evil << sign(evil, ReleaseTime, TestKeys::ReleaseSecretFile, "v2_notes.txt") << true
            << qint64(-1)
            << QByteArray("v2_notes.txt\\\", not version3.txt"); // as the event's JSON escapes it
    }

    void attacksAreRefused() {
        QFETCH(QByteArray, versionFile);
        QFETCH(QByteArray, signature);
        QFETCH(bool, withSignature);
        QFETCH(qint64, acceptedBefore);
        QFETCH(QByteArray, reason);
        serve(versionFile, signature, withSignature);
        QProcess launcher;
        QVERIFY(startLauncher(&launcher, QString::fromLatin1(TestKeys::ReleasePublic), acceptedBefore));
        QTRY_COMPARE_WITH_TIMEOUT(eventBodies("version file signature error").size(), 3, 30000);
        // The third refusal is reported after the fatal text is shown: no further attempt follows.
        LauncherProcess::stop(&launcher);
        const QByteArray log = launcher.readAllStandardError();

        const QList<QByteArray> events = eventBodies("version file signature error");
        QCOMPARE(events.size(), 3);
        for (const QByteArray &e : events)
            QVERIFY2(e.contains("\"reason\":\"") && e.contains(reason), e.constData());
        QVERIFY2(log.contains("version file refused:"), log.constData());
        QVERIFY(eventBodies("check launcher version").isEmpty());
        // Per attempt the copy named by the list's digest (missing), then the fixed name; a signature
        // by our key of other bytes gets a second look at both.
        const int looks = QByteArray(QTest::currentDataTag()) == "changed after signing" ? 2 : 1;
        const QByteArray digestNamed =
            Cdn + ReleaseVerifier::digestSignatureName(QStringLiteral("version3.txt"), versionFile,
                                                       QByteArray(), true)
                      .toLatin1();
        QCOMPARE(server.requestCount(Cdn + "version3.txt"), 3 * looks);
        QCOMPARE(server.requestCount(digestNamed), 3 * looks);
        QCOMPARE(server.requestCount(Cdn + "version3.txt.minisig"), 3 * looks);
        QCOMPARE(server.requestCount(), 9 * looks + server.requestCount(LogPath));
        QVERIFY(!QFile::exists(install + QStringLiteral("/v0.12_Kestrivane.exe")));
        QVERIFY(!QFile::exists(install + QStringLiteral("/update-args.txt")));
        // The accepted release time is left as it was.
        QSettings config(install + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(config.value(QStringLiteral("release/signed_timestamp")).toLongLong(),
                 acceptedBefore < 0 ? 0 : acceptedBefore);
    }

    void signedReleaseInstallsThenSelfUpdates() {
        // First start: the game file is installed and the release time kept.
        serve(honestList(), sign(honestList(), ReleaseTime));
        QProcess first;
        QVERIFY(startLauncher(&first, QString::fromLatin1(TestKeys::ReleasePublic), ReleaseTime - 10));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(install + QStringLiteral("/readme.txt")), readme, 30000);
        LauncherProcess::stop(&first);
        QVERIFY(
            first.readAllStandardError().contains("release signatures verified with key 5F4CDA07E8AC0921"));
        QSettings config(install + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(config.value(QStringLiteral("release/signed_timestamp")).toLongLong(), ReleaseTime);

        // A later signed release lists a new launcher: it is downloaded, written and handed over.
        const QByteArray next = line("Kestrivane.exe", "0.12", newLauncher) + line("readme.txt", "1", readme);
        serve(next, sign(next, ReleaseTime + 60));
        server.setFile(Cdn + "v0.12_Kestrivane.exe", newLauncher);
        QProcess second;
        QVERIFY(startLauncher(&second, QString::fromLatin1(TestKeys::ReleasePublic), ReleaseTime));
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 30000);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(readFile(install + QStringLiteral("/v0.12_Kestrivane.exe")), newLauncher);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(install + QStringLiteral("/update-args.txt")),
                                  QByteArray("v0.12_Kestrivane.exe\n"), 10000);
        QSettings after(install + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(after.value(QStringLiteral("release/signed_timestamp")).toLongLong(), ReleaseTime + 60);
    }

    // Without a key nothing is verified (and the signature is not even asked for), and the log says so.
    void withoutKeyTheUnsignedReleaseInstalls() {
        serve(honestList(), QByteArray(), false);
        QProcess launcher;
        QVERIFY(startLauncher(&launcher, QString()));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(install + QStringLiteral("/readme.txt")), readme, 30000);
        LauncherProcess::stop(&launcher);
        const QByteArray log = launcher.readAllStandardError();
        QCOMPARE(log.count("release signatures are not verified"), 1);
        QCOMPARE(server.requestCount(Cdn + "version3.txt.minisig"), 0);
    }
};

QTEST_GUILESS_MAIN(SignedReleaseTest)
#include "test_signed_release.moc"
