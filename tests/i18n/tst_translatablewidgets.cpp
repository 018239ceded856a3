#include "i18n/applicationfont.h"
#include "i18n/translatablecheckbox.h"
#include "i18n/translatablelabel.h"
#include "i18n/translatableradiobutton.h"
#include "i18n/translation.h"
#include "platform/platform.h"

#include <QtTest>

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPainter>

namespace {

const QColor background(0, 0, 0);
const QColor textColour(0, 255, 0);
const QColor haloColour(255, 0, 0);

void usePalette(QWidget *w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::Text, textColour);
    w->setPalette(p);
}

bool isText(QRgb c) {
    return qGreen(c) > 200 && qRed(c) < 60;
}

bool isHalo(QRgb c) {
    return qRed(c) > 200 && qGreen(c) < 60;
}

// Any coverage at all: an edge that falls between pixel rows is partly covered, and the halo's
// eight overlapping copies cover such a row more than the single text does.
bool anyText(QRgb c) {
    return qGreen(c) > 0;
}

bool anyHalo(QRgb c) {
    return qRed(c) > 0;
}

// First column (or row, when transposed) holding a pixel that matches, -1 when none does.
template <typename Pred>
int firstLine(const QImage &img, Pred pred, bool rows) {
    const int lines = rows ? img.height() : img.width();
    const int along = rows ? img.width() : img.height();
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < along; ++j)
            if (pred(rows ? img.pixel(j, i) : img.pixel(i, j)))
                return i;
    return -1;
}

template <typename Pred>
int leftmostColumn(const QImage &img, Pred pred) {
    return firstLine(img, pred, false);
}

// Equal up to small differences of antialiased edges.
bool sameWithin(const QImage &a, const QImage &b, int tolerance) {
    if (a.size() != b.size())
        return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (qAbs(qRed(p) - qRed(q)) > tolerance || qAbs(qGreen(p) - qGreen(q)) > tolerance ||
                qAbs(qBlue(p) - qBlue(q)) > tolerance)
                return false;
        }
    return true;
}

template <typename Pred>
int topmostRow(const QImage &img, Pred pred) {
    return firstLine(img, pred, true);
}

QImage render(QWidget *w) {
    return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestTranslatableWidgets : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_cjkFamily;
    QString m_latinFamily;

private slots:
    void initTestCase() {
        followCatalogueFont(); // as main does, before the first language is loaded
        QVERIFY(m_dir.isValid());
        Platform::setLauncherDirOverride(m_dir.path());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("xdg").toUtf8());
        QFile f(m_dir.filePath("settings.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[global_settings]\nlanguage=1\n");
        f.close();

        m_cjkFamily =
            QFontDatabase::applicationFontFamilies(QFontDatabase::addApplicationFont(":/font/font/FZY4K.TTF"))
                .value(0);
        m_latinFamily = QFontDatabase::applicationFontFamilies(
                            QFontDatabase::addApplicationFont(":/font/font/Neuron Heavy.otf"))
                            .value(0);
        QVERIFY(!m_cjkFamily.isEmpty() && !m_latinFamily.isEmpty());
        QVERIFY(m_cjkFamily != m_latinFamily);
    }

    // Runs first: the roles are not registered yet.
    void unregisteredRoleLeavesApplicationFont() {
        const QString before = QApplication::font().family();
        Translation::instance()->loadLanguage();
        QCOMPARE(QApplication::font().family(), before);
        QVERIFY(Translation::instance()->currentFontFamily().isEmpty());
        QCOMPARE(Translation::instance()->tr("LOADING"), QString("Loading"));

        Translation *t = Translation::instance();
        t->setFontFamily("default", QFont().defaultFamily());
        t->setFontFamily("chinese", m_cjkFamily);
        t->setFontFamily("english", m_latinFamily);
        t->loadLanguage();
        QCOMPARE(QApplication::font().family(), m_latinFamily);
        QCOMPARE(t->currentFontFamily(), m_latinFamily);
    }

    void switchOrderFontTextsSignal() {
        Translation *t = Translation::instance();
        QLabel existing; // a plain widget made before the switch follows the application font
        QString fontAtSignal, textAtSignal, widgetFontAtSignal;
        int emitted = 0;
        auto c = connect(t, &Translation::languageChanged, this, [&](const QString &language) {
            ++emitted;
            QCOMPARE(language, QString("Japanese"));
            fontAtSignal = QApplication::font().family();
            widgetFontAtSignal = existing.font().family();
            textAtSignal = t->tr("START_GAME");
        });
        t->setLanguageIndex(5);
        disconnect(c);
        QCOMPARE(emitted, 1);
        QCOMPARE(fontAtSignal, m_cjkFamily);
        QCOMPARE(widgetFontAtSignal, m_cjkFamily);
        QVERIFY(!textAtSignal.isEmpty() && textAtSignal != "LET'S SPIN!" && !textAtSignal.startsWith("TR_"));

        t->setLanguageIndex(1);
        QCOMPARE(QApplication::font().family(), m_latinFamily);
    }

    void labelFollowsLanguage() {
        Translation *t = Translation::instance();
        TranslatableLabel key;
        key.setTextKey("LOADING", true, true);
        QCOMPARE(key.text(), QString("Loading"));

        TranslatableLabel literal;
        literal.setTextKey("LOADING", false, true);
        QCOMPARE(literal.text(), QString("LOADING"));

        TranslatableLabel missing;
        missing.setTextKey("NO_SUCH_KEY", true, true);
        QCOMPARE(missing.text(), QString("TR_NO_SUCH_KEY"));

        t->setLanguageIndex(4);
        QCOMPARE(key.text(), t->tr("LOADING"));
        QVERIFY(key.text() != "Loading");
        QCOMPARE(key.font().family(), m_latinFamily);
        QCOMPARE(literal.text(), QString("LOADING"));

        t->setLanguageIndex(0);
        QCOMPARE(key.text(), t->tr("LOADING"));
        QCOMPARE(key.font().family(), m_cjkFamily);
        QCOMPARE(literal.font().family(), m_cjkFamily);

        key.clearText();
        QVERIFY(key.text().isEmpty());
        t->setLanguageIndex(1);
        QVERIFY(key.text().isEmpty());
    }

    void labelArgumentsFollowLanguage() {
        Translation *t = Translation::instance();
        TranslatableLabel label;
        label.setTextKey("%1 %2/%3 %4 %5", false, true);
        label.setArgs({LabelArg("UNCOMPRESS", ArgKey), LabelArg(2, ArgInt), LabelArg(3, ArgInt),
                       LabelArg(0.25, ArgReal), LabelArg("%1 stays", ArgText)});
        QCOMPARE(label.text(), QString("Uncompress 2/3 0.25 %1 stays"));

        t->setLanguageIndex(3);
        QCOMPARE(label.text(), t->tr("UNCOMPRESS") + " 2/3 0.25 %1 stays");
        QVERIFY(t->tr("UNCOMPRESS") != "Uncompress");

        // A new key without clearing keeps the arguments.
        TranslatableLabel status;
        status.setTextKey("DETAILED_ERROR", true, true);
        status.setArgs({LabelArg("NETWORK_ERROR", ArgKey), LabelArg(3, ArgInt)});
        t->setLanguageIndex(1);
        QCOMPARE(status.text(), QString("Network error, please check the network connection, will try again. "
                                        "Tried 3 time(s)"));
        status.setTextKey("DOWNLOADING_TIP", true, false);
        QCOMPARE(status.text(), QString("DOWNLOADING GAME RESOURCES %1%(3/%3)").arg(t->tr("NETWORK_ERROR")));
        status.setTextKey("DOWNLOADING_TIP", true, true);
        QCOMPARE(status.text(), QString("DOWNLOADING GAME RESOURCES %1%(%2/%3)"));
        t->setLanguageIndex(7);
        QCOMPARE(status.text(), t->tr("DOWNLOADING_TIP"));
        t->setLanguageIndex(1);
    }

    void outlineShiftsTextAndWidensHint() {
        TranslatableLabel label;
        usePalette(&label);
        QFont f = label.font();
        f.setPixelSize(40);
        label.setFont(f);
        label.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label.setTextKey("HIH", false, true);
        label.resize(240, 80);

        const QSize plainHint = label.sizeHint();
        const QImage plain = render(&label);
        const int plainX = leftmostColumn(plain, isText);
        QVERIFY(plainX >= 0);
        QCOMPARE(leftmostColumn(plain, isHalo), -1);

        // A halo in the background colour leaves exactly the plain text, moved by the width.
        label.setOutlineColor(background);
        label.setOutlined(true);
        label.setOutlineWidth(2);
        QCOMPARE(label.sizeHint(), QSize(plainHint.width() + 4, plainHint.height()));
        const QImage shifted = render(&label);
        QVERIFY(sameWithin(shifted.copy(2, 0, 200, 80), plain.copy(0, 0, 200, 80), 24));
        QCOMPARE(leftmostColumn(shifted, isText), plainX + 2);

        // The coloured halo reaches one outline width left of the text, i.e. where the text was.
        label.setOutlineColor(haloColour);
        const QImage outlined = render(&label);
        QCOMPARE(leftmostColumn(outlined, anyHalo), leftmostColumn(plain, anyText));
        // ... and one outline width above it.
        QCOMPARE(topmostRow(outlined, anyHalo), topmostRow(plain, anyText) - 2);

        label.setOutlineWidth(5);
        QCOMPARE(label.sizeHint(), QSize(plainHint.width() + 10, plainHint.height()));
        label.setOutlineColor(background);
        QVERIFY(sameWithin(render(&label).copy(5, 0, 200, 80), plain.copy(0, 0, 200, 80), 24));
    }

    void labelWithoutVerticalFlagDrawsAboveView() {
        TranslatableLabel label;
        usePalette(&label);
        label.setAlignment(Qt::AlignLeft);
        label.setTextKey("HIH", false, true);
        label.resize(200, 60);
        QCOMPARE(leftmostColumn(render(&label), isText), -1);
    }

    void buttonsDrawIndicatorCentred_data() {
        QTest::addColumn<bool>("radio");
        QTest::addColumn<bool>("checked");
        QTest::newRow("check box unchecked") << false << false;
        QTest::newRow("check box checked") << false << true;
        QTest::newRow("radio unchecked") << true << false;
        QTest::newRow("radio checked") << true << true;
    }

    void buttonsDrawIndicatorCentred() {
        QFETCH(bool, radio);
        QFETCH(bool, checked);
        QScopedPointer<QAbstractButton> button;
        if (radio)
            button.reset(new TranslatableRadioButton);
        else
            button.reset(new TranslatableCheckBox);
        const QString base = radio ? ":/images/images/radio_button_" : ":/images/images/check_button_";
        const QPixmap image(base + (checked ? "checked.png" : "unchecked.png"));
        QVERIFY(!image.isNull());

        usePalette(button.data());
        button->setChecked(checked);
        button->resize(300, 61); // odd height: integer division decides the row
        const QImage got = render(button.data());

        QImage expected(got.size(), QImage::Format_RGB32);
        expected.fill(background);
        {
            QPainter p(&expected);
            p.drawPixmap(0, (61 - QPixmap(base + "checked.png").height()) / 2, image);
        }
        // No text: the indicator is all there is.
        QCOMPARE(got.copy(0, 0, image.width() + 4, 61), expected.copy(0, 0, image.width() + 4, 61));
        QCOMPARE(got, expected);
    }

    void buttonsTextAndSizeHint() {
        Translation *t = Translation::instance();
        TranslatableCheckBox box;
        TranslatableRadioButton radio;
        box.setTextKey("AUTO_LAUNCH_ON_REBOOT");
        radio.setTextKey("MINIMIZE_TO_TRAY");
        QCOMPARE(box.text(), QString("Automatic Launch"));
        QCOMPARE(radio.text(), QString("Minimize To System Tray"));

        QCheckBox plainBox(box.text());
        plainBox.setFont(box.font());
        QRadioButton plainRadio(radio.text());
        plainRadio.setFont(radio.font());
        QCOMPARE(box.sizeHint(), QSize(plainBox.sizeHint().width(), plainBox.sizeHint().height() * 2));
        QCOMPARE(radio.sizeHint(),
                 QSize(plainRadio.sizeHint().width(), int(plainRadio.sizeHint().height() * 1.7)));

        t->setLanguageIndex(5);
        QCOMPARE(box.text(), t->tr("AUTO_LAUNCH_ON_REBOOT"));
        QCOMPARE(radio.text(), t->tr("MINIMIZE_TO_TRAY"));
        QCOMPARE(box.font().family(), m_cjkFamily);
        QCOMPARE(radio.font().family(), m_cjkFamily);
        t->setLanguageIndex(1);
        QCOMPARE(box.text(), QString("Automatic Launch"));
    }

    void buttonTextDrawnAfterIndicator() {
        TranslatableCheckBox box;
        usePalette(&box);
        box.setTextKey("AUTO_LAUNCH_ON_REBOOT");
        box.resize(400, 60);
        const int imageWidth = QPixmap(":/images/images/check_button_checked.png").width();
        const QImage img = render(&box);
        // White text starts right of the image plus its gap.
        auto white = [](QRgb c) { return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200; };
        const int textX =
            leftmostColumn(img.copy(imageWidth, 0, img.width() - imageWidth, img.height()), white);
        QVERIFY(textX >= 5);
        QVERIFY(textX < 5 + 10);
    }
};

QTEST_MAIN(TestTranslatableWidgets)
#include "tst_translatablewidgets.moc"
