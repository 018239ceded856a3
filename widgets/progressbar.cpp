#include "widgets/progressbar.h"

#include <QPainter>
#include <QPen>
#include <QtMath>

ProgressBar::ProgressBar(QWidget *parent)
    : QWidget(parent) {}

void ProgressBar::setProgress(float percent) {
    if (qIsNaN(percent))
        percent = 0;
    progress = qBound(0.0f, percent, 100.0f);
    update();
}

void ProgressBar::setScale(float factor) {
    setFixedSize(qRound(840 * factor), qRound(35 * factor));
}

void ProgressBar::setRadiusIsHalfHeight(bool on) {
    radiusIsHalfHeight = on;
    update();
}

void ProgressBar::setVisible(bool visible) {
    active = visible;
    QWidget::setVisible(true);
    update();
}

QSize ProgressBar::sizeHint() const {
    return QSize(840, 35);
}

void ProgressBar::paintEvent(QPaintEvent *) {
    if (!active)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRect track = rect().adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth);
    painter.setPen(QPen(borderColor, borderWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(trackColor);
    const qreal trackRadius = radiusIsHalfHeight ? track.height() / 2.0 : outerRadius;
    painter.drawRoundedRect(track, trackRadius, trackRadius);

    QRect fill = track.adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth);
    fill.setWidth(int(fill.width() * progress / 100));
    if (fill.width() <= 0)
        return;
    painter.setPen(Qt::NoPen);
    painter.setBrush(fillColor);
    const qreal fillRadius = radiusIsHalfHeight ? fill.height() / 2.0 : innerRadius;
    painter.drawRoundedRect(fill, fillRadius, fillRadius);
}
