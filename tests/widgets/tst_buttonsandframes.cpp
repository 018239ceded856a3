// Buttons, progress bar, confirmation dialog, overlay and rounded panel: what they paint in each
// state and how they react to real mouse events.

#include "support/widgetfixture.h"

#include "widgets/confirmdialog.h"
#include "widgets/darkoverlay.h"
#include "widgets/imagebutton.h"
#include "widgets/mainbutton.h"
#include "widgets/progressbar.h"
#include "widgets/roundedwidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace WidgetFixture;

class ButtonsAndFramesTest : public CatalogueTest {
    Q_OBJECT

private slots:
    void init();

    void imageButtonFaceFollowsHoverAndPress();
    void imageButtonIconSquareAndPressedOpacity();
    void imageButtonTwoLayerAndRoundShapes();
    void imageButtonInactiveKeepsPlaceAndIgnoresClicks();

    void mainButtonColoursPerState();
    void mainButtonDisabledWinsOverHover();
    void mainButtonFollowsLanguageChange();
    void mainButtonLongCaptionDrawnSmaller();

    void progressBarFillFollowsClampedValue();
    void progressBarScaleAndInactive();

    void confirmDialogLayoutTextsAndCorners();
    void confirmDialogCaptionSizeFollowsFontRole();
    void confirmDialogButtonsDecideResult();

    void overlayAndRoundedPanel();
};

// setVisible(false) on the skinned widgets keeps them in their layout (the same geometry for them
// and the widget after them), inactive and painting nothing.
template <typename W>
static void hidingKeepsThePlace(W *widget, QWidget *next) {
    const QRect before = widget->geometry();
    const QRect nextBefore = next->geometry();
    widget->setVisible(false);
    QVERIFY(widget->isVisible());
    QVERIFY(!widget->isActive());
    QApplication::processEvents();
    QCOMPARE(widget->geometry(), before);
    QCOMPARE(next->geometry(), nextBefore);
    const QImage image = paintedImage(widget);
    for (int y = 0; y < image.height(); y += 5)
        for (int x = 0; x < image.width(); x += 5)
            QCOMPARE(image.pixelColor(x, y).alpha(), 0);
}

// A widget of that size in the shown window; null when the window is not exposed.
template <typename W>
W *shownIn(QWidget &window, QSize size) {
    auto *widget = new W(&window);
    widget->setFixedSize(size);
    window.show();
    return QTest::qWaitForWindowExposed(&window) ? widget : nullptr;
}

void ButtonsAndFramesTest::init() {
    Translation::instance()->setLanguageIndex(1);
    QCOMPARE(Translation::instance()->languageName(), QString("English"));
}

void ButtonsAndFramesTest::imageButtonFaceFollowsHoverAndPress() {
    QWidget window;
    auto *button = shownIn<ImageButton>(window, QSize(44, 44));
    QVERIFY(button);
    QCOMPARE(button->sizeHint(), QSize(44, 44));

    QCOMPARE(paintedImage(button).pixelColor(22, 22).alpha(), 0);

    enter(button);
    QVERIFY(button->isHovered());
    QCOMPARE_COLOR(paintedImage(button).pixelColor(22, 22), QColor("#5e2888"));
    QCOMPARE_COLOR(paintedImage(button).pixelColor(0, 0), QColor("#5e2888")); // plain rectangle

    QSignalSpy clicked(button, &QPushButton::clicked);
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(20, 20));
    QCOMPARE_COLOR(paintedImage(button).pixelColor(22, 22), QColor("#1c0131")); // pressed wins over hover
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(20, 20));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE_COLOR(paintedImage(button).pixelColor(22, 22), QColor("#5e2888"));

    leave(button);
    QVERIFY(!button->isHovered());
    QCOMPARE(paintedImage(button).pixelColor(22, 22).alpha(), 0);

    button->setFaceColors(QColor("#c391e2"), QColor("#755788"), QColor("#dbbdee"));
    QCOMPARE_COLOR(paintedImage(button).pixelColor(22, 22), QColor("#c391e2"));
}

void ButtonsAndFramesTest::imageButtonIconSquareAndPressedOpacity() {
    QWidget window;
    auto *button = new ImageButton(&window);
    button->setFixedSize(44, 44);
    QPixmap red(64, 64);
    red.fill(QColor("#ff0000"));
    button->setIcon(red);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // 44 * 0.8 = 35.2 -> a 35 x 35 square at (4, 4): pixels 4..38 on both axes.
    QImage image = paintedImage(button);
    for (const QPoint &inside : {QPoint(4, 4), QPoint(38, 38), QPoint(4, 38), QPoint(22, 22)})
        QCOMPARE_COLOR(image.pixelColor(inside), QColor("#ff0000"));
    for (const QPoint &outside : {QPoint(3, 22), QPoint(39, 22), QPoint(22, 3), QPoint(22, 39)})
        QCOMPARE(image.pixelColor(outside).alpha(), 0);

    // Pressed: the icon at 70 % over the pressed face.
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(22, 22));
    image = paintedImage(button);
    const QColor face("#1c0131");
    const QColor expected(qRound(0.7 * 255 + 0.3 * face.red()), qRound(0.3 * face.green()),
                          qRound(0.3 * face.blue()));
    QCOMPARE_COLOR(image.pixelColor(22, 22), expected);
    QCOMPARE_COLOR(image.pixelColor(2, 2), face);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(22, 22));

    // A 30 px button with scale 0.5: 15 px square at (7, 7).
    button->setFixedSize(30, 30);
    button->setIconScale(0.5f);
    image = paintedImage(button);
    QCOMPARE_COLOR(image.pixelColor(7, 7), QColor("#ff0000"));
    QCOMPARE_COLOR(image.pixelColor(21, 21), QColor("#ff0000"));
    QCOMPARE(image.pixelColor(6, 15).alpha(), 0);
    QCOMPARE(image.pixelColor(22, 15).alpha(), 0);
}

void ButtonsAndFramesTest::imageButtonTwoLayerAndRoundShapes() {
    ImageButton button;
    button.setFixedSize(44, 44);
    button.setFaceColors(QColor("#00ff00"), QColor("#008000"), QColor("#80ff80"));
    button.setBaseColors(QColor("#0000ff"), QColor("#000080"), QColor("#8080ff"));
    button.setTwoLayer(true);

    // Base shows as a 2 px band along the top; the shape stops one pixel short at right and bottom.
    QImage image = paintedImage(&button);
    QCOMPARE_COLOR(image.pixelColor(22, 0), QColor("#0000ff"));
    QCOMPARE_COLOR(image.pixelColor(22, 1), QColor("#0000ff"));
    QCOMPARE_COLOR(image.pixelColor(22, 3), QColor("#00ff00"));
    QCOMPARE_COLOR(image.pixelColor(22, 42), QColor("#00ff00"));
    QCOMPARE(image.pixelColor(43, 22).alpha(), 0);
    QCOMPARE(image.pixelColor(22, 43).alpha(), 0);

    button.setLayerOffset(6);
    image = paintedImage(&button);
    QCOMPARE_COLOR(image.pixelColor(22, 5), QColor("#0000ff"));
    QCOMPARE_COLOR(image.pixelColor(22, 7), QColor("#00ff00"));

    // Round: radius half the height makes a circle, the corners stay empty.
    button.setTwoLayer(false);
    button.setRounded(true);
    button.setRadiusIsHalfHeight(true);
    image = paintedImage(&button);
    QCOMPARE(image.pixelColor(2, 2).alpha(), 0);
    QCOMPARE(image.pixelColor(41, 41).alpha(), 0);
    QCOMPARE_COLOR(image.pixelColor(22, 22), QColor("#00ff00"));
    QCOMPARE_COLOR(image.pixelColor(1, 22), QColor("#00ff00"));

    // Default radius 8: the corner pixel is outside the curve, (8, 8) is inside.
    button.setRadiusIsHalfHeight(false);
    image = paintedImage(&button);
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QCOMPARE_COLOR(image.pixelColor(8, 8), QColor("#00ff00"));
}

void ButtonsAndFramesTest::imageButtonInactiveKeepsPlaceAndIgnoresClicks() {
    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    auto *left = new QLabel("left", &window);
    auto *button = new ImageButton(&window);
    auto *right = new QLabel("right", &window);
    layout->addWidget(left);
    layout->addWidget(button);
    layout->addWidget(right);
    button->setFaceColors(QColor("#102030"), QColor("#405060"), QColor("#708090"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    hidingKeepsThePlace(button, right);
    if (QTest::currentTestFailed())
        return;

    QSignalSpy clicked(button, &QPushButton::clicked);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(clicked.count(), 0);
    QVERIFY(!button->isDown());

    button->setVisible(true);
    QVERIFY(button->isActive());
    QCOMPARE_COLOR(paintedImage(button).pixelColor(10, 10), QColor("#102030"));
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(clicked.count(), 1);

    // A button that is a window of its own really hides.
    ImageButton lonely;
    lonely.show();
    QVERIFY(QTest::qWaitForWindowExposed(&lonely));
    lonely.hide();
    QVERIFY(!lonely.isVisible());
    QVERIFY(!lonely.isActive());

    // Hiding the parent window and showing it again keeps the inactive state.
    button->setVisible(false);
    window.hide();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!button->isActive());
}

void ButtonsAndFramesTest::mainButtonColoursPerState() {
    QWidget window;
    auto *button = shownIn<MainButton>(window, QSize(300, 80));
    QVERIFY(button);

    // Row 1 at the centre is only the outer shape (inner starts 2 px down); (40, 40) is inner only.
    auto check = [&](const char *outer, const char *inner) {
        const QImage image = paintedImage(button);
        QCOMPARE_COLOR(image.pixelColor(150, 1), QColor(outer));
        QCOMPARE_COLOR(image.pixelColor(40, 40), QColor(inner));
        // Right and bottom pixel rows stay empty; the corners are round.
        QCOMPARE(image.pixelColor(299, 40).alpha(), 0);
        QCOMPARE(image.pixelColor(150, 79).alpha(), 0);
        QCOMPARE(image.pixelColor(1, 1).alpha(), 0);
    };
    check("#94ef78", "#0fcc00");
    QCOMPARE(button->stateIndex(), int(MainButton::Normal));
    enter(button);
    check("#bff5ae", "#6fe066");
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(150, 40));
    check("#598f48", "#097a00");
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(150, 40));
    leave(button);
    check("#94ef78", "#0fcc00");

    button->setInnerInsetTop(10);
    QCOMPARE_COLOR(paintedImage(button).pixelColor(150, 8), QColor("#94ef78"));
    QCOMPARE_COLOR(paintedImage(button).pixelColor(150, 11), QColor("#0fcc00"));
}

static int countColor(const QImage &image, const QColor &color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (sameColor(image.pixelColor(x, y), color, 1))
                ++n;
    return n;
}

void ButtonsAndFramesTest::mainButtonDisabledWinsOverHover() {
    QWidget window;
    auto *button = new MainButton(&window);
    button->setFixedSize(300, 80);
    button->setTextKey("START_GAME");
    QCOMPARE(button->text(), catalogueText("START_GAME"));
    button->setEnabled(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    enter(button);
    QVERIFY(button->isHovered());
    QCOMPARE(button->stateIndex(), int(MainButton::Disabled));
    const QImage image = paintedImage(button);
    QCOMPARE_COLOR(image.pixelColor(150, 1), QColor("#7d88be"));
    QCOMPARE_COLOR(image.pixelColor(20, 40), QColor("#586399"));
    QVERIFY2(countColor(image, QColor("#d1dafb")) > 20, "disabled caption colour not drawn");
    QCOMPARE(countColor(image, QColor("#ffffff")), 0);

    // Clicking a disabled button does nothing.
    QSignalSpy clicked(button, &QPushButton::clicked);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(150, 40));
    QCOMPARE(clicked.count(), 0);

    // Enabled again while still hovered: hover colours and a white caption.
    button->setEnabled(true);
    const QImage enabled = paintedImage(button);
    QCOMPARE_COLOR(enabled.pixelColor(150, 1), QColor("#bff5ae"));
    QVERIFY(countColor(enabled, QColor("#ffffff")) > 20);
}

void ButtonsAndFramesTest::mainButtonFollowsLanguageChange() {
    Translation *catalogue = Translation::instance();
    QWidget window;
    auto *button = new MainButton(&window);
    button->setFixedSize(300, 80);
    button->setTextKey("CONFIRM");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    PaintCounter paints(button);

    button->setText("stale"); // only the key counts on a change
    catalogue->setLanguageIndex(5);
    QCOMPARE(button->text(), catalogueText("CONFIRM"));
    QCOMPARE(button->font().family(), catalogue->currentFontFamily());
    QCOMPARE(catalogue->currentFontFamily(), catalogue->fontFamily("chinese"));
    QTRY_VERIFY_WITH_TIMEOUT(paints.count > 0, 5000);

    catalogue->setLanguageIndex(1);
    QCOMPARE(button->font().family(), catalogue->fontFamily("english"));

    // A caption without key is left alone.
    MainButton plain;
    plain.setText("literal");
    catalogue->setLanguageIndex(3);
    QCOMPARE(plain.text(), QString("literal"));
}

// A caption too long for the pill at the button's size is drawn a few pixels smaller, never below
// three quarters of it, and its ink stays clear of the rounded ends.
void ButtonsAndFramesTest::mainButtonLongCaptionDrawnSmaller() {
    MainButton button;
    button.setFixedSize(292, 80);
    button.setTextPixelSize(47);
    button.setText("OK");
    QCOMPARE(button.captionPixelSize(), 47);

    button.setText("KEEP UPDATE");
    const int size = button.captionPixelSize();
    QVERIFY2(size < 47 && size >= 36, qPrintable(QString::number(size)));
    const QImage image = paintedImage(&button);
    const QColor inner = image.pixel(146, 75);
    int left = image.width(), right = -1;
    for (int y = 10; y < 70; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (sameColor(image.pixel(x, y), Qt::white, 40)) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
    QCOMPARE_COLOR(inner, QColor("#0fcc00"));
    // Drawn at the smaller size: narrower than the caption at 47 px, inside the button's ends.
    QFont full = button.font();
    full.setWeight(75);
    full.setPixelSize(47);
    const int fullWidth = QFontMetrics(full).tightBoundingRect("KEEP UPDATE").width();
    QVERIFY2(left >= 3 && right <= 292 - 3 && right - left + 1 < fullWidth,
             qPrintable(QString("caption ink %1..%2, %3 wide at 47 px").arg(left).arg(right).arg(fullWidth)));

    button.setText("THIS CAPTION CANNOT FIT AT ALL");
    QCOMPARE(button.captionPixelSize(), 36);
}

void ButtonsAndFramesTest::progressBarFillFollowsClampedValue() {
    ProgressBar bar;
    bar.setFixedSize(208, 30); // track 204 x 26 at (2, 2); fill area 200 x 22 at (4, 4)
    const QColor fill("#6dff60");
    const QColor border("#a855db");
    QColor track("#b3290140");

    QImage image = paintedImage(&bar);
    QCOMPARE(bar.progressValue(), 0.0f);
    QCOMPARE_COLOR(image.pixelColor(10, 15), track);
    QCOMPARE_COLOR(image.pixelColor(100, 2), border);
    QCOMPARE(image.pixelColor(100, 0).alpha(), 0); // border is centred on the track edge, 1 px outside
    QCOMPARE_COLOR(image.pixelColor(100, 1), border);

    bar.setProgress(50);
    image = paintedImage(&bar);
    QCOMPARE_COLOR(image.pixelColor(5, 15), fill);
    QCOMPARE_COLOR(image.pixelColor(100, 15), fill);
    QCOMPARE_COLOR(image.pixelColor(103, 15), fill);
    QCOMPARE_COLOR(image.pixelColor(105, 15), track);
    QCOMPARE_COLOR(image.pixelColor(150, 15), track);

    bar.setProgress(150);
    QCOMPARE(bar.progressValue(), 100.0f);
    image = paintedImage(&bar);
    QCOMPARE_COLOR(image.pixelColor(202, 15), fill);
    QCOMPARE_COLOR(image.pixelColor(100, 15), fill);

    bar.setProgress(-3);
    QCOMPARE(bar.progressValue(), 0.0f);
    image = paintedImage(&bar);
    QCOMPARE_COLOR(image.pixelColor(5, 15), track);

    bar.setProgress(qQNaN());
    QCOMPARE(bar.progressValue(), 0.0f);

    // 0.5 % of 200 px truncates to a 1 px fill.
    bar.setProgress(0.5f);
    image = paintedImage(&bar);
    QVERIFY(image.pixelColor(4, 15).green() > 200);
    QCOMPARE_COLOR(image.pixelColor(6, 15), track);
}

void ButtonsAndFramesTest::progressBarScaleAndInactive() {
    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    auto *bar = new ProgressBar(&window);
    auto *after = new QLabel("after", &window);
    layout->addWidget(bar);
    layout->addWidget(after);
    bar->setScale(1.015625f);
    QCOMPARE(bar->size(), QSize(853, 36));
    QCOMPARE(bar->minimumSize(), QSize(853, 36));
    QCOMPARE(bar->maximumSize(), QSize(853, 36));
    bar->setScale(1.0f);
    QCOMPARE(bar->size(), QSize(840, 35));
    bar->setProgress(40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    hidingKeepsThePlace(bar, after);
    if (QTest::currentTestFailed())
        return;

    bar->setVisible(true);
    QCOMPARE_COLOR(paintedImage(bar).pixelColor(20, 17), QColor("#6dff60"));

    // Pill shape: the track corners stay empty.
    bar->setRadiusIsHalfHeight(true);
    const QImage pill = paintedImage(bar);
    QCOMPARE(pill.pixelColor(3, 3).alpha(), 0);
    QCOMPARE_COLOR(pill.pixelColor(20, 17), QColor("#6dff60"));

    // A fill narrower than its round end stays inside the track's curve instead of covering
    // the border: 0.5 % of 845 px is a 4 px sliver at x 4..7, cut off above and below.
    bar->setProgress(0.5f);
    const QImage sliver = paintedImage(bar);
    QVERIFY(sliver.pixelColor(6, 17).green() > 200);
    for (int x = 4; x < 8; ++x) {
        QVERIFY2(sliver.pixelColor(x, 5).green() < 150, qPrintable(QString::number(x)));
        QVERIFY2(sliver.pixelColor(x, 30).green() < 150, qPrintable(QString::number(x)));
    }
}

void ButtonsAndFramesTest::confirmDialogLayoutTextsAndCorners() {
    ConfirmDialog dialog(catalogueText("EXITING_TIP"));
    QCOMPARE(dialog.objectName(), QString("ConfirmDialogClass"));
    QCOMPARE(dialog.windowTitle(), QString("Confirm To Exit"));
    QCOMPARE(dialog.size(), QSize(640, 380));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    for (const char *name : {"gridLayout", "verticalLayout", "horizontalLayout_2", "titleLabel",
                             "contentLabel", "horizontalLayout", "cancelButton", "confirmButton"})
        QVERIFY2(dialog.findChild<QObject *>(name), name);
    QCOMPARE(dialog.titleLabel->text(), catalogueText("TIPS"));
    QCOMPARE(dialog.contentLabel->text(), catalogueText("EXITING_TIP"));
    QCOMPARE(dialog.contentLabel->text().count('\n'), 2);
    QCOMPARE(dialog.contentLabel->alignment(), Qt::AlignCenter);
    QCOMPARE(dialog.cancelButton->text(), catalogueText("CANCEL"));
    QCOMPARE(dialog.confirmButton->text(), catalogueText("CONFIRM"));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // Buttons side by side in the lower part, cancel on the left.
    QVERIFY(dialog.cancelButton->geometry().right() < dialog.confirmButton->geometry().left());
    QVERIFY(dialog.cancelButton->geometry().top() > dialog.contentLabel->geometry().top());
    QCOMPARE(dialog.confirmButton->geometry().left() - dialog.cancelButton->geometry().right() - 1, 66);

    const QImage image = dialog.grab().toImage();
    const QColor purple("#6f2d98");
    for (const QPoint &corner :
         {QPoint(0, 0), QPoint(639, 0), QPoint(0, 379), QPoint(639, 379), QPoint(2, 2), QPoint(637, 377)})
        QCOMPARE(image.pixelColor(corner).alpha(), 0);
    for (const QPoint &inside :
         {QPoint(10, 10), QPoint(629, 369), QPoint(320, 0), QPoint(0, 190), QPoint(8, 8)})
        QCOMPARE_COLOR(image.pixelColor(inside), purple);
    // Cancel's inner colour shows in its middle-left part.
    const QRect cancel = dialog.cancelButton->geometry();
    QCOMPARE_COLOR(image.pixelColor(cancel.left() + 20, cancel.center().y()), QColor("#ff2372"));
}

void ButtonsAndFramesTest::confirmDialogCaptionSizeFollowsFontRole() {
    Translation *catalogue = Translation::instance();
    const int expected[8] = {35, 45, 45, 45, 45, 35, 45, 45};
    for (int index : {0, 2, 5, 7, 1}) {
        catalogue->setLanguageIndex(index);
        ConfirmDialog dialog("message");
        QCOMPARE(dialog.cancelButton->textPixelSize, expected[index]);
        QCOMPARE(dialog.confirmButton->textPixelSize, expected[index]);
    }
}

void ButtonsAndFramesTest::confirmDialogButtonsDecideResult() {
    {
        ConfirmDialog dialog("leave?");
        QTimer::singleShot(0, &dialog, [&] { QTest::mouseClick(dialog.cancelButton, Qt::LeftButton); });
        QTimer::singleShot(10000, &dialog, [&] { dialog.done(42); }); // safety net
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }
    {
        ConfirmDialog dialog("leave?");
        QTimer::singleShot(0, &dialog, [&] { QTest::mouseClick(dialog.confirmButton, Qt::LeftButton); });
        QTimer::singleShot(10000, &dialog, [&] { dialog.done(42); });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    }
    {
        // Pressing CONFIRM and releasing outside it decides nothing.
        ConfirmDialog dialog("leave?");
        QTimer::singleShot(0, &dialog, [&] {
            QTest::mousePress(dialog.confirmButton, Qt::LeftButton, {}, QPoint(10, 10));
            QTest::mouseRelease(dialog.confirmButton, Qt::LeftButton, {}, QPoint(-40, -40));
            QVERIFY(dialog.isVisible());
            dialog.done(7);
        });
        QCOMPARE(dialog.exec(), 7);
    }
}

void ButtonsAndFramesTest::overlayAndRoundedPanel() {
    DarkOverlay overlay;
    overlay.resize(50, 40);
    const QColor sheet = paintedImage(&overlay).pixelColor(25, 20);
    QCOMPARE(sheet.alpha(), 200);
    QCOMPARE(sheet.red() + sheet.green() + sheet.blue(), 0);

    QWidget window;
    auto *panel = new RoundedWidget(&window);
    panel->resize(200, 100);
    window.resize(220, 120);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QImage image = paintedImage(panel);
    QCOMPARE_COLOR(image.pixelColor(100, 50), QColor("#571481"));
    QCOMPARE(image.pixelColor(2, 2).alpha(), 0); // radius 20
    QCOMPARE_COLOR(image.pixelColor(8, 8), QColor("#571481"));

    // Without hover enabled the mouse changes nothing.
    panel->setHoverColor(QColor("#a981c1"));
    enter(panel);
    QVERIFY(!panel->isHovered());
    QCOMPARE_COLOR(paintedImage(panel).pixelColor(100, 50), QColor("#571481"));
    leave(panel);

    panel->setColor(QColor("#6f2d98"));
    panel->setRadius(10);
    panel->setHoverEnabled(true);
    image = paintedImage(panel);
    QCOMPARE_COLOR(image.pixelColor(100, 50), QColor("#6f2d98"));
    QCOMPARE_COLOR(image.pixelColor(4, 4), QColor("#6f2d98"));
    enter(panel);
    QCOMPARE_COLOR(paintedImage(panel).pixelColor(100, 50), QColor("#a981c1"));
    leave(panel);
    QCOMPARE_COLOR(paintedImage(panel).pixelColor(100, 50), QColor("#6f2d98"));
}

QTEST_MAIN(ButtonsAndFramesTest)
#include "tst_buttonsandframes.moc"
