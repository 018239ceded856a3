#include "widgets/darkoverlay.h"

#include <QPainter>

DarkOverlay::DarkOverlay(QWidget *parent)
    : QWidget(parent) {}

void DarkOverlay::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 200));
}
