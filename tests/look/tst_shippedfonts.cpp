// The fonts a test draws with are the player's: only the shipped set is visible, every weight of
// the Latin family is its one heavy face, generic and unknown families are the stand-in, and a
// drawing process that can see other fonts stops at start.

#include "support/shippedfonts.h"
#include "support/widgetfixture.h"

#include <QFontInfo>
#include <QProcess>
#include <QtTest>

class ShippedFontsTest : public CatalogueTest {
    Q_OBJECT

private slots:
    void init() {} // in the stored (or system) language
    void onlyTheShippedSetIsVisible();
    void everyLatinWeightIsTheHeavyFace();
    void otherFamiliesAreTheStandIn();
    void aDrawingProcessSeeingOtherFontsStops();
};

void ShippedFontsTest::onlyTheShippedSetIsVisible() {
    QCOMPARE(ShippedFonts::strayFiles(), QStringList());
    QStringList families = QFontDatabase().families();
    families.sort();
    // The toolkit adds its generic names, and the Latin face's full name, to the files' families.
    QCOMPARE(families,
             QStringList({"DejaVu Sans", "League Spartan", "League Spartan Black", "Monospace", "Sans Serif",
                          "Serif", "WenQuanYi Micro Hei", "WenQuanYi Micro Hei Mono"}));
    QCOMPARE(QFontDatabase().styles("League Spartan"), QStringList({"Black"}));
}

// Text that asks for a lighter weight is still drawn with the bundled heavy face, as on a machine
// that has only what the launcher ships.
void ShippedFontsTest::everyLatinWeightIsTheHeavyFace() {
    const QString latin = Translation::instance()->fontFamily("english");
    QCOMPARE(latin, QStringLiteral("League Spartan"));
    const QString caption = QStringLiteral("ESTIMATED REMAINING TIME");
    QFont heavy(latin, 14, QFont::Black);
    for (int weight : {QFont::Light, QFont::Normal, QFont::DemiBold, QFont::Bold}) {
        QFont f(latin, 14, weight);
        QCOMPARE(QFontInfo(f).family(), latin);
        QCOMPARE(QFontInfo(f).styleName(), QStringLiteral("Black"));
        QCOMPARE(QFontMetrics(f).horizontalAdvance(caption), QFontMetrics(heavy).horizontalAdvance(caption));
    }
}

void ShippedFontsTest::otherFamiliesAreTheStandIn() {
    QCOMPARE(Translation::instance()->fontFamily("default"), QStringLiteral("DejaVu Sans"));
    for (const char *family : {"Arial", "Segoe UI", "MS Shell Dlg 2", "sans-serif", "serif", "monospace"})
        QCOMPARE(QFontInfo(QFont(QString::fromLatin1(family))).family(), QStringLiteral("DejaVu Sans"));
}

void ShippedFontsTest::aDrawingProcessSeeingOtherFontsStops() {
    // The stand-in's folder without the selection: its monospace and serif faces come into view.
    QFile conf(dir.filePath("wide.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("<?xml version=\"1.0\"?>\n<fontconfig><dir>/usr/share/fonts/truetype/dejavu</dir>"
               "</fontconfig>\n");
    conf.close();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FONTCONFIG_FILE", conf.fileName());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"otherFamiliesAreTheStandIn"});
    QVERIFY(child.waitForFinished(60000));
    const QString err = QString::fromUtf8(child.readAllStandardError());
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY2(err.contains("fonts outside the shipped set"), qPrintable(err));
    QVERIFY2(err.contains("/usr/share/fonts/truetype/dejavu/"), qPrintable(err));
}

QTEST_MAIN(ShippedFontsTest)
#include "tst_shippedfonts.moc"
