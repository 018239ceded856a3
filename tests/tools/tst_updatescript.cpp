// packaging/update.sh: waits for the old launcher, swaps the binary atomically, restarts it.
#include "toolsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

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
        // The new launcher records that it was started, and from where.
        newLauncher = "#!/bin/sh\npwd > started.txt\n";
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

QTEST_GUILESS_MAIN(TestUpdateScript)
#include "tst_updatescript.moc"
