#include "widgets/imagebutton.h"

#include "i18n/focusmark.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

ImageButton::ImageButton(QWidget *parent)
    : KeepsPlace(parent) {
    faceColors[Normal] = QColor(0, 0, 0, 0);
    faceColors[Pressed] = QColor("#1c0131");
    faceColors[Hovered] = QColor("#5e2888");
}

void ImageButton::setFaceColors(const QColor &normal, const QColor &pressed, const QColor &hovered) {
    faceColors[Normal] = normal;
    faceColors[Pressed] = pressed;
    faceColors[Hovered] = hovered;
    update();
}

void ImageButton::setBaseColors(const QColor &normal, const QColor &pressed, const QColor &hovered) {
    baseColors[Normal] = normal;
    baseColors[Pressed] = pressed;
    baseColors[Hovered] = hovered;
    if (twoLayer)
        update();
}

int ImageButton::stateIndex() const {
    if (isDown())
        return Pressed;
    if (hovered)
        return Hovered;
    return Normal;
}

void ImageButton::setVisible(bool visible) {
    // A hidden button takes no focus either: Tab skips it, and no key can reach it.
    if (!visible && active) {
        focusPolicyWhileActive = focusPolicy();
        setFocusPolicy(Qt::NoFocus);
        if (hasFocus())
            clearFocus();
    } else if (visible && !active) {
        setFocusPolicy(focusPolicyWhileActive);
    }
    if (!visible && isDown())
        setDown(false);
    KeepsPlace::setVisible(visible);
}

void ImageButton::paintEvent(QPaintEvent *) {
    if (!active)
        return;
    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const int i = stateIndex();
    const int r = radiusIsHalfHeight ? height() / 2 : radius;

    auto fill = [&](const QRect &rect, const QColor &color) {
        painter.setBrush(color);
        if (rounded)
            painter.drawRoundedRect(rect, r, r);
        else
            painter.drawRect(rect);
    };

    if (!twoLayer) {
        fill(rect(), faceColors[i]);
    } else {
        QRect shape = rect().adjusted(0, 0, -1, -1);
        fill(shape, baseColors[i]);
        shape.setTop(shape.top() + layerOffset);
        fill(shape, faceColors[i]);
    }

    if (!icon.isNull()) {
        const int s = int(height() * iconScale);
        const QRect target((width() - s) / 2, (height() - s) / 2, s, s);
        if (isDown())
            painter.setOpacity(0.7);
        painter.drawPixmap(target, icon);
    }
    if (FocusMark::shown(this))
        FocusMark::paint(&painter, rect(), rounded ? r : 4);
}

// While inactive the button is not there for the user: mouse buttons and keys go to the parent.
bool ImageButton::event(QEvent *event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        if (!active) {
            event->ignore();
            return false;
        }
        break;
    default:
        break;
    }
    return QPushButton::event(event);
}
