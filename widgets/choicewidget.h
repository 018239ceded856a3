#pragma once

#include "widgets/repaint.h"

#include <QWidget>

// The ground the combo box and the rows of its list share: a widget that shows when the mouse is
// over it and while a button is held on it, and reports a choice by index.
class ChoiceWidget : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    bool isHovered() const { return hovered; }
    bool isPressed() const { return pressed; }

signals:
    void activated(int index);

protected:
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void setPressed(bool on) { setAndRepaint(this, pressed, on); }

    bool hovered = false;
    bool pressed = false;
};
