#include "widgets/progressbar.h"

#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QtMath>

ProgressBar::ProgressBar(QWidget *parent)
    : KeepsPlace(parent) {}

void ProgressBar::setProgress(float percent) {
    if (qIsNaN(percent))
        percent = 0;
    progress = qBound(0.0f, percent, 100.0f);
    update();
}

void ProgressBar::setScale(float factor) {
    setFixedSize(qRound(840 * factor), qRound(35 * factor));
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

    const QRect inner = track.adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth);
    QRect fill = inner;
    fill.setWidth(int(inner.width() * progress / 100));
    if (fill.width() <= 0)
        return;
    painter.setPen(Qt::NoPen);
    painter.setBrush(fillColor);
    const qreal fillRadius = radiusIsHalfHeight ? fill.height() / 2.0 : innerRadius;
    if (fill.width() >= 2 * fillRadius) {
        painter.drawRoundedRect(fill, fillRadius, fillRadius);
        return;
    }
    // A fill narrower than its corners would stick out over the track's rounded end: keep it
    // inside the shape a full bar would have.
    QPainterPath fillShape;
    fillShape.addRoundedRect(fill, fillRadius, fillRadius);
    QPainterPath fullShape;
    fullShape.addRoundedRect(inner, fillRadius, fillRadius);
    painter.drawPath(fillShape.intersected(fullShape));
}
