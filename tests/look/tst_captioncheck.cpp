// The caption checker on real widgets: captions that fit pass, captions that are too long, too
// tall or run into a pill's rounded ends are reported with the widget's name.

#include "support/widgetfixture.h"

#include "i18n/translatablecheckbox.h"
#include "i18n/translatablelabel.h"
#include "tools/pictures/captioncheck.h"
#include "widgets/mainbutton.h"
#include "widgets/menuswitch.h"

#include <QLabel>
#include <QtTest>

using namespace WidgetFixture;

class CaptionCheckTest : public CatalogueTest {
    Q_OBJECT

private slots:
    void cleanup();

    void labelWidthAndOutline();
    void accentedCapitalsNeedRoomAbove();
    void mainButtonRoundedEnds();
    void checkBoxMenuAndPlainLabel();
    void hiddenWidgetsAndOtherWindowsAreSkipped();

private:
    QWidget *makeWindow(int width = 600, int height = 200);
    QStringList problems(const QString &where = QStringLiteral("test"));

    QWidget *window = nullptr;
};

void CaptionCheckTest::cleanup() {
    delete window;
    window = nullptr;
}

QWidget *CaptionCheckTest::makeWindow(int width, int height) {
    window = new QWidget;
    window->resize(width, height);
    return window;
}

QStringList CaptionCheckTest::problems(const QString &where) {
    window->show();
    QCoreApplication::processEvents();
    CaptionCheck check;
    check.check(window, where);
    return check.problems();
}

namespace {

TranslatableLabel *label(QWidget *parent, const QString &name, const QString &text, QRect geometry) {
    auto *l = new TranslatableLabel(parent);
    l->setObjectName(name);
    QFont font = l->font();
    font.setPixelSize(19);
    font.setBold(true);
    l->setFont(font);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    l->setTextKey(text, false, true);
    l->setGeometry(geometry);
    return l;
}

} // namespace

void CaptionCheckTest::labelWidthAndOutline() {
    makeWindow();
    TranslatableLabel *fitting = label(window, "fitting", "DOWNLOAD SPEED", QRect(0, 0, 400, 30));
    TranslatableLabel *overlong =
        label(window, "overlong", "DOWNLOADING GAME RESOURCES AND A GREAT DEAL MORE", QRect(0, 40, 200, 30));
    Q_UNUSED(fitting);
    QStringList found = problems(QStringLiteral("English download"));
    QCOMPARE(found.size(), 1);
    QVERIFY2(found.first().startsWith(QStringLiteral("English download: overlong \"DOWNLOADING")),
             qPrintable(found.first()));
    QVERIFY(found.first().contains(QStringLiteral("has 200")));

    // Exactly as wide as its text: fits bare, but not once it carries a 2 px outline on each side.
    overlong->setTextKey(QStringLiteral("LET'S"), false, true);
    const int advance = QFontMetrics(overlong->font()).horizontalAdvance(overlong->text());
    overlong->resize(advance, 30);
    QVERIFY2(problems().isEmpty(), qPrintable(problems().join('\n')));
    overlong->setOutlined(true);
    overlong->setOutlineWidth(2);
    found = problems();
    QCOMPARE(found.size(), 1);
    QVERIFY(found.first().contains(QStringLiteral("needs %1 px").arg(advance + 4)));
}

void CaptionCheckTest::accentedCapitalsNeedRoomAbove() {
    makeWindow();
    TranslatableLabel *l = label(window, "accented", QStringLiteral("ÉCHEC ÇÖKME"), QRect(0, 0, 400, 30));
    QVERIFY2(problems().isEmpty(), qPrintable(problems().join('\n')));
    // Squeezed to the font's line height the accents stand above the widget.
    const QFontMetrics metrics(l->font());
    l->resize(400, metrics.height() - 4);
    const QStringList found = problems();
    QCOMPARE(found.size(), 1);
    QVERIFY2(found.first().contains(QStringLiteral("is cut off at the top")), qPrintable(found.first()));
}

void CaptionCheckTest::mainButtonRoundedEnds() {
    makeWindow(800, 200);
    auto *button = new MainButton(window);
    button->setObjectName(QStringLiteral("startGameBtn"));
    button->setGeometry(0, 0, 304, 80);
    button->setText(QStringLiteral("PLAY"));
    QVERIFY2(problems().isEmpty(), qPrintable(problems().join('\n')));

    // Narrower than the pill's straight middle plus the caption: the outer letters reach the
    // rounded ends.
    button->setText(QStringLiteral("KEEP UPDATING NOW"));
    QStringList found = problems();
    QCOMPARE(found.size(), 1);
    QVERIFY2(found.first().contains(QStringLiteral("runs into the rounded ends of its 304 x 80 button")),
             qPrintable(found.first()));

    // A caption that fits in width but is pushed up against the top edge by a large offset.
    button->setText(QStringLiteral("PLAY"));
    button->textOffsetY = -30;
    QCOMPARE(problems().size(), 1);
}

void CaptionCheckTest::checkBoxMenuAndPlainLabel() {
    makeWindow(800, 400);
    auto *box = new TranslatableCheckBox(window);
    box->setObjectName(QStringLiteral("popOnExitCheckbox"));
    QFont font = box->font();
    font.setPointSize(15);
    box->setFont(font);
    box->setText(QStringLiteral("Pop Up When Exiting The Game"));
    box->setGeometry(0, 0, 500, 40);

    auto *menu = new MenuSwitch(window);
    menu->setObjectName(QStringLiteral("menuSwitch"));
    menu->setItems({QStringLiteral("GENERAL_SETTINGS"), QStringLiteral("LANGUAGE")});
    menu->setGeometry(0, 50, 260, 200);

    auto *plain = new QLabel(QStringLiteral("Error Message Pops Up On Game Error."), window);
    plain->setObjectName(QStringLiteral("plain"));
    plain->setGeometry(0, 260, 400, 30);
    QVERIFY2(problems().isEmpty(), qPrintable(problems().join('\n')));

    box->resize(150, 40);
    menu->resize(120, 200);
    plain->resize(80, 30);
    const QStringList found = problems();
    QCOMPARE(found.filter(QStringLiteral("popOnExitCheckbox \"Pop Up")).size(), 1);
    QCOMPARE(found.filter(QStringLiteral("menuSwitch \"GENERAL SETTINGS\"")).size(), 1);
    QCOMPARE(found.filter(QStringLiteral("plain \"Error Message")).size(), 1);
}

void CaptionCheckTest::hiddenWidgetsAndOtherWindowsAreSkipped() {
    makeWindow();
    TranslatableLabel *hidden =
        label(window, "hidden", QStringLiteral("FAR TOO LONG FOR TEN PIXELS"), QRect(0, 0, 10, 30));
    hidden->hide();
    // A child window (a popup list, a dialog) is checked on its own, not as part of this one.
    auto *popup = new QWidget(window, Qt::Popup);
    label(popup, "popupLabel", QStringLiteral("ALSO FAR TOO LONG"), QRect(0, 0, 10, 30));
    CaptionCheck check;
    window->show();
    QCoreApplication::processEvents();
    check.check(window, QStringLiteral("test"));
    QVERIFY2(check.problems().isEmpty(), qPrintable(check.problems().join('\n')));

    hidden->show();
    check.check(window, QStringLiteral("test"));
    QCOMPARE(check.problems().size(), 1);
    QVERIFY(check.checkedCount() > 0);
}

QTEST_MAIN(CaptionCheckTest)
#include "tst_captioncheck.moc"
