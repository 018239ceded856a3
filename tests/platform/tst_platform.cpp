#include "platform/platform.h"
#include "support/testfiles.h"

#include <QtTest>

#include <unistd.h>

using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

const QString quelvaneKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Quelvane");

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_config;
    QString registryFile() const { return m_config.path() + "/Quelvane/registry.ini"; }
    QString autostartFile() const { return m_config.path() + "/autostart/Quelvane.desktop"; }

private slots:
    void initTestCase() {
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void cleanup() {
        QFile::remove(registryFile());
        QFile::remove(autostartFile());
        Platform::setLauncherDirOverride(QString());
    }

    void launcherDirOverride() {
        QCOMPARE(Platform::launcherDir(), QCoreApplication::applicationDirPath());
        Platform::setLauncherDirOverride(m_config.path() + "/x/");
        QCOMPARE(Platform::launcherDir(), m_config.path() + "/x");
        // The executable itself does not move with the directory.
        QCOMPARE(Platform::launcherExecutablePath(), QCoreApplication::applicationFilePath());
        Platform::setLauncherDirOverride(QString());
        QCOMPARE(Platform::launcherDir(), QCoreApplication::applicationDirPath());
    }

    void registryReadsHandWrittenFile() {
        QVERIFY(writeFile(registryFile(), "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\r\n"
                                          "Filename=wrong\r\n"
                                          "\r\n"
                                          "[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]\r\n"
                                          "; installer\r\n"
                                          "Filename=C:\\Games\\Quelvane\\Quelvane.exe\r\n"
                                          "Channel= a=b \r\n"));
        QCOMPARE(Platform::registryValue(quelvaneKey, "Filename"),
                 QString("C:\\Games\\Quelvane\\Quelvane.exe"));
        // Registry names are not case-sensitive; values are taken literally.
        QCOMPARE(Platform::registryValue("hkey_current_user\\software\\quelvane", "FILENAME"),
                 QString("C:\\Games\\Quelvane\\Quelvane.exe"));
        QCOMPARE(Platform::registryValue(quelvaneKey, "Channel"), QString(" a=b "));
        QCOMPARE(Platform::registryValueNames(quelvaneKey), QStringList({"Filename", "Channel"}));
        QVERIFY(Platform::registryValue(quelvaneKey, "Missing").isEmpty());
        QVERIFY(Platform::registryValue("HKEY_CURRENT_USER\\SOFTWARE", "Filename").isEmpty());
    }

    void registryMissingFile() {
        QVERIFY(Platform::registryValue(quelvaneKey, "Filename").isEmpty());
        QVERIFY(Platform::registryValueNames(quelvaneKey).isEmpty());
    }

    void registryWriteKeepsOtherEntries() {
        QVERIFY(writeFile(registryFile(), "[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]\n"
                                          "Filename=old\n"
                                          "\n"
                                          "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n"
                                          "Keep=1\n"));
        QVERIFY(Platform::setRegistryValue(quelvaneKey, "filename", "D:\\New Path\\Q.exe"));
        QVERIFY(Platform::setRegistryValue(quelvaneKey, "Added", "x"));
        QVERIFY(Platform::setRegistryValue("HKEY_CURRENT_USER\\SOFTWARE\\Third", "V", ""));
        QCOMPARE(Platform::registryValue(quelvaneKey, "Filename"), QString("D:\\New Path\\Q.exe"));
        QCOMPARE(Platform::registryValue(quelvaneKey, "Added"), QString("x"));
        QCOMPARE(Platform::registryValue("HKEY_CURRENT_USER\\SOFTWARE\\Other", "Keep"), QString("1"));
        QCOMPARE(Platform::registryValueNames("HKEY_CURRENT_USER\\SOFTWARE\\Third"), QStringList({"V"}));
        const QByteArray text = readFile(registryFile());
        QCOMPARE(text.count("[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]"), 1);
        QVERIFY(text.contains(
            "[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]\nfilename=D:\\New Path\\Q.exe\nAdded=x\n"));
    }

    void registryWriteCreatesFileAndRefusesBadInput() {
        QVERIFY(Platform::setRegistryValue(quelvaneKey, "Filename", "C:\\Q.exe"));
        QCOMPARE(readFile(registryFile()),
                 QByteArray("[HKEY_CURRENT_USER\\SOFTWARE\\Quelvane]\nFilename=C:\\Q.exe\n"));

        QVERIFY(!Platform::setRegistryValue(quelvaneKey, "", "v"));
        QVERIFY(!Platform::setRegistryValue(quelvaneKey, "a=b", "v"));
        QVERIFY(!Platform::setRegistryValue(quelvaneKey, "[x", "v"));
        QVERIFY(!Platform::setRegistryValue(quelvaneKey, "Filename", "two\nlines"));
        QVERIFY(!Platform::setRegistryValue("A]\n[B", "Filename", "v"));
        QCOMPARE(Platform::registryValue(quelvaneKey, "Filename"), QString("C:\\Q.exe"));
    }

    void autostartEntryRoundTrip_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("quoted path") << QString("\"/opt/Quelvane Launcher/Kestrivane\"");
        QTest::newRow("backslashes") << QString("\"C:\\Games\\Quelvane\\Kestrivane.exe\"");
        QTest::newRow("leading space and tab") << QString(" a\tb");
        QTest::newRow("escape-like text") << QString("x\\ny\\s");
    }

    void autostartEntryRoundTrip() {
        QFETCH(QString, value);
        QVERIFY(Platform::runValue("Quelvane").isEmpty());
        QVERIFY(Platform::setRunValue("Quelvane", value));
        QCOMPARE(Platform::runValue("Quelvane"), value);

        // A valid desktop entry that autostart implementations accept.
        const QStringList lines = QString::fromUtf8(readFile(autostartFile())).split('\n');
        QCOMPARE(lines.first(), QString("[Desktop Entry]"));
        QVERIFY(lines.contains("Type=Application"));
        QVERIFY(lines.contains("Name=Quelvane"));
        QCOMPARE(lines.filter(QRegularExpression("^Exec=")).size(), 1);

        QVERIFY(Platform::removeRunValue("Quelvane"));
        QVERIFY(!QFile::exists(autostartFile()));
        QVERIFY(Platform::runValue("Quelvane").isEmpty());
        // Removing what is not there is not a failure.
        QVERIFY(Platform::removeRunValue("Quelvane"));
    }

    void autostartPlainExecAndHiddenEntry() {
        QVERIFY(writeFile(autostartFile(),
                          "[Desktop Entry]\nType=Application\nName=Quelvane\n"
                          "Exec=\"/home/u/Kestrivane\"\n\n[Desktop Action x]\nExec=other\n"));
        QCOMPARE(Platform::runValue("Quelvane"), QString("\"/home/u/Kestrivane\""));
        QVERIFY(writeFile(autostartFile(), "[Desktop Entry]\nType=Application\nExec=/x\nHidden=true\n"));
        QVERIFY(Platform::runValue("Quelvane").isEmpty());
    }

    void autostartRefusesBadInput() {
        QVERIFY(!Platform::setRunValue("Quelvane", "a\nExec=evil"));
        QVERIFY(!Platform::setRunValue("../escape", "x"));
        QVERIFY(!Platform::setRunValue("Quelvane", ""));
        QVERIFY(!QFile::exists(autostartFile()));
        QVERIFY(!QFile::exists(m_config.path() + "/escape.desktop"));
    }

    void currentUserName() {
        QProcess id;
        id.start("id", {"-un"});
        QVERIFY(id.waitForFinished(10000));
        const QString expected = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
        QVERIFY(!expected.isEmpty());
        QCOMPARE(Platform::currentUserName(), expected);
    }

    void processExists() {
        QVERIFY(Platform::processExists(QCoreApplication::applicationPid()));
        QVERIFY(Platform::processExists(1)); // init: alive, whether or not we may signal it
        QVERIFY(!Platform::processExists(0));
        QVERIFY(!Platform::processExists(-1));
        QVERIFY(!Platform::processExists(qint64(1) << 40));

        QProcess child;
        child.start("/bin/sh", {"-c", "exit 0"});
        QVERIFY(child.waitForStarted(10000));
        const qint64 pid = child.processId();
        QVERIFY(child.waitForFinished(10000));
        QVERIFY(!Platform::processExists(pid));
    }

    void updateScriptStartsDetached() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString marker = dir.path() + "/marker.txt";
        QVERIFY(writeFile(
            dir.path() + "/update.sh",
            QString("printf '%s|%s' \"$1\" \"$(pwd)\" > '%1.tmp'\nmv '%1.tmp' '%1'\n").arg(marker).toUtf8()));
        QVERIFY(Platform::startUpdateScript(dir.path(), "v0.12_Kestrivane"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 20000);
        QCOMPARE(QString::fromUtf8(readFile(marker)), "v0.12_Kestrivane|" + QDir::currentPath());
    }

    void updateScriptRefusesPaths() {
        QTemporaryDir dir;
        QVERIFY(!Platform::startUpdateScript(dir.path(), ""));
        QVERIFY(!Platform::startUpdateScript(dir.path(), "../Kestrivane"));
        QVERIFY(!Platform::startUpdateScript(dir.path(), "sub/Kestrivane"));
    }

    void gameProgramBecomesExecutable() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Platform::setLauncherDirOverride(dir.path());
        const QString game = dir.path() + "/Quelvane.exe";

        // Not there yet: the path is still given, nothing is created.
        QCOMPARE(Platform::gameProgram(), game);
        QVERIFY(!QFile::exists(game));

        QVERIFY(writeFile(game, "#!/bin/sh\nexit 7\n"));
        QVERIFY(QFile::setPermissions(game, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        const QString program = Platform::gameProgram();
        QCOMPARE(program, game);
        QVERIFY(QFileInfo(program).isAbsolute());
        QVERIFY(QFile::permissions(game) & QFile::ExeOwner);
        QVERIFY(QFile::permissions(game) & QFile::ReadGroup);

        QProcess p;
        p.start(program, QStringList());
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 7);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
