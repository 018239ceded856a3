#include "i18n/focusmark.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QRectF>
#include <QWidget>

namespace FocusMark {

bool shown(const QWidget *widget) {
    // The window keeps this attribute from a focus change by the keyboard until the next click,
    // as the toolkit's own styles use it for their focus frames.
    return widget->hasFocus() && widget->window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void paint(QPainter *painter, const QRectF &rect, double radius) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setOpacity(1.0);
    painter->setBrush(Qt::NoBrush);
    // Light on dark: seen on the title band and on the pale buttons alike.
    const QRectF ring = rect.adjusted(2, 2, -2, -2);
    const double r = qMax(0.0, qMin(radius - 2, qMin(ring.width(), ring.height()) / 2));
    painter->setPen(QPen(QColor("#2e0152"), 4));
    painter->drawRoundedRect(ring, r, r);
    painter->setPen(QPen(QColor("#fff2a8"), 2));
    painter->drawRoundedRect(ring, r, r);
    painter->restore();
}

} // namespace FocusMark
