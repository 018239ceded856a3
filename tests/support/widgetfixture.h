#pragma once

// Helpers shared by the skinned-widget tests (widgets, look, and the window tests' fonts): a catalogue with
// the real fonts and texts whose settings live in a temporary directory, and pixel access to what a widget
// paints.

#include "i18n/applicationfont.h"
#include "i18n/translation.h"
#include "platform/platform.h"

#include <QApplication>
#include <QColor>
#include <QEnterEvent>
#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

namespace WidgetFixture {

// Registers the two shipped fonts as the catalogue's families and lets the application font
// follow the language, as main does.
inline void setUpFonts() {
    const int cjk = QFontDatabase::addApplicationFont(":/font/font/FZY4K.TTF");
    const int latin = QFontDatabase::addApplicationFont(":/font/font/Neuron Heavy.otf");
    Translation *catalogue = Translation::instance();
    followCatalogueFont();
    catalogue->setFontFamily("default", QFont().defaultFamily());
    catalogue->setFontFamily("chinese", QFontDatabase::applicationFontFamilies(cjk).value(0));
    catalogue->setFontFamily("english", QFontDatabase::applicationFontFamilies(latin).value(0));
}

// Points the launcher directory (settings.ini) and the autostart folder at `dir`, registers the
// two fonts and loads the stored (or system) language as start-up does.
inline void setUpCatalogue(const QTemporaryDir &dir) {
    Platform::setLauncherDirOverride(dir.path());
    qputenv("XDG_CONFIG_HOME", dir.filePath("xdg").toUtf8());
    setUpFonts();
    Translation::instance()->loadLanguage();
}

// The catalogue's text for a key (a plain literal would pick QObject::tr instead).
inline QString catalogueText(const QString &key) {
    return Translation::instance()->tr(key);
}

// What the widget itself paints, over a fully transparent image (no window background).
inline QImage paintedImage(QWidget *widget) {
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

inline bool sameColor(const QColor &a, const QColor &b, int tolerance = 2) {
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

inline QString describe(const QColor &c) {
    return c.name(QColor::HexArgb);
}

inline void enter(QWidget *widget, QPoint pos = QPoint(2, 2)) {
    QEnterEvent event(pos, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
}

inline void leave(QWidget *widget) {
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(widget, &event);
}

// A mouse move without buttons, delivered to the widget as the window would after tracking.
inline void moveMouse(QWidget *widget, QPoint pos) {
    QMouseEvent event(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Counts paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget *widget)
        : QObject(widget) {
        widget->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

} // namespace WidgetFixture

// Base of the widget tests: the catalogue with the real fonts and its settings in a temporary
// folder (initTestCase), and each test starting from English (init).
class CatalogueTest : public QObject {
    Q_OBJECT

protected:
    QTemporaryDir dir;

protected slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        WidgetFixture::setUpCatalogue(dir);
    }
    void init() { Translation::instance()->setLanguageIndex(1); }
};

#define QCOMPARE_COLOR(actual, expected)                                                                     \
    do {                                                                                                     \
        const QColor a_ = (actual);                                                                          \
        const QColor e_ = (expected);                                                                        \
        if (!WidgetFixture::sameColor(a_, e_))                                                               \
            QFAIL(qPrintable(QString("colour %1, expected %2")                                               \
                                 .arg(WidgetFixture::describe(a_), WidgetFixture::describe(e_))));           \
    } while (0)
