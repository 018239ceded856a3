// The stub game: the launcher's tests rely on what it records and how it ends.
#include "toolsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace ToolSupport;

namespace {

QProcessEnvironment gameEnv(const QList<QPair<QString, QString>> &vars) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &k : env.keys()) {
        if (k.startsWith(QLatin1String("KV_FAKEGAME_")))
            env.remove(k);
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const auto &v : vars)
        env.insert(v.first, v.second);
    return env;
}

QStringList zipsIn(const QString &dir) {
    return QDir(dir + QLatin1String("/crash_info"))
        .entryList({QStringLiteral("*.zip")}, QDir::Files, QDir::Name);
}

} // namespace

class TestFakeGame : public QObject {
    Q_OBJECT

private slots:
    void recordsArgumentsAndExitCode();
    void crashesAndLeavesArchives();
    void readsSettingsFileAndEnvironmentWins();
    void windowModeWaitsThenExits();
};

void TestFakeGame::recordsArgumentsAndExitCode() {
    QTemporaryDir tmp;
    const QStringList args = {"-workdir",
                              ".",
                              "-from-launcher",
                              "-parameter",
                              "gclid=a b",
                              "-parameter",
                              QStringLiteral("language=Türkçe")};
    const Run r = run(tool("fakegame"), args, tmp.path(),
                      gameEnv({{"KV_FAKEGAME_HEADLESS", "1"}, {"KV_FAKEGAME_EXIT_CODE", "3"}}));
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(QString::fromUtf8(readFile(tmp.filePath("fakegame-args.txt"))), args.join('\n') + '\n');
    QVERIFY(!QFileInfo::exists(tmp.filePath("crash_info")));

    // No arguments: an empty file, not a missing one.
    QVERIFY(run(tool("fakegame"), {}, tmp.path(), gameEnv({{"KV_FAKEGAME_HEADLESS", "1"}})).exitCode == 0);
    QCOMPARE(readFile(tmp.filePath("fakegame-args.txt")), QByteArray());
}

void TestFakeGame::crashesAndLeavesArchives() {
    QTemporaryDir tmp;
    Run r = run(tool("fakegame"), {"x"}, tmp.path(),
                gameEnv({{"KV_FAKEGAME_HEADLESS", "1"},
                         {"KV_FAKEGAME_CRASH", "1"},
                         {"KV_FAKEGAME_CRASH_ZIPS", "1"},
                         {"KV_FAKEGAME_CRASH_ZIP_SIZE", "100000"}}));
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::CrashExit);
    QStringList zips = zipsIn(tmp.path());
    QCOMPARE(zips.size(), 1);
    QVERIFY(QRegularExpression("^[0-9a-f-]{36}\\.zip$").match(zips.first()).hasMatch());
    const QString zip = tmp.filePath("crash_info/" + zips.first());
    QVERIFY(QFileInfo(zip).size() > 100000);

    if (!QStandardPaths::findExecutable("unzip").isEmpty()) {
        const Run t = run(QStringLiteral("unzip"), {"-tq", zip});
        QVERIFY2(t.exitCode == 0, t.out.constData());
        const Run p = run(QStringLiteral("unzip"), {"-p", zip, "crash.txt"});
        QCOMPARE(p.out.size(), 100000);
        QVERIFY(p.out.startsWith("Quelvane stub crash report\narguments: x\n"));
    }

    // Two archives, exit code 1, and a chosen name for the first.
    QTemporaryDir two;
    r = run(tool("fakegame"), {}, two.path(),
            gameEnv({{"KV_FAKEGAME_HEADLESS", "1"},
                     {"KV_FAKEGAME_EXIT_CODE", "1"},
                     {"KV_FAKEGAME_CRASH_ZIPS", "2"},
                     {"KV_FAKEGAME_CRASH_ZIP_NAME", "a.b.zip"}}));
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    zips = zipsIn(two.path());
    QCOMPARE(zips.size(), 2);
    QVERIFY(zips.contains("a.b.zip"));
}

void TestFakeGame::readsSettingsFileAndEnvironmentWins() {
    QTemporaryDir tmp;
    QVERIFY(writeFile(
        tmp.filePath("fakegame.ini"),
        "# stub settings\r\n[General]\r\nheadless=1\r\nexit_code=7\r\ncrash_zips=1\r\nwait_ms=50\r\n"));
    Run r = run(tool("fakegame"), {}, tmp.path(), gameEnv({}));
    QCOMPARE(r.exitCode, 7);
    QCOMPARE(zipsIn(tmp.path()).size(), 1);

    r = run(tool("fakegame"), {}, tmp.path(), gameEnv({{"KV_FAKEGAME_EXIT_CODE", "9"}}));
    QCOMPARE(r.exitCode, 9);

    // A bad value is reported and the default kept.
    QVERIFY(writeFile(tmp.filePath("fakegame.ini"), "headless=1\nexit_code=many\nbogus=1\n"));
    r = run(tool("fakegame"), {}, tmp.path(), gameEnv({}));
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.err.contains("exit_code"));
    QVERIFY(r.err.contains("bogus"));
}

void TestFakeGame::windowModeWaitsThenExits() {
    QTemporaryDir tmp;
    QProcess p;
    p.setWorkingDirectory(tmp.path());
    p.setProcessEnvironment(gameEnv({{"KV_FAKEGAME_WAIT_MS", "1500"}, {"KV_FAKEGAME_EXIT_CODE", "4"}}));
    p.start(tool("fakegame"), {"-workdir", "."});
    QVERIFY(p.waitForStarted(10000));
    // The argument file is there while the game still runs.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(tmp.filePath("fakegame-args.txt")), 10000);
    QVERIFY(p.state() != QProcess::NotRunning);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 4);
}

QTEST_GUILESS_MAIN(TestFakeGame)
#include "tst_fakegame.moc"
