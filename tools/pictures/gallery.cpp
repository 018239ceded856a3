#include "tools/pictures/gallery.h"

#include "tools/pictures/gallerysheet.h"
#include "tools/pictures/picturerun.h"
#include "tools/pictures/windowpictures.h"

#include "i18n/translation.h"
#include "settings/settingdialog.h"
#include "widgets/combopopup.h"
#include "widgets/confirmdialog.h"
#include "widgets/darkoverlay.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/imagebutton.h"
#include "widgets/languageitemwidget.h"
#include "widgets/mainbutton.h"
#include "widgets/menuswitch.h"
#include "widgets/progressbar.h"
#include "widgets/roundedwidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include <functional>

using namespace PictureRun;

namespace {

const QSize windowSize(1300, 731);

// The main window's backdrop: its background picture at window size.
QImage windowBackground() {
    QImage image(windowSize, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(QPoint(), windowSize), QImage(QStringLiteral(":/images/images/bg2.png")));
    return image;
}

// The backdrop dimmed by the window's overlay.
QImage dimmedWindow() {
    QImage image = windowBackground();
    QWidget host;
    host.resize(windowSize);
    DarkOverlay overlay(&host);
    overlay.resize(windowSize);
    QPainter painter(&image);
    overlay.render(&painter, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QImage overDimmedWindow(const QImage &dialog) {
    QImage image = dimmedWindow();
    QPainter painter(&image);
    painter.drawImage((windowSize.width() - dialog.width()) / 2, (windowSize.height() - dialog.height()) / 2,
                      dialog);
    return image;
}

// Puts a shown widget into the state a picture is named after: "hover", "pressed" (a button held
// down, another widget pressed at 20,20) or "disabled"; any other state leaves it as it is.
void putInState(QWidget *widget, const QString &state) {
    auto *button = qobject_cast<QAbstractButton *>(widget);
    if (state == QLatin1String("hover"))
        enter(widget);
    else if (state == QLatin1String("pressed") && button)
        button->setDown(true);
    else if (state == QLatin1String("pressed"))
        mouse(widget, QEvent::MouseButtonPress, QPoint(20, 20));
    else if (state == QLatin1String("disabled"))
        widget->setEnabled(false);
}

// The language list of the settings dialog in a window of its own, shown.
DoublePopupComboBox *languageCombo(QWidget *window) {
    window->resize(300, 80);
    auto *combo = new DoublePopupComboBox(window);
    combo->setGeometry(10, 10, 230, 40);
    for (int i = 0; i < Translation::LanguageCount; ++i)
        combo->addItem(qMakePair(tr(Translation::languageNameAt(i)),
                                 Translation::instance()->fontFamily(Translation::fontRoleAt(i))));
    combo->setAlignment(Qt::AlignLeft);
    combo->setArrowImage(QStringLiteral(":/images/images/down_arrow.png"));
    combo->setCurrentIndex(Translation::instance()->languageIndex());
    window->show();
    return combo;
}

// ImageButton: plain, icon, round (as the settings dialog's close button) and two-layer.
void imageButtons() {
    GallerySheet sheet(QStringLiteral("ImageButton"), 5);
    struct Variant {
        const char *name;
        std::function<void(ImageButton *)> setUp;
    };
    const QList<Variant> variants = {
        {"plain", [](ImageButton *) {}},
        {"icon",
         [](ImageButton *b) { b->setIcon(QPixmap(QStringLiteral(":/images/images/setting_normal.png"))); }},
        {"round",
         [](ImageButton *b) {
             b->setIcon(QPixmap(QStringLiteral(":/images/images/close.png")));
             b->setFaceColors(QColor("#c391e2"), QColor("#755788"), QColor("#dbbdee"));
             b->rounded = true;
             b->radiusIsHalfHeight = true;
             b->iconScale = 0.5f;
         }},
        {"twolayer",
         [](ImageButton *b) {
             b->setIcon(QPixmap(QStringLiteral(":/images/images/pause.png")));
             b->twoLayer = true;
             b->rounded = true;
             b->setFaceColors(QColor("#8a3fc0"), QColor("#5b1f86"), QColor("#a45cd8"));
             b->setBaseColors(QColor("#d9b3f2"), QColor("#8a5cab"), QColor("#ecd6fa"));
         }},
    };
    const QStringList states = {"normal", "hover", "pressed", "disabled", "inactive"};
    for (const Variant &variant : variants) {
        for (const QString &state : states) {
            QWidget window;
            auto *button = new ImageButton(&window);
            button->setFixedSize(44, 44);
            variant.setUp(button);
            window.show();
            if (state == "inactive")
                button->setVisible(false);
            else
                putInState(button, state);
            const QImage image = paintedImage(button);
            save(QStringLiteral("imagebutton-%1-%2").arg(variant.name, state), image);
            sheet.add(QStringLiteral("%1 %2").arg(variant.name, state),
                      image.scaled(88, 88, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        }
    }
    save(QStringLiteral("sheet-imagebutton"), sheet.render());
}

// The confirmation dialog's two buttons as it colours them: outer, inner and text colours, each
// normal, pressed, disabled and hover.
struct DialogButton {
    const char *kind;
    const char *key;
    const char *colors[12];
};
const DialogButton dialogButtons[] = {
    {"cancel",
     "CANCEL",
     {"#ff75bc", "#994671", "#000000", "#ffacd7", "#ff2372", "#991544", "#000000", "#ff7baa", "#ffffff",
      "#999999", "#000000", "#ffffff"}},
    {"confirm",
     "CONFIRM",
     {"#ffffff", "#999999", "#000000", "#ffffff", "#ffffff", "#999999", "#000000", "#ffffff", "#8000cd",
      "#4d007b", "#000000", "#b366e1"}},
};

// The start button of the main window, or one of the confirmation dialog's.
void setUpMainButton(MainButton *button, const QString &kind, const QString &language) {
    if (kind == QLatin1String("start")) {
        button->setFixedSize(330, 80);
        button->textPixelSize = (language == "Japanese" || language == "Spanish") ? 40 : 47;
        button->setTextKey(QStringLiteral("START_GAME"));
        return;
    }
    for (const DialogButton &d : dialogButtons) {
        if (kind != QLatin1String(d.kind))
            continue;
        const auto c = [&](int i) { return QColor(d.colors[i]); };
        button->setFixedSize(244, 100);
        button->textPixelSize = Translation::instance()->fontRole() == QLatin1String("chinese") ? 35 : 45;
        button->setTextKey(QLatin1String(d.key));
        button->setOuterColors(c(0), c(1), c(2), c(3));
        button->setInnerColors(c(4), c(5), c(6), c(7));
        button->setTextColors(c(8), c(9), c(10), c(11));
    }
}

// MainButton: the start button of the main window and the two confirmation buttons.
void mainButtons(const QString &language) {
    GallerySheet sheet(QStringLiteral("MainButton (%1)").arg(language), 4);
    const QStringList states = {"normal", "hover", "pressed", "disabled"};
    for (const char *kind : {"start", "cancel", "confirm"}) {
        for (const QString &state : states) {
            QWidget window;
            auto *button = new MainButton(&window);
            setUpMainButton(button, QLatin1String(kind), language);
            window.show();
            if (state == "disabled")
                enter(button); // disabled colours win over hover
            putInState(button, state);
            const QImage image = paintedImage(button);
            save(QStringLiteral("mainbutton-%1-%2-%3").arg(kind, state, language.toLower()), image);
            sheet.add(QStringLiteral("%1 %2").arg(kind, state), image);
        }
    }
    save(QStringLiteral("sheet-mainbutton-%1").arg(language.toLower()), sheet.render());
}

void progressBars() {
    GallerySheet sheet(QStringLiteral("ProgressBar"), 1);
    struct Case {
        const char *name;
        float value;
        bool pill;
        bool active;
    };
    const QList<Case> cases = {{"0", 0, false, true},          {"25", 25, false, true},
                               {"50", 50, false, true},        {"100", 100, false, true},
                               {"150", 150, false, true},      {"minus3", -3, false, true},
                               {"pill-0.5", 0.5f, true, true}, {"pill-60", 60, true, true},
                               {"pill-100", 100, true, true},  {"inactive", 70, false, false}};
    for (const Case &c : cases) {
        QWidget window;
        auto *bar = new ProgressBar(&window);
        bar->setScale(1.015625f);
        bar->radiusIsHalfHeight = c.pill;
        bar->setProgress(c.value);
        window.show();
        if (!c.active)
            bar->setVisible(false);
        const QImage image = paintedImage(bar);
        save(QStringLiteral("progressbar-%1").arg(c.name), image);
        sheet.add(QStringLiteral("%1  (%2 x %3)").arg(c.name).arg(bar->width()).arg(bar->height()), image);
    }
    save(QStringLiteral("sheet-progressbar"), sheet.render());
}

void comboBoxes() {
    GallerySheet sheet(QStringLiteral("DoublePopupComboBox, LanguageItemWidget"), 4);
    const QStringList states = {"normal", "hover", "pressed"};
    for (const QString &state : states) {
        QWidget window;
        DoublePopupComboBox *combo = languageCombo(&window);
        putInState(combo, state);
        const QImage image = paintedImage(combo);
        save(QStringLiteral("combobox-%1").arg(state), image);
        sheet.add(state, image);
    }

    // Open: the combo box with its popup list, composed as on screen, one row hovered.
    {
        QWidget window;
        DoublePopupComboBox *combo = languageCombo(&window);
        withOpenPopup(combo, [&](ComboPopup *popup) {
            const QList<LanguageItemWidget *> rows = popup->findChildren<LanguageItemWidget *>();
            if (rows.size() > 3)
                enter(rows.at(3));
            QImage image(combo->width(), combo->height() - 1 + popup->height(),
                         QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            combo->render(&painter, QPoint(), QRegion(), QWidget::DrawChildren);
            popup->render(&painter, QPoint(0, combo->height() - 1), QRegion(), QWidget::DrawChildren);
            painter.end();
            save(QStringLiteral("combobox-open"), image);
            sheet.add(QStringLiteral("open, row 3 hovered"), image);
        });
    }

    // Single rows.
    const QStringList rowStates = {"normal", "selected", "hover", "pressed"};
    for (const QString &state : rowStates) {
        QWidget window;
        auto *row = new LanguageItemWidget(
            4, tr(QStringLiteral("German")), Translation::instance()->fontFamily(QStringLiteral("english")),
            QColor("#b884d9"), QColor("#6f2d98"), Qt::white, state == "selected", &window);
        row->setGeometry(0, 0, 230, 40);
        window.show();
        putInState(row, state);
        const QImage image = paintedImage(row);
        save(QStringLiteral("languageitem-%1").arg(state), image);
        sheet.add(QStringLiteral("row %1").arg(state), image);
    }
    save(QStringLiteral("sheet-combobox"), sheet.render());
}

void menuSwitches(const QString &language) {
    GallerySheet sheet(QStringLiteral("MenuSwitch (%1)").arg(language), 3);
    for (const char *state : {"first", "second", "hover-second"}) {
        QWidget window;
        auto *menu = new MenuSwitch(&window);
        menu->setGeometry(0, 0, 270, 160);
        menu->setTextOffsetY(5);
        menu->setItems({QStringLiteral("GENERAL_SETTINGS"), QStringLiteral("LANGUAGE")});
        window.show();
        if (QLatin1String(state) != QLatin1String("first"))
            menu->setSelectedIndex(1);
        if (QLatin1String(state) == QLatin1String("hover-second")) {
            menu->setSelectedIndex(0);
            enter(menu);
            QMouseEvent move(QEvent::MouseMove, QPointF(100, 90), QPointF(menu->mapToGlobal(QPoint(100, 90))),
                             Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(menu, &move);
        }
        const QImage image = paintedImage(menu, QColor("#6f2d98"));
        save(QStringLiteral("menuswitch-%1-%2").arg(state, language.toLower()), image);
        sheet.add(state, image);
    }
    save(QStringLiteral("sheet-menuswitch-%1").arg(language.toLower()), sheet.render());
}

void panels() {
    GallerySheet sheet(QStringLiteral("RoundedWidget, DarkOverlay"), 3);
    for (const char *state : {"default", "language-row", "language-row-hover"}) {
        QWidget window;
        auto *panel = new RoundedWidget(&window);
        panel->setGeometry(0, 0, 260, 70);
        if (QLatin1String(state) != QLatin1String("default")) {
            panel->setColor(QColor("#6f2d98"));
            panel->setRadius(10);
            panel->setHoverColor(QColor("#a981c1"));
            panel->setHoverEnabled(true);
        }
        window.show();
        if (QLatin1String(state) == QLatin1String("language-row-hover"))
            enter(panel);
        const QImage image = paintedImage(panel);
        save(QStringLiteral("roundedwidget-%1").arg(state), image);
        sheet.add(state, image);
    }
    const QImage dimmed = dimmedWindow().scaled(260, 146, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    sheet.add(QStringLiteral("overlay over the window"), dimmed);
    save(QStringLiteral("darkoverlay"), dimmedWindow());
    save(QStringLiteral("sheet-panels"), sheet.render());
}

void confirmDialogs() {
    Translation *catalogue = Translation::instance();
    const int start = catalogue->languageIndex();
    GallerySheet sheet(QStringLiteral("ConfirmDialog in every language"), 4);
    for (int i = 0; i < Translation::LanguageCount; ++i) {
        catalogue->setLanguageIndex(i);
        QWidget window;
        window.resize(windowSize);
        ConfirmDialog dialog(tr(QStringLiteral("EXITING_TIP")), &window);
        dialog.show();
        QApplication::processEvents();
        const QImage alone = dialog.grab().toImage();
        const QString name = Translation::languageNameAt(i).toLower();
        save(QStringLiteral("confirmdialog-%1").arg(name), overDimmedWindow(alone));
        sheet.add(Translation::languageNameAt(i),
                  alone.scaled(alone.size() / 2, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        dialog.hide();
    }
    catalogue->setLanguageIndex(start);
    saveWithDocs(QStringLiteral("sheet-confirmdialog"), QStringLiteral("gallery-confirmdialog-all-languages"),
                 sheet.render());
}

void settingDialogs(const QString &language) {
    const QString suffix = language.toLower();
    QWidget window;
    window.resize(windowSize);
    SettingDialog dialog(&window);
    dialog.show();
    QApplication::processEvents();
    save(QStringLiteral("settingdialog-general-%1").arg(suffix), overDimmedWindow(dialog.grab().toImage()));

    auto *menu = dialog.findChild<MenuSwitch *>(QStringLiteral("menuSwitch"));
    menu->setSelectedIndex(1);
    QApplication::processEvents();
    save(QStringLiteral("settingdialog-language-%1").arg(suffix), overDimmedWindow(dialog.grab().toImage()));

    auto *row = dialog.findChild<RoundedWidget *>(QStringLiteral("languageBg"));
    auto *combo = dialog.findChild<DoublePopupComboBox *>(QStringLiteral("languageComboBox"));
    enter(row);
    withOpenPopup(combo, [&](ComboPopup *popup) {
        QImage image = dialog.grab().toImage();
        QPainter painter(&image);
        popup->render(&painter, combo->mapTo(&dialog, QPoint(0, combo->height() - 1)), QRegion(),
                      QWidget::DrawChildren);
        painter.end();
        save(QStringLiteral("settingdialog-languagelist-%1").arg(suffix), overDimmedWindow(image));
    });
    leave(row);
    dialog.hide();
}

} // namespace

void galleryPictures() {
    Translation *catalogue = Translation::instance();
    imageButtons();
    progressBars();
    panels();
    confirmDialogs();
    for (int language : {1, 5}) {
        catalogue->setLanguageIndex(language);
        const QString name = catalogue->languageName();
        mainButtons(name);
        menuSwitches(name);
        settingDialogs(name);
        if (language == 1)
            comboBoxes();
    }

    catalogue->setLanguageIndex(1);
    qApp->setQuitOnLastWindowClosed(false);
    windowPictures();
    catalogue->setLanguageIndex(1);
}
