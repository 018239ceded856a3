#include "i18n/labelarg.h"
#include "i18n/translation.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"

#include <QtTest>

using TextMap = QMap<QString, QString>;
Q_DECLARE_METATYPE(TextMap)

class TestTranslation : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_config;
    QTemporaryDir m_dir;

private slots:
    void initTestCase() {
        QVERIFY(m_config.isValid() && m_dir.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        Platform::setLauncherDirOverride(m_dir.path());
        QFile f(m_dir.path() + "/settings.ini");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[global_settings]\nlanguage=9\n");
    }

    void storedIndexOutOfRangeFallsBackToEnglish() {
        Translation *t = Translation::instance();
        QCOMPARE(GlobalSettings::instance()->value(Language), 9);
        QCOMPARE(t->languageIndex(), 1);
        QCOMPARE(t->languageName(), QString("English"));
    }

    void noTextsBeforeFirstLoad() {
        QCOMPARE(Translation::instance()->tr("LOADING"), QString("TR_LOADING"));
        QCOMPARE(Translation::instance()->tr(""), QString());
    }

    void parser_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TextMap>("expected");
        QTest::newRow("simple") << QByteArray("A=one\nB=two\n") << TextMap{{"A", "one"}, {"B", "two"}};
        QTest::newRow("two equals") << QByteArray("K=a=b\n") << TextMap{{"K", "a=b"}};
        QTest::newRow("no equals") << QByteArray("lonely line\n") << TextMap{{"lonely line", "lonely line"}};
        QTest::newRow("empty lines") << QByteArray("\n\nA=1\n\n\nB=2") << TextMap{{"A", "1"}, {"B", "2"}};
        QTest::newRow("line breaks") << QByteArray("T=a\\nb\\n\n") << TextMap{{"T", "a\nb\n"}};
        QTest::newRow("backslash alone") << QByteArray("T=a\\b\\\n") << TextMap{{"T", "a\\b\\"}};
        QTest::newRow("crlf") << QByteArray("A=x\r\nB=y\r\n") << TextMap{{"A", "x"}, {"B", "y"}};
        QTest::newRow("lone cr kept") << QByteArray("A=x\ry\n") << TextMap{{"A", "x\ry"}};
        QTest::newRow("nothing trimmed") << QByteArray(" K = v \n") << TextMap{{" K ", " v "}};
        QTest::newRow("empty text") << QByteArray("K=\n") << TextMap{{"K", ""}};
        QTest::newRow("last repeat wins") << QByteArray("K=1\nK=2\n") << TextMap{{"K", "2"}};
        QTest::newRow("stops at nul") << QByteArray("A=1\nB=2\0C=3\n", int(sizeof("A=1\nB=2\0C=3\n")) - 1)
                                      << TextMap{{"A", "1"}, {"B", "2"}};
        QTest::newRow("utf-8") << QByteArray("FATAL_ERROR=Fatal error\xEF\xBC\x8C%1\n")
                               << TextMap{{"FATAL_ERROR", QString("Fatal error") + QChar(0xFF0C) + "%1"}};
        QTest::newRow("empty file") << QByteArray() << TextMap{};
    }

    void parser() {
        QFETCH(QByteArray, bytes);
        QFETCH(TextMap, expected);
        QCOMPARE(Translation::parseTexts(bytes), expected);
    }

    void englishTexts() {
        Translation *t = Translation::instance();
        QTest::ignoreMessage(QtDebugMsg, "loadLanguage English");
        t->loadLanguage();
        QCOMPARE(t->fontRole(), QString("english"));
        QCOMPARE(t->tr("LOADING"), QString("Loading"));
        QCOMPARE(t->tr("EXITING_TIP").count('\n'), 2);
        QVERIFY(!t->tr("EXITING_TIP").contains("\\n"));
        QCOMPARE(t->tr("FATAL_ERROR"), QString("Fatal error") + QChar(0xFF0C) + "%1");
        QCOMPARE(t->tr("Japanese"), QString::fromUtf8("日本語"));
        QCOMPARE(t->tr("NO_SUCH_KEY"), QString("TR_NO_SUCH_KEY"));
        QCOMPARE(t->tr("loading"), QString("TR_loading")); // keys are case-sensitive
        QCOMPARE(t->tr(""), QString());
    }

    void refusedIndicesEmitNothing() {
        Translation *t = Translation::instance();
        QSignalSpy spy(t, &Translation::languageChanged);
        QTest::ignoreMessage(QtDebugMsg, "index out of range 8");
        t->setLanguageIndex(8);
        QTest::ignoreMessage(QtDebugMsg, "index out of range -1");
        t->setLanguageIndex(-1);
        QTest::ignoreMessage(QtDebugMsg, "not changed 1");
        t->setLanguageIndex(t->languageIndex());
        QCOMPARE(spy.count(), 0);
        QCOMPARE(t->languageIndex(), 1);
        QCOMPARE(GlobalSettings::instance()->value(Language), 9);
    }

    void switchHasTextsInPlaceBeforeSignal() {
        Translation *t = Translation::instance();
        t->setFontFamily("chinese", "CJK Family");
        QString seenText;
        QString seenFamily;
        QString seenLanguage;
        QMetaObject::Connection c =
            connect(t, &Translation::languageChanged, this, [&](const QString &language) {
                seenLanguage = language;
                seenText = t->tr("LOADING");
                seenFamily = t->currentFontFamily();
            });
        t->setLanguageIndex(5);
        disconnect(c);
        QCOMPARE(seenLanguage, QString("Japanese"));
        QVERIFY(!seenText.isEmpty() && seenText != "Loading" && !seenText.startsWith("TR_"));
        QCOMPARE(seenFamily, QString("CJK Family"));
        QCOMPARE(t->fontRole(), QString("chinese"));

        // Written through to settings.ini at once.
        QFile f(m_dir.path() + "/settings.ini");
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains("language=5"));
        QCOMPARE(GlobalSettings::instance()->value(Language), 5);
    }

    void imagePath_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("logo");
        const QString english = ":/images/images/English/logo.png";
        QTest::newRow("Chinese") << 0 << ":/images/images/Chinese/logo.png";
        QTest::newRow("English") << 1 << english;
        QTest::newRow("Dutch") << 2 << english;
        QTest::newRow("French") << 3 << english;
        QTest::newRow("German") << 4 << english;
        QTest::newRow("Japanese") << 5 << ":/images/images/Japanese/logo.png";
        QTest::newRow("Spanish") << 6 << english;
        QTest::newRow("Turkish") << 7 << english;
    }

    void imagePath() {
        QFETCH(int, index);
        QFETCH(QString, logo);
        Translation *t = Translation::instance();
        t->setLanguageIndex(index);
        QCOMPARE(t->languageIndex(), index);
        QCOMPARE(t->imagePath("logo.png"), logo);
        QVERIFY(QFile::exists(logo));
        QVERIFY(t->imagePath("bg1.png").isEmpty());
        QVERIFY(t->imagePath("").isEmpty());
        // Every language has its file: a key is always translated after the switch.
        QVERIFY(!t->tr("START_GAME").startsWith("TR_"));
        QCOMPARE(t->tr(Translation::languageNameAt(index)).isEmpty(), false);
    }

    void substitution_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QString>("expected");
        QTest::newRow("in order") << "%1 %2%3" << QStringList{"Updating", "1.5MB", "/12MB"}
                                  << "Updating 1.5MB/12MB";
        QTest::newRow("lowest first") << "%2-%1" << QStringList{"a", "b"} << "b-a";
        QTest::newRow("repeated") << "%1+%1" << QStringList{"x"} << "x+x";
        QTest::newRow("percent sign") << "%1%(%2/%3)" << QStringList{"42", "1GB", "2GB"} << "42%(1GB/2GB)";
        QTest::newRow("value with placeholder") << "%1 %2" << QStringList{"%2", "b"} << "%2 b";
        QTest::newRow("missing value") << "%1 %2" << QStringList{"a"} << "a %2";
        QTest::newRow("extra value") << "%1" << QStringList{"a", "b"} << "a";
        QTest::newRow("two digits") << "%10 %9" << QStringList{"nine", "ten"} << "ten nine";
        QTest::newRow("trailing percent") << "100%" << QStringList{"x"} << "100%";
    }

    void substitution() {
        QFETCH(QString, pattern);
        QFETCH(QStringList, values);
        QFETCH(QString, expected);
        QCOMPARE(substituteArgs(pattern, values), expected);
    }

    void argumentKinds() {
        Translation::instance()->setLanguageIndex(1);
        QCOMPARE(LabelArg(42, ArgInt).toText(), QString("42"));
        QCOMPARE(LabelArg(-7, ArgInt).toText(), QString("-7"));
        QCOMPARE(LabelArg(0.1, ArgReal).toText(), QString("0.1"));
        QCOMPARE(LabelArg(2.5f, ArgReal).toText(), QString("2.5"));
        QCOMPARE(LabelArg(1e20, ArgReal).toText(), QString("1e+20"));
        QCOMPARE(LabelArg("text", ArgText).toText(), QString("text"));
        QCOMPARE(LabelArg("UPDATING", ArgKey).toText(), QString("Updating"));
        QCOMPARE(LabelArg("NOPE", ArgKey).toText(), QString("TR_NOPE"));
    }
};

QTEST_GUILESS_MAIN(TestTranslation)
#include "tst_translation.moc"
