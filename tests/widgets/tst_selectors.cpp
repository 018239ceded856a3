// Combo box with its popup list and the menu switch, driven by real mouse events.

#include "support/teststep.h"
#include "support/widgetfixture.h"

#include "widgets/combopopup.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/languageitemwidget.h"
#include "widgets/menuswitch.h"

#include <QPointer>
#include <QPropertyAnimation>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <functional>

using namespace WidgetFixture;

class SelectorsTest : public CatalogueTest {
    Q_OBJECT

private slots:
    void cleanup() { shownWindow.reset(); }

    void comboReleaseOutsideOpensNothing();
    void comboPopupGeometryMaskAndOpenLook();
    void comboChoosingRows();
    void comboDragInPopupSelectsNothing();
    void comboCurrentIndexAndPainting();
    void languageItemLooks();

    void menuSwitchSelection();
    void menuSwitchSetItemsResetsQuietly();
    void menuSwitchHoverAndLines();
    void menuSwitchRepaintsOnLanguageChange();

private:
    QScopedPointer<QWidget> shownWindow;
    DoublePopupComboBox *showCombo(int items, int current = -1);
    MenuSwitch *showMenu();
};

static DoublePopupComboBox *makeCombo(QWidget *parent, int itemCount) {
    auto *combo = new DoublePopupComboBox(parent);
    for (int i = 0; i < itemCount; ++i)
        combo->addItem(qMakePair(QString("Item %1").arg(i), Translation::instance()->fontFamily("english")));
    combo->setGeometry(20, 20, 230, 40);
    return combo;
}

// Runs `step` once the combo box's popup is up; closes any popup still open after 10 s so a
// failing test cannot hang in the nested event loop.
static void whenPopupOpens(QObject *context, const std::function<void(ComboPopup *)> &step,
                           bool *sawPopup = nullptr) {
    QTimer::singleShot(0, context, [=] {
        auto *popup = qobject_cast<ComboPopup *>(QApplication::activePopupWidget());
        if (sawPopup)
            *sawPopup = popup != nullptr;
        if (popup)
            step(popup);
    });
    QTimer::singleShot(10000, context, [] {
        if (QWidget *popup = QApplication::activePopupWidget())
            popup->close();
    });
}

// Notes (in *opened) a popup that is up once the events now queued are handled, and closes it.
static void closeAnyPopup(QObject *context, bool *opened) {
    QTimer::singleShot(0, context, [opened] {
        if (QWidget *popup = QApplication::activePopupWidget()) {
            *opened = true;
            popup->close();
        }
    });
}

static LanguageItemWidget *row(ComboPopup *popup, int index) {
    for (auto *item : popup->findChildren<LanguageItemWidget *>())
        if (item->itemIndex() == index)
            return item;
    return nullptr;
}

// A shown 300x200 window holding a combo box with `items` entries; nullptr when it is not shown.
DoublePopupComboBox *SelectorsTest::showCombo(int items, int current) {
    shownWindow.reset(new QWidget);
    shownWindow->resize(300, 200);
    DoublePopupComboBox *combo = makeCombo(shownWindow.data(), items);
    if (current >= 0)
        combo->setCurrentIndex(current);
    shownWindow->show();
    return QTest::qWaitForWindowExposed(shownWindow.data()) ? combo : nullptr;
}

// A shown 300x300 window holding a menu switch with the two settings pages.
MenuSwitch *SelectorsTest::showMenu() {
    shownWindow.reset(new QWidget);
    auto *menu = new MenuSwitch(shownWindow.data());
    menu->setGeometry(0, 0, 300, 300);
    menu->setItems({"GENERAL_SETTINGS", "LANGUAGE"});
    shownWindow->resize(300, 300);
    shownWindow->show();
    return QTest::qWaitForWindowExposed(shownWindow.data()) ? menu : nullptr;
}

void SelectorsTest::comboReleaseOutsideOpensNothing() {
    DoublePopupComboBox *combo = showCombo(3);
    QVERIFY(combo);

    bool opened = false;
    closeAnyPopup(combo, &opened);
    QTest::mousePress(combo, Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(combo->isPressed());
    QTest::mouseRelease(combo, Qt::LeftButton, {}, QPoint(10, 60));
    QVERIFY(!combo->isPressed());
    QVERIFY(!combo->isPopupOpen());
    QTest::qWait(20);
    QVERIFY(!opened);

    // Neither does a click on a box without items.
    DoublePopupComboBox *empty = makeCombo(shownWindow.data(), 0);
    empty->move(20, 100);
    closeAnyPopup(empty, &opened);
    QTest::mouseClick(empty, Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(!empty->isPopupOpen());
    QTest::qWait(20);
    QVERIFY(!opened);

    // Other buttons never open it either.
    QTest::mouseClick(combo, Qt::RightButton, {}, QPoint(10, 10));
    QTest::qWait(20);
    QVERIFY(!opened);
}

void SelectorsTest::comboPopupGeometryMaskAndOpenLook() {
    DoublePopupComboBox *combo = showCombo(8);
    QVERIFY(combo);

    bool sawPopup = false;
    QSize popupSize;
    QPoint popupPos;
    QRegion mask;
    bool openWhileShown = false;
    QImage comboWhileOpen;
    int rows = 0;
    int selectedRows = 0;
    whenPopupOpens(
        combo,
        [&](ComboPopup *popup) {
            popupSize = popup->size();
            popupPos = popup->pos();
            mask = popup->mask();
            openWhileShown = combo->isPopupOpen();
            comboWhileOpen = paintedImage(combo);
            const auto items = popup->findChildren<LanguageItemWidget *>();
            rows = items.size();
            for (auto *item : items) {
                selectedRows += item->isSelected() ? 1 : 0;
                if (item->height() != 40)
                    rows = -100;
            }
            popup->reject();
        },
        &sawPopup);
    QSignalSpy activated(combo, &DoublePopupComboBox::activated);
    QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(100, 20));

    QVERIFY(sawPopup);
    QCOMPARE(popupSize, QSize(230, 320));
    QCOMPARE(popupPos, combo->mapToGlobal(QPoint(0, 39)));
    QCOMPARE(rows, 8);
    QCOMPARE(selectedRows, 1);
    QVERIFY(openWhileShown);
    QVERIFY(!combo->isPopupOpen());
    QCOMPARE(activated.count(), 0);

    // Square top corners, round bottom corners.
    QVERIFY(mask.contains(QPoint(0, 0)));
    QVERIFY(mask.contains(QPoint(229, 0)));
    QVERIFY(mask.contains(QPoint(115, 319)));
    QVERIFY(!mask.contains(QPoint(0, 319)));
    QVERIFY(!mask.contains(QPoint(229, 319)));

    // While open: bottom corners of the face are square and a white line runs above the edge.
    const QColor pressedOrNormal = comboWhileOpen.pixelColor(0, 39);
    QCOMPARE(pressedOrNormal.alpha(), 255);
    QCOMPARE_COLOR(comboWhileOpen.pixelColor(229, 39), pressedOrNormal);
    QCOMPARE_COLOR(comboWhileOpen.pixelColor(100, 38), QColor("#ffffff"));
    QCOMPARE(comboWhileOpen.pixelColor(0, 0).alpha(), 0);

    // Closed again: round bottom corners, no line.
    const QImage closed = paintedImage(combo);
    QCOMPARE(closed.pixelColor(0, 39).alpha(), 0);
    QVERIFY(!sameColor(closed.pixelColor(100, 38), QColor("#ffffff"), 10));
}

void SelectorsTest::comboChoosingRows() {
    DoublePopupComboBox *combo = showCombo(4, 1);
    QVERIFY(combo);
    QSignalSpy activated(combo, &DoublePopupComboBox::activated);

    // Opens the list and clicks row `r` with `button`.
    const auto choose = [&](int r, Qt::MouseButton button) {
        bool sawPopup = false;
        whenPopupOpens(
            combo, [&](ComboPopup *popup) { QTest::mouseClick(row(popup, r), button, {}, QPoint(50, 20)); },
            &sawPopup);
        QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(100, 20));
        QVERIFY(sawPopup);
    };

    // The current row: closes, nothing emitted.
    STEP(choose(1, Qt::LeftButton));
    QVERIFY(!QApplication::activePopupWidget());
    QCOMPARE(activated.count(), 0);
    QCOMPARE(combo->currentIndex(), 1);

    // Another row: taken and announced once.
    STEP(choose(3, Qt::LeftButton));
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.at(0).at(0).toInt(), 3);
    QCOMPARE(combo->currentIndex(), 3);

    // Escape closes the list without a choice.
    whenPopupOpens(combo, [&](ComboPopup *popup) { QTest::keyClick(popup, Qt::Key_Escape); });
    QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(100, 20));
    QCOMPARE(activated.count(), 1);
    QCOMPARE(combo->currentIndex(), 3);

    // The right mouse button on a row chooses too (any button).
    STEP(choose(0, Qt::RightButton));
    QCOMPARE(activated.count(), 2);
    QCOMPARE(combo->currentIndex(), 0);
}

void SelectorsTest::comboDragInPopupSelectsNothing() {
    DoublePopupComboBox *combo = showCombo(3);
    QVERIFY(combo);
    QSignalSpy activated(combo, &DoublePopupComboBox::activated);

    bool stillOpenAfterDrag = false;
    int itemSignals = 0;
    whenPopupOpens(combo, [&](ComboPopup *popup) {
        LanguageItemWidget *item = row(popup, 2);
        QSignalSpy itemActivated(item, &LanguageItemWidget::activated);
        // Manhattan length 10: no choice.
        QTest::mousePress(item, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(item->isPressed());
        QTest::mouseRelease(item, Qt::LeftButton, {}, QPoint(26, 16));
        QVERIFY(!item->isPressed());
        itemSignals = itemActivated.count();
        stillOpenAfterDrag = popup->isVisible();
        // Manhattan length 9: a choice.
        QTest::mousePress(item, Qt::LeftButton, {}, QPoint(20, 20));
        QTest::mouseRelease(item, Qt::LeftButton, {}, QPoint(25, 24));
    });
    QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(100, 20));
    QCOMPARE(itemSignals, 0);
    QVERIFY(stillOpenAfterDrag);
    QCOMPARE(activated.count(), 1);
    QCOMPARE(combo->currentIndex(), 2);
}

void SelectorsTest::comboCurrentIndexAndPainting() {
    QWidget window;
    window.resize(300, 200);
    DoublePopupComboBox *combo = makeCombo(&window, 3);
    QCOMPARE(combo->sizeHint(), QSize(230, 40));
    QSignalSpy activated(combo, &DoublePopupComboBox::activated);
    combo->setCurrentIndex(3);
    combo->setCurrentIndex(-1);
    QCOMPARE(combo->currentIndex(), 0);
    combo->setCurrentIndex(2);
    QCOMPARE(combo->currentIndex(), 2);
    QCOMPARE(activated.count(), 0);

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Face colours: normal, hover, pressed; round corners while closed.
    QCOMPARE_COLOR(paintedImage(combo).pixelColor(200, 5), QColor("#b884d9"));
    QCOMPARE(paintedImage(combo).pixelColor(0, 0).alpha(), 0);
    enter(combo);
    QCOMPARE_COLOR(paintedImage(combo).pixelColor(200, 5), QColor("#d4b5e8"));
    QTest::mousePress(combo, Qt::LeftButton, {}, QPoint(200, 5));
    QCOMPARE_COLOR(paintedImage(combo).pixelColor(200, 5), QColor("#9a5ac3"));
    QTest::mouseRelease(combo, Qt::LeftButton, {}, QPoint(200, 300));
    leave(combo);

    // Text placement: left-aligned text starts near the left margin, centred text does not.
    auto whiteColumns = [&] {
        const QImage image = paintedImage(combo);
        int first = -1;
        for (int x = 0; x < image.width() && first < 0; ++x)
            for (int y = 0; y < image.height(); ++y)
                if (sameColor(image.pixelColor(x, y), QColor("#ffffff"), 40)) {
                    first = x;
                    break;
                }
        return first;
    };
    const int centred = whiteColumns();
    QVERIFY2(centred > 40, qPrintable(QString::number(centred)));
    combo->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int left = whiteColumns();
    QVERIFY2(left >= 10 && left <= 14, qPrintable(QString::number(left)));

    // Arrow image drawn at the right, 24 px square at x = 230 - 24 - 10.
    combo->setArrowImage(":/images/images/down_arrow.png");
    const QImage withArrow = paintedImage(combo);
    bool arrowPixels = false;
    for (int x = 196; x < 220; ++x)
        for (int y = 8; y < 32; ++y)
            if (withArrow.pixelColor(x, y) != QColor("#b884d9"))
                arrowPixels = true;
    QVERIFY(arrowPixels);

    // An index outside the items shows no text at all.
    DoublePopupComboBox empty;
    empty.resize(230, 40);
    const QImage blank = paintedImage(&empty);
    for (int x = 12; x < 200; x += 3)
        QCOMPARE_COLOR(blank.pixelColor(x, 20), QColor("#b884d9"));
}

void SelectorsTest::languageItemLooks() {
    QWidget window;
    auto *plain = new LanguageItemWidget(0, "English", Translation::instance()->fontFamily("english"),
                                         QColor("#b884d9"), QColor("#6f2d98"), Qt::white, false, &window);
    auto *chosen = new LanguageItemWidget(1, "Deutsch", Translation::instance()->fontFamily("english"),
                                          QColor("#b884d9"), QColor("#6f2d98"), Qt::white, true, &window);
    plain->setGeometry(0, 0, 230, 40);
    chosen->setGeometry(0, 40, 230, 40);
    window.resize(230, 80);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Marker: d = 16, square at (204, 12); its centre filled with the accent only when selected.
    QCOMPARE_COLOR(paintedImage(plain).pixelColor(212, 20), QColor("#b884d9"));
    QCOMPARE_COLOR(paintedImage(chosen).pixelColor(212, 20), QColor("#6f2d98"));
    QCOMPARE_COLOR(paintedImage(plain).pixelColor(204, 20), QColor("#ffffff"));
    QCOMPARE_COLOR(paintedImage(plain).pixelColor(150, 3), QColor("#b884d9"));

    // Hovered: accent frame of 4 px at the sides and 2 px at top and bottom.
    enter(plain);
    QImage image = paintedImage(plain);
    QCOMPARE_COLOR(image.pixelColor(1, 20), QColor("#6f2d98"));
    QCOMPARE_COLOR(image.pixelColor(150, 0), QColor("#6f2d98"));
    QCOMPARE_COLOR(image.pixelColor(150, 5), QColor("#b884d9"));

    // Pressed background.
    QTest::mousePress(plain, Qt::LeftButton, {}, QPoint(100, 20));
    image = paintedImage(plain);
    QCOMPARE_COLOR(image.pixelColor(150, 5), QColor("#9a5ac3"));
    QSignalSpy activated(plain, &LanguageItemWidget::activated);
    QTest::mouseRelease(plain, Qt::LeftButton, {}, QPoint(100, 20));
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.at(0).at(0).toInt(), 0);
    leave(plain);
    QCOMPARE_COLOR(paintedImage(plain).pixelColor(150, 5), QColor("#b884d9"));
}

void SelectorsTest::menuSwitchSelection() {
    QWidget window;
    auto *menu = new MenuSwitch(&window);
    menu->setGeometry(0, 0, 300, 300);
    QCOMPARE(menu->selectedIndex(), -1);
    QCOMPARE(menu->sizeHint(), QSize(420, 500));
    QSignalSpy selected(menu, &MenuSwitch::menuSelected);
    menu->setItems({"GENERAL_SETTINGS", "LANGUAGE"});
    QCOMPARE(menu->selectedIndex(), 0);
    QCOMPARE(menu->selectedPosInterValue(), 0.0f);
    QCOMPARE(selected.count(), 0);
    window.resize(300, 300);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(100, 90)); // row 1
    QCOMPARE(selected.count(), 1);
    QCOMPARE(selected.at(0).at(0).toInt(), 1);
    QCOMPARE(menu->selectedIndex(), 1);
    QCOMPARE(menu->selectionAnimation()->duration(), 200);
    QCOMPARE(menu->selectionAnimation()->propertyName(), QByteArray("selectedPosInterValue"));
    QCOMPARE(menu->selectionAnimation()->endValue().toFloat(), 1.0f);
    QTRY_COMPARE_WITH_TIMEOUT(menu->selectedPosInterValue(), 1.0f, 5000);

    QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(100, 119)); // the selected row again
    QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(100, 120)); // below the last item
    QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(100, 250));
    menu->setSelectedIndex(-1);
    menu->setSelectedIndex(2);
    QCOMPARE(selected.count(), 1);
    QCOMPARE(menu->selectedIndex(), 1);

    // A new selection while the animation runs restarts it from where it is.
    menu->setSelectedIndex(0);
    QCOMPARE(selected.count(), 2);
    QCOMPARE(menu->selectionAnimation()->startValue().toFloat(), 1.0f);
    QCOMPARE(menu->selectionAnimation()->endValue().toFloat(), 0.0f);
    QTest::qWait(30);
    menu->setSelectedIndex(1);
    const float from = menu->selectionAnimation()->startValue().toFloat();
    QVERIFY2(from <= 1.0f && from >= 0.0f, qPrintable(QString::number(from)));
    QTRY_COMPARE_WITH_TIMEOUT(menu->selectedPosInterValue(), 1.0f, 5000);
    QCOMPARE(menu->property("selectedPosInterValue").toFloat(), 1.0f);
}

void SelectorsTest::menuSwitchSetItemsResetsQuietly() {
    MenuSwitch menu;
    menu.resize(300, 300);
    QSignalSpy selected(&menu, &MenuSwitch::menuSelected);
    menu.setItems({"GENERAL_SETTINGS", "LANGUAGE"});
    menu.setSelectedIndex(1);
    QCOMPARE(selected.count(), 1);

    menu.setItems({"GENERAL_SETTINGS", "LANGUAGE"});
    QCOMPARE(menu.selectedIndex(), 0);
    QCOMPARE(menu.selectedPosInterValue(), 0.0f);
    QCOMPARE(selected.count(), 1);
    QTest::qWait(300); // a stopped animation does not move it back
    QCOMPARE(menu.selectedPosInterValue(), 0.0f);

    // An empty list keeps the selection as it was.
    menu.setSelectedIndex(1);
    menu.setItems({});
    QCOMPARE(menu.selectedIndex(), 1);
    QCOMPARE(menu.itemKeys(), QStringList());
    menu.setSelectedIndex(0);
    QCOMPARE(selected.count(), 2);
}

void SelectorsTest::menuSwitchHoverAndLines() {
    MenuSwitch *menu = showMenu();
    QVERIFY(menu);

    // Separators of width 2 at y = 60 and 120, from x = 30 to 270.
    QImage image = paintedImage(menu);
    QCOMPARE_COLOR(image.pixelColor(150, 59), QColor("#b884d9"));
    QCOMPARE_COLOR(image.pixelColor(150, 119), QColor("#b884d9"));
    QCOMPARE(image.pixelColor(150, 180).alpha(), 0);
    QCOMPARE(image.pixelColor(10, 59).alpha(), 0);
    QCOMPARE(image.pixelColor(290, 59).alpha(), 0);

    enter(menu, QPoint(100, 70));
    QVERIFY(menu->hasMouseTracking());
    moveMouse(menu, QPoint(100, 70));
    QCOMPARE(menu->hoveredRow(), 1);
    image = paintedImage(menu);
    QCOMPARE_COLOR(image.pixelColor(150, 119), QColor("#ffffff"));
    QCOMPARE_COLOR(image.pixelColor(150, 59), QColor("#b884d9"));

    leave(menu);
    QVERIFY(!menu->hasMouseTracking());
    QCOMPARE(menu->hoveredRow(), -1);
    QCOMPARE_COLOR(paintedImage(menu).pixelColor(150, 119), QColor("#b884d9"));

    // Selected caption white, the other one in the plain caption colour.
    auto countNear = [](const QImage &img, const QRect &area, const QColor &c) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (sameColor(img.pixelColor(x, y), c, 1))
                    ++n;
        return n;
    };
    image = paintedImage(menu);
    QVERIFY(countNear(image, QRect(30, 0, 270, 58), QColor("#ffffff")) > 20);
    QCOMPARE(countNear(image, QRect(30, 0, 270, 58), QColor("#d395ff")), 0);
    QVERIFY(countNear(image, QRect(30, 62, 270, 56), QColor("#d395ff")) > 20);
}

void SelectorsTest::menuSwitchRepaintsOnLanguageChange() {
    MenuSwitch *menu = showMenu();
    QVERIFY(menu);
    QTest::qWait(50);
    const QImage english = paintedImage(menu);
    PaintCounter paints(menu);

    Translation::instance()->setLanguageIndex(5);
    QTRY_VERIFY_WITH_TIMEOUT(paints.count > 0, 5000);
    QVERIFY(paintedImage(menu) != english); // other texts and the CJK font
}

QTEST_MAIN(SelectorsTest)
#include "tst_selectors.moc"
