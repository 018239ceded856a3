#pragma once

#include "widgets/repaint.h"

#include <QColor>
#include <QWidget>

// Plain rounded, filled panel; optionally lights up in hoverColor under the mouse.
class RoundedWidget : public QWidget {
    Q_OBJECT
public:
    explicit RoundedWidget(QWidget *parent = nullptr);

    void setColor(const QColor &color); // takes effect at the next repaint
    void setRadius(int pixels) { setAndRepaint(this, cornerRadius, pixels); }
    void setHoverColor(const QColor &color);
    void setHoverEnabled(bool enabled);

    QColor color() const { return fillColor; }
    QColor hoverColor() const { return hoverFillColor; }
    int radius() const { return cornerRadius; }
    bool isHoverEnabled() const { return hoverEnabled; }
    bool isHovered() const { return hovered; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    int cornerRadius = 20;
    bool hoverEnabled = false;
    bool hovered = false;
    QColor fillColor{"#571481"};
    QColor hoverFillColor;
};
