#include "widgets/roundedwidget.h"

#include <QPainter>

RoundedWidget::RoundedWidget(QWidget *parent)
    : QWidget(parent) {}

void RoundedWidget::setColor(const QColor &color) {
    fillColor = color;
}

void RoundedWidget::setHoverColor(const QColor &color) {
    hoverFillColor = color;
    if (hoverEnabled)
        update();
}

void RoundedWidget::setHoverEnabled(bool enabled) {
    hoverEnabled = enabled;
    if (!enabled)
        hovered = false;
    update();
}

void RoundedWidget::enterEvent(QEvent *) {
    if (!hoverEnabled)
        return;
    hovered = true;
    update();
}

void RoundedWidget::leaveEvent(QEvent *) {
    if (!hoverEnabled)
        return;
    hovered = false;
    update();
}

void RoundedWidget::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(hoverEnabled && hovered ? hoverFillColor : fillColor);
    painter.drawRoundedRect(rect(), cornerRadius, cornerRadius);
}
