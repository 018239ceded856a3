// The Windows side of the platform layer against the real thing: the registry (checked from a
// separate reg.exe process, as the installer and Windows itself see it), the firmware table, the
// user name, processes and the script host running update.vbs.

#include "platform/platform.h"
#include "services/campaignid.h"
#include "services/deviceid.h"
#include "settings/globalsettings.h"
#include "support/testfiles.h"

#include <QNetworkInterface>
#include <QtTest>

using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

const QString quelvaneKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Quelvane");
const QString runKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");

struct ToolResult {
    int exitCode = -1;
    QString output;
};

// Runs a Windows tool to its end (bounded); exit code -1 when it did not start or finish.
ToolResult runTool(const QString &program, const QStringList &args, int timeoutMs = 60000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    ToolResult r;
    if (!p.waitForStarted(timeoutMs) || !p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.output = QString::fromLocal8Bit(p.readAll());
    if (p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    return r;
}

// The data of value `name` under `key` as reg.exe reports it; null when reg.exe finds no such value.
QString regQuery(const QString &key, const QString &name) {
    const ToolResult r = runTool(QStringLiteral("reg.exe"), {"query", key, "/v", name});
    if (r.exitCode != 0)
        return QString();
    for (const QString &line : r.output.split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        const QString marker = QStringLiteral("REG_SZ");
        const int at = t.indexOf(marker);
        if (at > 0 && t.left(at).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return t.mid(at + marker.size()).trimmed();
    }
    return QString();
}

bool regAdd(const QString &key, const QString &name, const QString &data) {
    return runTool(QStringLiteral("reg.exe"), {"add", key, "/v", name, "/t", "REG_SZ", "/d", data, "/f"})
               .exitCode == 0;
}

void regDeleteValue(const QString &key, const QString &name) {
    runTool(QStringLiteral("reg.exe"), {"delete", key, "/v", name, "/f"});
}

quint32 le32(const QByteArray &b, int at) {
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16 |
           quint32(quint8(b[at + 3])) << 24;
}

} // namespace

class TestWin32Platform : public QObject {
    Q_OBJECT
private:
    QString m_testKey;
    QTemporaryDir m_dir;

    // A launcher folder holding update.vbs, the running launcher and a downloaded release.
    bool prepareUpdateFolder(const QString &dir, QByteArray *newContent) {
        const QString fake = qEnvironmentVariable("KV_FAKE_LAUNCHER");
        const QString script = qEnvironmentVariable("KESTRIVANE_SOURCE_DIR") + "/packaging/update.vbs";
        const QByteArray program = readFile(fake);
        if (program.isEmpty() || !QFile::copy(script, dir + "/update.vbs"))
            return false;
        // Bytes past the end of the image change the file but not what it does.
        *newContent = program + QByteArray("\nv0.12 release\n");
        return writeFile(dir + "/Kestrivane.exe", program) &&
               writeFile(dir + "/v0.12_Kestrivane.exe", *newContent);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        Platform::setLauncherDirOverride(m_dir.path());
        m_testKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\KestrivaneTest%1")
                        .arg(QCoreApplication::applicationPid());
    }

    void cleanupTestCase() {
        runTool(QStringLiteral("reg.exe"), {"delete", m_testKey, "/f"});
        regDeleteValue(quelvaneKey, "Filename");
        regDeleteValue(runKey, GlobalSettings::runValueName());
        GlobalSettings::release();
    }

    void registryValuesRoundTrip() {
        QVERIFY(Platform::registryValue(m_testKey, "Absent").isEmpty());
        QVERIFY(Platform::registryValueNames(m_testKey).isEmpty());

        const QString path = QStringLiteral("C:\\Spiele\\Quelvane \u00fc\u4e2d\\Setup_gcX1lid.exe");
        QVERIFY(Platform::setRegistryValue(m_testKey, "Filename", path));
        QVERIFY(Platform::setRegistryValue(m_testKey, "Other", "one"));
        QVERIFY(Platform::setRegistryValue(m_testKey, "Other", "two"));
        QCOMPARE(Platform::registryValue(m_testKey, "Filename"), path);
        QCOMPARE(Platform::registryValue(m_testKey, "FILENAME"), path);
        QCOMPARE(Platform::registryValue(m_testKey.toLower(), "Other"), QString("two"));
        QStringList names = Platform::registryValueNames(m_testKey);
        names.sort(Qt::CaseInsensitive);
        QCOMPARE(names, QStringList({"Filename", "Other"}));
        // Writes the registry would take but the interface refuses everywhere, and other hives.
        QVERIFY(!Platform::setRegistryValue(m_testKey, "a=b", "x"));
        QVERIFY(!Platform::setRegistryValue(m_testKey, "", "x"));
        QVERIFY(!Platform::setRegistryValue(m_testKey, "Sub/Name", "x"));
        QVERIFY(!Platform::setRegistryValue(m_testKey, "Lines", "one\ntwo"));
        QVERIFY(!Platform::setRegistryValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\KestrivaneTest", "Name", "x"));
        QVERIFY(!Platform::setRunValue("", "x"));
        QCOMPARE(Platform::registryValueNames(m_testKey).size(), 2);
        QCOMPARE(runTool(QStringLiteral("reg.exe"), {"query", m_testKey + "\\Sub"}).exitCode, 1);
        // Another process sees a string value, backslashes intact.
        QCOMPARE(regQuery(m_testKey, "Other"), QString("two"));
        QVERIFY(regQuery(m_testKey, "Filename").endsWith("\\Setup_gcX1lid.exe"));
    }

    void installerFilenameReachesCampaignId() {
        // As the installer leaves it: a plain string value written by another process.
        regDeleteValue(quelvaneKey, "Filename");
        QVERIFY(readCampaignId().isEmpty());
        QVERIFY(regAdd(quelvaneKey, "Filename", "Quelvane_Setup_gcCj0KCQiA-abc_1lid.exe"));
        QCOMPARE(Platform::registryValue(quelvaneKey, "Filename"),
                 QString("Quelvane_Setup_gcCj0KCQiA-abc_1lid.exe"));
        QCOMPARE(readCampaignId(), QString("Cj0KCQiA-abc_1"));
        regDeleteValue(quelvaneKey, "Filename");
        QVERIFY(Platform::registryValue(quelvaneKey, "Filename").isEmpty());
    }

    void startAtLoginOnAndOff() {
        const QString name = GlobalSettings::runValueName();
        regDeleteValue(runKey, name);
        GlobalSettings::release();
        QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 0);

        GlobalSettings::instance()->setValue(AutoLaunch, 1);
        const QString expected = GlobalSettings::expectedRunValue();
        QVERIFY(expected.startsWith('"') && expected.endsWith('"'));
        QCOMPARE(expected.mid(1, expected.size() - 2),
                 QDir::toNativeSeparators(Platform::launcherExecutablePath()));
        QCOMPARE(regQuery(runKey, name), expected);
        GlobalSettings::release();
        QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 1);

        GlobalSettings::instance()->setValue(AutoLaunch, 0);
        QVERIFY(regQuery(runKey, name).isNull());
        QVERIFY(Platform::runValue(name).isEmpty());
        GlobalSettings::release();
        QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 0);

        // A value pointing at another copy is not ours: it reads as off.
        QVERIFY(regAdd(runKey, name, "\"C:\\Elsewhere\\Kestrivane.exe\""));
        GlobalSettings::release();
        QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 0);
        // Removing a value that is not there succeeds.
        regDeleteValue(runKey, name);
        QVERIFY(Platform::removeRunValue(name));
        GlobalSettings::release();
    }

    void smbiosTableWalk() {
        const QByteArray raw = Platform::rawSmbiosTable();
        QVERIFY2(raw.size() > 8, "no firmware table");
        const quint32 length = le32(raw, 4);
        QCOMPARE(qint64(length), qint64(raw.size() - 8));
        QVERIFY(quint8(raw[1]) >= 2);

        // Every structure: formatted part inside the table, string set ending in two NULs.
        QSet<int> types;
        int at = 8;
        int count = 0;
        while (at + 4 <= raw.size()) {
            const int type = quint8(raw[at]);
            const int formatted = quint8(raw[at + 1]);
            QVERIFY2(formatted >= 4 && at + formatted <= raw.size(),
                     qPrintable(QString("structure at %1").arg(at)));
            const int strings = raw.indexOf(QByteArray("\0\0", 2), at + formatted);
            QVERIFY2(strings >= 0, "unterminated strings");
            types.insert(type);
            ++count;
            at = strings + 2;
            if (type == 127)
                break;
        }
        QVERIFY(count >= 2);
        QVERIFY(types.contains(0));
        QVERIFY(types.contains(1));

        const QString id = deviceIdFromSmbiosTable(raw);
        if (id.isEmpty()) {
            qInfo() << "the firmware table has no system UUID";
        } else {
            QVERIFY2(QRegularExpression("^-?[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                         .match(id)
                         .hasMatch(),
                     qPrintable(id));
            QCOMPARE(readDeviceId(), id);
        }
    }

    void userName() {
        const QString name = Platform::currentUserName();
        QVERIFY(!name.isEmpty());
        const ToolResult r = runTool(QStringLiteral("cmd.exe"), {"/c", "echo %USERNAME%"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(name.toLower(), r.output.trimmed().toLower());
    }

    void processExists() {
        QVERIFY(Platform::processExists(QCoreApplication::applicationPid()));
        QVERIFY(!Platform::processExists(0));
        QVERIFY(!Platform::processExists(-5));
        QVERIFY(!Platform::processExists(0x100000000LL));

        QProcess child;
        child.start(qEnvironmentVariable("KV_FAKE_LAUNCHER"), {"--sleep", "20000"});
        QVERIFY(child.waitForStarted(30000));
        const qint64 pid = child.processId();
        QVERIFY(Platform::processExists(pid));
        child.kill();
        QVERIFY(child.waitForFinished(30000));
        QTRY_VERIFY_WITH_TIMEOUT(!Platform::processExists(pid), 10000);
    }

    // Every adapter Qt sees is found by index in the system's own list, and a fresh prefix has no
    // firewall rule for this program.
    void localNetworkAdaptersAndFirewall() {
        QString why;
        QVERIFY(!Platform::lanAdapterAllowed(0x7fffffff, &why));
        QVERIFY2(why.contains("lists no adapter"), qPrintable(why));
        for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
            why.clear();
            if (i.type() != QNetworkInterface::Loopback && !Platform::lanAdapterAllowed(i.index(), &why))
                QVERIFY2(!why.contains("lists no adapter"), qPrintable(i.name() + ": " + why));
        }
        why.clear();
        QVERIFY(!Platform::firewallAllowsServing(&why));
        QVERIFY2(why.contains(".exe", Qt::CaseInsensitive), qPrintable(why));
    }

    void gameProgramIsFoundInTheWorkingFolder() {
        QCOMPARE(Platform::gameProgram(), QString("Quelvane.exe"));
    }

    void selfUpdateThroughTheScriptHost() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QByteArray newContent;
        QVERIFY(prepareUpdateFolder(dir.path(), &newContent));
        const QByteArray oldContent = readFile(dir.path() + "/Kestrivane.exe");

        // The old launcher still runs when the script starts: the script waits for it.
        QProcess old;
        old.start(dir.path() + "/Kestrivane.exe", {"--sleep", "4000"});
        QVERIFY(old.waitForStarted(30000));
        QVERIFY(Platform::startUpdateScript(QDir::toNativeSeparators(dir.path()), "v0.12_Kestrivane.exe"));
        QVERIFY(!QTest::qWaitFor(
            [&] {
                return QFile::exists(dir.path() + "/started.txt") ||
                       readFile(dir.path() + "/Kestrivane.exe") != oldContent;
            },
            1500));
        QCOMPARE(old.state(), QProcess::Running);
        QVERIFY(old.waitForFinished(30000));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.path() + "/started.txt"), 60000);
        QCOMPARE(readFile(dir.path() + "/Kestrivane.exe"), newContent);
        // Started once, without arguments; nothing left beside it.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(dir.path() + "/started.txt").trimmed(), QByteArray("started 0"),
                                  10000);
        QVERIFY(!QFile::exists(dir.path() + "/Kestrivane.exe.new"));
        QVERIFY(readFile(dir.path() + "/update.log").contains("replaced"));
        // It came up: it stays, the old one kept beside it.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(dir.path() + "/update.log").contains("came up"), 30000);
        QCOMPARE(readFile(dir.path() + "/Kestrivane.exe"), newContent);
        QCOMPARE(readFile(dir.path() + "/Kestrivane.previous.exe"), oldContent);
        QVERIFY(!QFile::exists(dir.path() + "/update.failed"));
    }

    // A new launcher that does not say it came up: the previous one is put back and started, at once
    // when the new one ended (the wait for it is far longer than the test's bound).
    void selfUpdateThatDoesNotComeUpIsRolledBack_data() {
        QTest::addColumn<QString>("marker");
        QTest::addColumn<QByteArray>("confirmSeconds");
        QTest::addColumn<QByteArray>("why");
        QTest::newRow("ends without confirming")
            << "no-confirm.txt" << QByteArray("600") << QByteArray("before it ended");
        QTest::newRow("hangs") << "hang.txt" << QByteArray("3") << QByteArray("within 3 s");
    }

    void selfUpdateThatDoesNotComeUpIsRolledBack() {
        QFETCH(QString, marker);
        QFETCH(QByteArray, confirmSeconds);
        QFETCH(QByteArray, why);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QByteArray newContent;
        QVERIFY(prepareUpdateFolder(dir.path(), &newContent));
        const QByteArray oldContent = readFile(dir.path() + "/Kestrivane.exe");
        QVERIFY(writeFile(dir.path() + "/" + marker, "x"));
        qputenv("KV_UPDATE_CONFIRM_S", confirmSeconds);
        const ToolResult r =
            runTool(QStringLiteral("wscript.exe"),
                    {QDir::toNativeSeparators(dir.path() + "/update.vbs"), "v0.12_Kestrivane.exe"}, 120000);
        qunsetenv("KV_UPDATE_CONFIRM_S");
        const QByteArray log = readFile(dir.path() + "/update.log");
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(log.contains("did not come up " + why) && log.contains("put the previous launcher back"),
                 log.constData());
        QCOMPARE(readFile(dir.path() + "/Kestrivane.exe"), oldContent);
        QCOMPARE(readFile(dir.path() + "/update.failed").trimmed(), QByteArray("0.12"));
        QVERIFY(!QFile::exists(dir.path() + "/update.pending"));
        // The new one ran, then the previous one.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(dir.path() + "/started.txt"),
                                  QByteArray("started 0\r\nstarted 0\r\n"), 10000);
    }

    void updateScriptRefusals_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("parent folder") << "..\\evil.exe" << 2;
        QTest::newRow("absolute") << "C:\\evil.exe" << 2;
        QTest::newRow("the launcher itself") << "KESTRIVANE.EXE" << 2;
        QTest::newRow("missing") << "v0.13_Kestrivane.exe" << 1;
        QTest::newRow("empty file") << "empty.exe" << 1;
    }

    void updateScriptRefusals() {
        QFETCH(QString, fileName);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QByteArray newContent;
        QVERIFY(prepareUpdateFolder(dir.path(), &newContent));
        QVERIFY(writeFile(dir.path() + "/empty.exe", QByteArray()));
        const QByteArray oldContent = readFile(dir.path() + "/Kestrivane.exe");

        const ToolResult r = runTool(QStringLiteral("wscript.exe"),
                                     {QDir::toNativeSeparators(dir.path() + "/update.vbs"), fileName});
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(readFile(dir.path() + "/Kestrivane.exe"), oldContent);
        QVERIFY(!QFile::exists(dir.path() + "/started.txt"));
        QVERIFY(!readFile(dir.path() + "/update.log").isEmpty());
        // The refused update is also refused before any script runs when it names a path.
        if (fileName.contains('\\'))
            QVERIFY(!Platform::startUpdateScript(QDir::toNativeSeparators(dir.path()), fileName));
    }
};

QTEST_GUILESS_MAIN(TestWin32Platform)
#include "tst_win32platform.moc"
