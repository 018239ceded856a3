#pragma once

#include <QPushButton>

// A push button that knows whether the pointer is over it, for the hover look of the skinned buttons.
// Hidden with the window (the close button sends it to the tray, the game starts) the pointer leaves
// without a leave event: the hover look must not come back with the window.
class HoverButton : public QPushButton {
public:
    using QPushButton::QPushButton;

    bool isHovered() const { return hovered; }

protected:
    void enterEvent(QEvent *event) override {
        hovered = true;
        update();
        QPushButton::enterEvent(event);
    }
    void leaveEvent(QEvent *event) override {
        hovered = false;
        update();
        QPushButton::leaveEvent(event);
    }
    void hideEvent(QHideEvent *event) override {
        hovered = false;
        QPushButton::hideEvent(event);
    }

    bool hovered = false;
};
