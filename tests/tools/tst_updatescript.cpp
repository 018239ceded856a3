// packaging/update.sh: waits for the old launcher, swaps the binary atomically, restarts it.
#include "support/httpserver.h"
#include "support/launcherprocess.h"
#include "toolsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace ToolSupport;

namespace {

// A launcher folder whose "Kestrivane" is a copy of sleep, so a running "old launcher" is a process
// whose executable is exactly that file.
struct LauncherDir {
    QTemporaryDir tmp;
    QString dir;
    QByteArray oldBinary;
    QByteArray newLauncher;

    bool make() {
        dir = QFileInfo(tmp.path()).canonicalFilePath();
        const QString sleep = QStandardPaths::findExecutable("sleep");
        oldBinary = readFile(sleep);
        // The new launcher records that it was started, and from where, and says it came up.
        newLauncher =
            "#!/bin/sh\npwd > started.txt\n[ -e update.pending ] && mv update.pending update.confirmed\n";
        return !oldBinary.isEmpty() && writeFile(dir + "/Kestrivane", oldBinary) &&
               QFile::setPermissions(dir + "/Kestrivane", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                              QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                              QFileDevice::ExeGroup |
                                                              QFileDevice::ReadOther) &&
               writeFile(dir + "/v0.12_Kestrivane.exe", newLauncher) &&
               QFile::copy(sourceDir() + "/packaging/update.sh", dir + "/update.sh");
    }

    QFileDevice::Permissions mode() const { return QFile::permissions(dir + "/Kestrivane"); }
};

Run update(const LauncherDir &l, const QStringList &args, int waitSeconds = 30) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KV_UPDATE_WAIT_S", QString::number(waitSeconds));
    // Run from elsewhere: the script must find its folder by itself.
    return run("/bin/sh", QStringList{l.dir + "/update.sh"} + args, QDir::tempPath(), env, 90000);
}

} // namespace

class TestUpdateScript : public QObject {
    Q_OBJECT

private slots:
    void replacesAfterTheOldLauncherEnds();
    void failuresKeepTheOldLauncher_data();
    void failuresKeepTheOldLauncher();
    void givesUpWhenTheOldLauncherKeepsRunning();
    void newLauncherThatDoesNotComeUpIsRolledBack_data();
    void newLauncherThatDoesNotComeUpIsRolledBack();
    void realLauncherIsKeptOnlyOnceUp_data();
    void realLauncherIsKeptOnlyOnceUp();
};

void TestUpdateScript::replacesAfterTheOldLauncherEnds() {
    LauncherDir l;
    QVERIFY(l.make());
    const QFileDevice::Permissions mode = l.mode();

    QProcess old;
    old.setWorkingDirectory(l.dir);
    old.start(l.dir + "/Kestrivane", {"3"});
    QVERIFY(old.waitForStarted(5000));

    QProcess script;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KV_UPDATE_WAIT_S", "60");
    script.setProcessEnvironment(env);
    script.setWorkingDirectory(QDir::tempPath());
    script.start("/bin/sh", {l.dir + "/update.sh", "v0.12_Kestrivane.exe"});
    QVERIFY(script.waitForStarted(5000));

    // While the old launcher runs, nothing is touched.
    QVERIFY(!script.waitForFinished(1000));
    QCOMPARE(readFile(l.dir + "/Kestrivane"), l.oldBinary);
    QVERIFY(old.state() != QProcess::NotRunning);

    QVERIFY(old.waitForFinished(10000));
    QVERIFY(script.waitForFinished(30000));
    QCOMPARE(script.exitCode(), 0);
    QCOMPARE(readFile(l.dir + "/Kestrivane"), l.newLauncher);
    QCOMPARE(l.mode(), mode);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(l.dir + "/started.txt"), l.dir.toUtf8() + '\n', 10000);
    QVERIFY(readFile(l.dir + "/update.log").contains("replaced"));
    // The new launcher came up: it stays, with the old one kept beside it.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(l.dir + "/update.log").contains("came up"), 10000);
    QCOMPARE(readFile(l.dir + "/Kestrivane"), l.newLauncher);
    QCOMPARE(readFile(l.dir + "/Kestrivane.previous"), l.oldBinary);
    QVERIFY(!QFileInfo::exists(l.dir + "/update.confirmed"));
    QVERIFY(!QFileInfo::exists(l.dir + "/update.failed"));
    // No temporary copy left behind.
    QCOMPARE(QDir(l.dir).entryList({".Kestrivane*"}, QDir::Files | QDir::Hidden).size(), 0);
}

void TestUpdateScript::failuresKeepTheOldLauncher_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no name") << QStringList{} << 2;
    QTest::newRow("path") << QStringList{"../v0.12_Kestrivane.exe"} << 2;
    QTest::newRow("absolute") << QStringList{"/tmp/v0.12_Kestrivane.exe"} << 2;
    QTest::newRow("backslash") << QStringList{"a\\v0.12_Kestrivane.exe"} << 2;
    QTest::newRow("itself") << QStringList{"Kestrivane"} << 2;
    QTest::newRow("option") << QStringList{"-rf"} << 2;
    QTest::newRow("missing") << QStringList{"v0.13_Kestrivane.exe"} << 1;
    QTest::newRow("empty") << QStringList{"empty.exe"} << 1;
    QTest::newRow("directory") << QStringList{"folder"} << 1;
    QTest::newRow("the previous launcher") << QStringList{"Kestrivane.previous"} << 2;
}

void TestUpdateScript::failuresKeepTheOldLauncher() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    LauncherDir l;
    QVERIFY(l.make());
    QVERIFY(writeFile(l.dir + "/empty.exe", ""));
    QVERIFY(QDir(l.dir).mkdir("folder"));
    const QFileDevice::Permissions mode = l.mode();

    const Run r = update(l, args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(readFile(l.dir + "/Kestrivane"), l.oldBinary);
    QCOMPARE(l.mode(), mode);
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(l.dir + "/started.txt"));
}

void TestUpdateScript::givesUpWhenTheOldLauncherKeepsRunning() {
    LauncherDir l;
    QVERIFY(l.make());
    QProcess old;
    old.start(l.dir + "/Kestrivane", {"30"});
    QVERIFY(old.waitForStarted(5000));

    const Run r = update(l, {"v0.12_Kestrivane.exe"}, 1);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("still runs"), r.err.constData());
    QCOMPARE(readFile(l.dir + "/Kestrivane"), l.oldBinary);
    QVERIFY(!QFileInfo::exists(l.dir + "/started.txt"));
    old.kill();
    old.waitForFinished(5000);
}

void TestUpdateScript::newLauncherThatDoesNotComeUpIsRolledBack_data() {
    QTest::addColumn<QByteArray>("broken");
    QTest::newRow("exits at once") << QByteArray("#!/bin/sh\necho new >> runs.txt\nexit 3\n");
    // A program that runs without end when started without arguments, as a hung launcher does.
    QTest::newRow("hangs") << readFile(QStandardPaths::findExecutable("yes"));
    QTest::newRow("cannot run") << QByteArray("\x7f"
                                              "ELF broken");
}

namespace {

// Processes whose program is a file of `dir` (or was, before it was replaced).
QStringList processesRunningFrom(const QString &dir) {
    QStringList found;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        const QString exe = QFile::symLinkTarget("/proc/" + pid + "/exe");
        if (exe.startsWith(dir + "/"))
            found.append(pid + " " + exe);
    }
    return found;
}

} // namespace

// The previous launcher is a script of its own here, so the test can tell which one runs.
void TestUpdateScript::newLauncherThatDoesNotComeUpIsRolledBack() {
    QFETCH(QByteArray, broken);
    LauncherDir l;
    QVERIFY(l.make());
    const QByteArray previous = "#!/bin/sh\necho previous >> runs.txt\n";
    QVERIFY(writeFile(l.dir + "/Kestrivane", previous));
    QVERIFY(writeFile(l.dir + "/v0.13_Kestrivane.exe", broken));
    QVERIFY(writeFile(l.dir + "/update.failed", "0.12 reported\n")); // an older failure is replaced
    const QFileDevice::Permissions mode = l.mode();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KV_UPDATE_CONFIRM_S", "2");
    const Run r =
        run("/bin/sh", {l.dir + "/update.sh", "v0.13_Kestrivane.exe"}, QDir::tempPath(), env, 90000);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    const QByteArray log = readFile(l.dir + "/update.log");
    QVERIFY2(log.contains("did not come up") && log.contains("put the previous launcher back"),
             log.constData());
    QCOMPARE(readFile(l.dir + "/Kestrivane"), previous);
    QCOMPARE(l.mode(), mode);
    QCOMPARE(readFile(l.dir + "/update.failed"), QByteArray("0.13\n"));
    QVERIFY(!QFileInfo::exists(l.dir + "/update.pending"));
    QVERIFY(!QFileInfo::exists(l.dir + "/update.confirmed"));
    // The previous launcher runs again; nothing of the new one is left running.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(l.dir + "/runs.txt").endsWith("previous\n"), 10000);
    QVERIFY(!readFile(l.dir + "/runs.txt").contains("previous\nnew"));
    const QStringList running = processesRunningFrom(l.dir);
    QVERIFY2(running.isEmpty(), qPrintable(running.join(", ")));
    QCOMPARE(QDir(l.dir).entryList({".Kestrivane*", ".update*"}, QDir::Files | QDir::Hidden).size(), 0);
}

void TestUpdateScript::realLauncherIsKeptOnlyOnceUp_data() {
    QTest::addColumn<QString>("act");
    QTest::addColumn<int>("confirmAfterMs"); // its window showed and its check ended
    QTest::addColumn<int>("scriptWaitS");
    QTest::addColumn<bool>("kept");
    QTest::newRow("crashes soon after its window") << "crash" << 60000 << 600 << false;
    QTest::newRow("hangs, a second start hands over") << "hang" << 60000 << 15 << false;
    QTest::newRow("closed early by the player") << "close" << 60000 << 600 << true;
    QTest::newRow("runs on") << "stay" << 1000 << 600 << true;
}

// The launcher built from main() is the new one: the script keeps it only once it came up, and puts
// the previous one back at once when it ends before that.
void TestUpdateScript::realLauncherIsKeptOnlyOnceUp() {
    QFETCH(QString, act);
    QFETCH(int, confirmAfterMs);
    QFETCH(int, scriptWaitS);
    QFETCH(bool, kept);
    LauncherDir l;
    QVERIFY(l.make());
    const QByteArray previous = "#!/bin/sh\necho previous >> runs.txt\n";
    const QByteArray newLauncher = readFile(LauncherProcess::envBinary());
    QVERIFY(writeFile(l.dir + "/Kestrivane", previous) &&
            writeFile(l.dir + "/v0.12_Kestrivane.exe", newLauncher));
    HttpServer server;
    QVERIFY(server.listen());
    // Up to date: its version check ends on the game page.
    server.setFile("/sea/win_update/version3.txt", "Kestrivane.exe:0.11:" + md5Hex("x").toUtf8() + ":1\n");
    QProcessEnvironment env = LauncherProcess::environment(l.tmp.path() + "/config", server.url());
    env.insert("KESTRIVANE_TEST_START_CONFIRM_MS", QString::number(confirmAfterMs));
    env.insert("KV_UPDATE_CONFIRM_S", QString::number(scriptWaitS));
    QProcess script;
    script.setProcessEnvironment(env);
    script.start("/bin/sh", {l.dir + "/update.sh", "v0.12_Kestrivane.exe"});
    // Its event loop runs: it sent its first event.
    QTRY_VERIFY_WITH_TIMEOUT(server.requestCount("/c_bq_log/bq_log") > 0, 30000);
    const QStringList running = processesRunningFrom(l.dir);
    QCOMPARE(running.size(), 1);
    const int pid = running.first().section(' ', 0, 0).toInt();
    if (act == "hang") {
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        const Run second = run(l.dir + "/Kestrivane", {}, l.dir, env, 30000);
        QCOMPARE(second.exitCode, 0);
        QVERIFY(QFileInfo::exists(l.dir + "/update.pending") && script.state() == QProcess::Running);
    } else if (act != "stay") {
        // A session end leaves in order, as the close button does.
        QCOMPARE(::kill(pid, act == "crash" ? SIGSEGV : SIGTERM), 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(script.state(), QProcess::NotRunning, 60000);
    const QByteArray log = readFile(l.dir + "/update.log");
    QVERIFY2(log.contains(kept ? "came up" : "put the previous launcher back"), log.constData());
    QCOMPARE(script.exitCode(), kept ? 0 : 1);
    QCOMPARE(readFile(l.dir + "/Kestrivane"), kept ? newLauncher : previous);
    QCOMPARE(QFileInfo::exists(l.dir + "/update.failed"), !kept);
    if (act == "stay")
        ::kill(pid, SIGKILL);
}

QTEST_GUILESS_MAIN(TestUpdateScript)
#include "tst_updatescript.moc"
