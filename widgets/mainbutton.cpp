#include "widgets/mainbutton.h"

#include "i18n/focusmark.h"
#include "i18n/translation.h"
#include "widgets/captionfit.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

MainButton::MainButton(QWidget *parent)
    : HoverButton(parent) {
    setOuterColors(QColor("#94ef78"), QColor("#598f48"), QColor("#7d88be"), QColor("#bff5ae"));
    setInnerColors(QColor("#0fcc00"), QColor("#097a00"), QColor("#586399"), QColor("#6fe066"));
    setTextColors(QColor("#ffffff"), QColor("#999999"), QColor("#d1dafb"), QColor("#ffffff"));
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this, SLOT(languageChanged(QString)));
}

void MainButton::setTextKey(const QString &key) {
    catalogueKey = key;
    setText(Translation::instance()->tr(key));
    update();
}

void MainButton::setColors(QColor (&set)[4], const std::array<QColor, 4> &colors) {
    std::copy(colors.begin(), colors.end(), set); // in state order
    update();
}

void MainButton::setOuterColors(const QColor &normal, const QColor &pressed, const QColor &disabled,
                                const QColor &hovered) {
    setColors(outerColors, {normal, pressed, disabled, hovered});
}

void MainButton::setInnerColors(const QColor &normal, const QColor &pressed, const QColor &disabled,
                                const QColor &hovered) {
    setColors(innerColors, {normal, pressed, disabled, hovered});
}

void MainButton::setTextColors(const QColor &normal, const QColor &pressed, const QColor &disabled,
                               const QColor &hovered) {
    setColors(textColors, {normal, pressed, disabled, hovered});
}

int MainButton::stateIndex() const {
    if (!isEnabled())
        return Disabled;
    if (isDown())
        return Pressed;
    if (hovered)
        return Hovered;
    return Normal;
}

void MainButton::paintEvent(QPaintEvent *) {
    const int i = stateIndex();
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setPen(Qt::NoPen);

    const QRect outer = rect().adjusted(0, 0, -1, -1);
    painter.setBrush(outerColors[i]);
    painter.drawRoundedRect(outer, outer.height() / 2, outer.height() / 2);

    const QRect inner = outer.adjusted(1, innerInsetTop, -1, 0);
    painter.setBrush(innerColors[i]);
    painter.drawRoundedRect(inner, inner.height() / 2, inner.height() / 2);

    QFont captionFont = font();
    captionFont.setWeight(75);
    captionFont.setPixelSize(captionPixelSize());
    painter.setFont(captionFont);
    const QFontMetrics metrics(captionFont);
    const QString caption = text();
    const int w = metrics.boundingRect(caption).width();
    const int h = (metrics.ascent() + metrics.descent()) / 2;
    painter.setPen(textColors[i]);
    painter.drawText((width() - w) / 2, textOffsetY + (height() + h) / 2, caption);
    if (FocusMark::shown(this))
        FocusMark::paint(&painter, rect(), height() / 2.0);
}

namespace {

// Whether the point lies inside the pill (radius half its height) with `margin` pixels to spare.
bool insidePill(const QRectF &pill, QPointF p, qreal margin) {
    const qreal r = pill.height() / 2;
    const qreal cx = qBound(pill.left() + r, p.x(), pill.right() - r);
    const qreal dx = p.x() - cx;
    const qreal dy = p.y() - pill.center().y();
    return dx * dx + dy * dy <= (r - margin) * (r - margin);
}

} // namespace

// Every letter's ink, placed as paintEvent places the caption, lies inside the inner shape with
// 3 pixels to spare, and `sidePadding` more from its rounded ends.
bool MainButton::captionFits(int pixelSize) const {
    QFont captionFont = font();
    captionFont.setWeight(75);
    captionFont.setPixelSize(pixelSize);
    const QFontMetrics metrics(captionFont);
    const QString caption = text();
    const int w = metrics.boundingRect(caption).width();
    const int h = (metrics.ascent() + metrics.descent()) / 2;
    const QPointF origin((width() - w) / 2, textOffsetY + (height() + h) / 2);
    const QRectF inner =
        QRectF(rect().adjusted(0, 0, -1, -1)).adjusted(1 + sidePadding, innerInsetTop, -1 - sidePadding, 0);
    for (int i = 0; i < caption.size(); ++i) {
        if (caption.at(i).isSpace())
            continue;
        const QRectF ink = QRectF(metrics.tightBoundingRect(caption.at(i)))
                               .translated(origin + QPointF(metrics.horizontalAdvance(caption.left(i)), 0));
        for (const QPointF &corner : {ink.topLeft(), ink.topRight(), ink.bottomLeft(), ink.bottomRight()})
            if (!insidePill(inner, corner, 3))
                return false;
    }
    return true;
}

int MainButton::captionPixelSize() const {
    if (text().isEmpty() || width() <= 0 || height() <= 0)
        return textPixelSize;
    return largestFittingSize(textPixelSize, smallestCaptionSize(textPixelSize),
                              [this](int size) { return captionFits(size); });
}

void MainButton::languageChanged(QString) {
    const QString family = Translation::instance()->currentFontFamily();
    if (!family.isEmpty()) {
        QFont f = font();
        f.setFamily(family);
        setFont(f);
    }
    // A caption given as plain text (no key) is left as it is.
    if (!catalogueKey.isEmpty())
        setText(Translation::instance()->tr(catalogueKey));
    update();
}
