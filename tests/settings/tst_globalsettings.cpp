#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "support/testfiles.h"

#include <QtTest>

#include <algorithm>

namespace {

GlobalSettings *reload() {
    GlobalSettings::release();
    return GlobalSettings::instance();
}

} // namespace

using TestFiles::writeFile;

class TestGlobalSettings : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_config;
    QScopedPointer<QTemporaryDir> m_dir;
    QString iniPath() const { return m_dir->path() + "/settings.ini"; }
    QString autostartFile() const { return m_config.path() + "/autostart/Quelvane.desktop"; }

private slots:
    void initTestCase() {
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        QCOMPARE(QLocale::system().language(), QLocale::German);
    }

    void init() {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        Platform::setLauncherDirOverride(m_dir->path());
        QFile::remove(autostartFile());
    }

    void cleanup() {
        GlobalSettings::release();
        Platform::setLauncherDirOverride(QString());
    }

    void freshInstallWritesNothing() {
        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(GlobalSettings::filePath(), iniPath());
        QCOMPARE(s->value(AutoLaunch), 0);
        QCOMPARE(s->value(Language), 4); // German, derived from the system locale
        QCOMPARE(s->value(PopupOnExit), 1);
        QCOMPARE(s->value(CloseGameAction), 0);
        QCOMPARE(s->value(PopupOnCrash), 1);
        QCOMPARE(s->value(DownloadLimitKbps), 0);
        QCOMPARE(s->value(PauseDownloadsWhilePlaying), 0);
        QCOMPARE(s->value(ShareWithLocalNetwork), 1);
        GlobalSettings::release();
        QVERIFY(!QFile::exists(iniPath()));
        QVERIFY(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

    void keysOutsideRange() {
        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(s->value(ShareWithLocalNetwork), 1);
        QCOMPARE(s->value(DownloadOnMetered), 0); // the last key
        QCOMPARE(s->value(SettingCount), -1);
        QCOMPARE(s->value(-1), -1);
        s->setValue(SettingCount, 1);
        s->setValue(-1, 1);
        QCOMPARE(s->value(SettingCount), -1);
        GlobalSettings::release();
        QVERIFY(!QFile::exists(iniPath()));
    }

    void eachKeyWrittenThrough() {
        GlobalSettings *s = GlobalSettings::instance();
        s->setValue(Language, 6);
        s->setValue(PopupOnExit, 0);
        s->setValue(CloseGameAction, 1);
        s->setValue(PopupOnCrash, 0);
        QCOMPARE(s->value(Language), 6);
        QCOMPARE(s->value(PopupOnCrash), 0);

        // On disk at once, while the store is still alive (read raw: QSettings objects of one
        // process share unsynced changes).
        {
            QFile f(iniPath());
            QVERIFY(f.open(QIODevice::ReadOnly));
            QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.takeFirst(), QString("[global_settings]"));
            lines.sort();
            QCOMPARE(lines, QStringList({"close_game_action=1", "language=6", "popup_on_crash=0",
                                         "popup_on_exit=0"}));
        }

        s = reload();
        QCOMPARE(s->value(Language), 6);
        QCOMPARE(s->value(PopupOnExit), 0);
        QCOMPARE(s->value(CloseGameAction), 1);
        QCOMPARE(s->value(PopupOnCrash), 0);
    }

    // The limit in kilobytes per second, as the dialog or an administrator writes it: 0 or at
    // least 100; anything else is refused with a log line and the downloads go unlimited.
    void downloadLimitReadFromFile_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("kbps");
        QTest::addColumn<bool>("refused");
        QTest::newRow("absent") << QByteArray() << 0 << false;
        QTest::newRow("unlimited") << QByteArray("download_limit_kbps=0") << 0 << false;
        QTest::newRow("lowest") << QByteArray("download_limit_kbps=100") << 100 << false;
        QTest::newRow("20 MB/s") << QByteArray("download_limit_kbps=20480") << 20480 << false;
        QTest::newRow("spaces") << QByteArray("download_limit_kbps= 512 ") << 512 << false;
        QTest::newRow("highest") << QByteArray("download_limit_kbps=2097151") << 2097151 << false;
        QTest::newRow("below 100") << QByteArray("download_limit_kbps=99") << 0 << true;
        QTest::newRow("negative") << QByteArray("download_limit_kbps=-500") << 0 << true;
        QTest::newRow("too large") << QByteArray("download_limit_kbps=2097152") << 0 << true;
        QTest::newRow("beyond 64 bits")
            << QByteArray("download_limit_kbps=99999999999999999999") << 0 << true;
        QTest::newRow("text") << QByteArray("download_limit_kbps=fast") << 0 << true;
        QTest::newRow("with unit") << QByteArray("download_limit_kbps=500k") << 0 << true;
        QTest::newRow("fraction") << QByteArray("download_limit_kbps=150.5") << 0 << true;
        QTest::newRow("empty") << QByteArray("download_limit_kbps=") << 0 << true;
    }

    void downloadLimitReadFromFile() {
        QFETCH(QByteArray, line);
        QFETCH(int, kbps);
        QFETCH(bool, refused);
        QVERIFY(writeFile(iniPath(), "[global_settings]\npopup_on_exit=0\n" + line + "\n"));
        if (refused)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^download limit refused, downloads unlimited"));
        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(s->value(DownloadLimitKbps), kbps);
        QCOMPARE(s->value(PopupOnExit), 0); // the other keys are read as ever
    }

    void downloadLimitWrittenThrough() {
        GlobalSettings *s = GlobalSettings::instance();
        s->setValue(DownloadLimitKbps, 2048);
        QCOMPARE(reload()->value(DownloadLimitKbps), 2048);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^download limit refused"));
        GlobalSettings::instance()->setValue(DownloadLimitKbps, 50);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^download limit refused"));
        GlobalSettings::instance()->setValue(DownloadLimitKbps, -1);
        QCOMPARE(GlobalSettings::instance()->value(DownloadLimitKbps), 2048);
        GlobalSettings::instance()->setValue(DownloadLimitKbps, 0);
        QCOMPARE(reload()->value(DownloadLimitKbps), 0);
        GlobalSettings::release();
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        // Windows writes the file with CRLF line ends.
        QCOMPARE(f.readAll().replace("\r\n", "\n").trimmed(),
                 QByteArray("[global_settings]\ndownload_limit_kbps=0"));
    }

    // The two switches as the dialog or an administrator writes them: 0 or 1; anything else is
    // refused with a log line. Refused, downloads go on while the game runs, and sharing is off: it
    // tells the network about the game, so "false" or "no" must not read as on.
    void switchesReadFromFile_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("refusal");
        const int pause = PauseDownloadsWhilePlaying;
        const int share = ShareWithLocalNetwork;
        const QString paused("^pause downloads while playing refused, downloads not paused");
        const QString shared("^share with local network refused, sharing off");
        QTest::newRow("absent") << pause << QByteArray() << 0 << QString();
        QTest::newRow("off") << pause << QByteArray("pause_downloads_while_playing=0") << 0 << QString();
        QTest::newRow("on") << pause << QByteArray("pause_downloads_while_playing=1") << 1 << QString();
        QTest::newRow("spaces") << pause << QByteArray("pause_downloads_while_playing= 1 ") << 1 << QString();
        QTest::newRow("two") << pause << QByteArray("pause_downloads_while_playing=2") << 0 << paused;
        QTest::newRow("negative") << pause << QByteArray("pause_downloads_while_playing=-1") << 0 << paused;
        QTest::newRow("leading zero")
            << pause << QByteArray("pause_downloads_while_playing=01") << 0 << paused;
        QTest::newRow("word") << pause << QByteArray("pause_downloads_while_playing=true") << 0 << paused;
        QTest::newRow("fraction") << pause << QByteArray("pause_downloads_while_playing=1.0") << 0 << paused;
        QTest::newRow("garbage") << pause << QByteArray("pause_downloads_while_playing=\x01yes") << 0
                                 << paused;
        QTest::newRow("empty") << pause << QByteArray("pause_downloads_while_playing=") << 0 << paused;
        QTest::newRow("share absent") << share << QByteArray() << 1 << QString();
        QTest::newRow("share off") << share << QByteArray("share_with_local_network=0") << 0 << QString();
        QTest::newRow("share on") << share << QByteArray("share_with_local_network= 1") << 1 << QString();
        QTest::newRow("share false") << share << QByteArray("share_with_local_network=false") << 0 << shared;
        QTest::newRow("share two") << share << QByteArray("share_with_local_network=2") << 0 << shared;
        QTest::newRow("share empty") << share << QByteArray("share_with_local_network=") << 0 << shared;
        QTest::newRow("metered on") << int(DownloadOnMetered) << QByteArray("download_on_metered=1") << 1
                                    << QString();
        QTest::newRow("metered word") << int(DownloadOnMetered) << QByteArray("download_on_metered=yes") << 0
                                      << QString("^download on metered connections refused, downloads wait");
    }

    void switchesReadFromFile() {
        QFETCH(int, key);
        QFETCH(QByteArray, line);
        QFETCH(int, expected);
        QFETCH(QString, refusal);
        QVERIFY(writeFile(iniPath(), "[global_settings]\npopup_on_crash=0\ndownload_limit_kbps=512\n" + line +
                                         "\nclose_game_action=1\n"));
        if (!refusal.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(refusal));
        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(s->value(key), expected);
        // The keys around it are read as ever.
        QCOMPARE(s->value(PopupOnCrash), 0);
        QCOMPARE(s->value(DownloadLimitKbps), 512);
        QCOMPARE(s->value(CloseGameAction), 1);
    }

    void pauseWhilePlayingWrittenThrough() {
        GlobalSettings *s = GlobalSettings::instance();
        s->setValue(PauseDownloadsWhilePlaying, 1);
        QCOMPARE(s->value(PauseDownloadsWhilePlaying), 1);
        {
            // On disk at once, while the store is still alive.
            QFile f(iniPath());
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY(f.readAll().contains("pause_downloads_while_playing=1"));
        }
        QCOMPARE(reload()->value(PauseDownloadsWhilePlaying), 1);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^pause downloads while playing refused"));
        GlobalSettings::instance()->setValue(PauseDownloadsWhilePlaying, 2);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^pause downloads while playing refused"));
        GlobalSettings::instance()->setValue(PauseDownloadsWhilePlaying, -1);
        QCOMPARE(GlobalSettings::instance()->value(PauseDownloadsWhilePlaying), 1);
        QCOMPARE(reload()->value(PauseDownloadsWhilePlaying), 1); // nothing refused reached the file
        GlobalSettings::instance()->setValue(PauseDownloadsWhilePlaying, 0);
        QCOMPARE(reload()->value(PauseDownloadsWhilePlaying), 0);
        GlobalSettings::release();
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        // Windows writes the file with CRLF line ends.
        QCOMPARE(f.readAll().replace("\r\n", "\n").trimmed(),
                 QByteArray("[global_settings]\npause_downloads_while_playing=0"));
    }

    // Sharing and downloads on metered lines turned away from their default and back: on disk at once,
    // announced once per change (what listens starts or stops), a value refused neither stored nor
    // announced.
    void switchesWrittenAndAnnounced_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("share") << int(ShareWithLocalNetwork) << QByteArray("share_with_local_network")
                               << "^share with local network refused";
        QTest::newRow("metered") << int(DownloadOnMetered) << QByteArray("download_on_metered")
                                 << "^download on metered connections refused";
    }
    void switchesWrittenAndAnnounced() {
        QFETCH(int, key);
        QFETCH(QByteArray, name);
        QFETCH(QString, refusal);
        GlobalSettings *s = GlobalSettings::instance();
        const int was = s->value(key), flipped = 1 - was;
        QSignalSpy changed(s, &GlobalSettings::valueChanged);
        s->setValue(key, flipped);
        s->setValue(key, flipped);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(refusal));
        s->setValue(key, 2);
        s->setValue(PopupOnCrash, 1); // unchanged: no announcement either
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0), QVariantList({key, flipped}));
        QCOMPARE(reload()->value(key), flipped);
        QSignalSpy again(GlobalSettings::instance(), &GlobalSettings::valueChanged);
        GlobalSettings::instance()->setValue(key, was);
        QCOMPARE(again.count(), 1);
        QCOMPARE(reload()->value(key), was);
        GlobalSettings::release();
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        // The order of the keys is the settings store's own, which differs between systems.
        QByteArrayList lines = f.readAll().replace("\r\n", "\n").trimmed().split('\n');
        QByteArrayList want{"[global_settings]", name + '=' + QByteArray::number(was), "popup_on_crash=1"};
        std::sort(lines.begin(), lines.end());
        std::sort(want.begin(), want.end());
        QCOMPARE(lines, want);
    }

    void onlyChangedKeysAreStored() {
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
        GlobalSettings::release();
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().trimmed(), QByteArray("[global_settings]\nclose_game_action=1"));
    }

    void storedValuesReadAsGiven() {
        QVERIFY(writeFile(iniPath(), "[global_settings]\nlanguage=9\npopup_on_exit=abc\n"
                                     "close_game_action=\npopup_on_crash=7\n"));
        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(s->value(Language), 9); // handed over unchecked
        QCOMPARE(s->value(PopupOnExit), 0);
        QCOMPARE(s->value(CloseGameAction), 0);
        QCOMPARE(s->value(PopupOnCrash), 7);
    }

    void nonNumericLanguageReadsZero() {
        QVERIFY(writeFile(iniPath(), "[global_settings]\nlanguage=German\n"));
        QCOMPARE(GlobalSettings::instance()->value(Language), 0);
    }

    void otherGroupsAreIgnored() {
        QVERIFY(writeFile(iniPath(), "[General]\nlanguage=3\n[other]\npopup_on_exit=0\n"));
        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(s->value(Language), 4);
        QCOMPARE(s->value(PopupOnExit), 1);
    }

    void systemLanguageDerivation_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::newRow("German") << "German" << 4;
        QTest::newRow("Korean") << "Korean" << 1;
        QTest::newRow("Chinese") << "Chinese" << 0;
        QTest::newRow("Japanese") << "Japanese" << 5;
        QTest::newRow("Turkish") << "Turkish" << 7;
        QTest::newRow("Dutch") << "Dutch" << 2;
        QTest::newRow("Swiss German") << "Swiss German" << 4;
        QTest::newRow("lower case does not match") << "german" << 1;
        QTest::newRow("empty") << "" << 1;
    }

    void systemLanguageDerivation() {
        QFETCH(QString, name);
        QFETCH(int, index);
        QCOMPARE(GlobalSettings::languageIndexForSystemLanguage(name), index);
    }

    void autostartOnAndOff() {
        const QString expected = GlobalSettings::expectedRunValue();
        QCOMPARE(expected, "\"" + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) + "\"");

        GlobalSettings *s = GlobalSettings::instance();
        QCOMPARE(s->value(AutoLaunch), 0);
        s->setValue(AutoLaunch, 1);
        QCOMPARE(s->value(AutoLaunch), 1);
        QCOMPARE(Platform::runValue("Quelvane"), expected);
        QVERIFY(QFile::exists(autostartFile()));
        QCOMPARE(reload()->value(AutoLaunch), 1);

        GlobalSettings::instance()->setValue(AutoLaunch, 0);
        QVERIFY(!QFile::exists(autostartFile()));
        QCOMPARE(reload()->value(AutoLaunch), 0);
        GlobalSettings::release();
        // Start at login never goes to settings.ini.
        QVERIFY(!QFile::exists(iniPath()));
    }

    void foreignRunValuesReadAsOff_data() {
        QTest::addColumn<QString>("stored");
        const QString expected = GlobalSettings::expectedRunValue();
        QTest::newRow("different case") << expected.toUpper();
        QTest::newRow("without quotes") << expected.mid(1, expected.size() - 2);
        QTest::newRow("other copy") << QString("\"/opt/other/Kestrivane\"");
    }

    void foreignRunValuesReadAsOff() {
        QFETCH(QString, stored);
        QVERIFY(stored != GlobalSettings::expectedRunValue());
        QVERIFY(Platform::setRunValue("Quelvane", stored));
        QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 0);
        QVERIFY(Platform::removeRunValue("Quelvane"));
    }
};

QTEST_GUILESS_MAIN(TestGlobalSettings)
#include "tst_globalsettings.moc"
