#pragma once

#include <QWidget>

// The convention of the icon button and the progress bar: setVisible(false) keeps the widget
// visible in its place in the layout and only clears `active`; an inactive widget paints nothing.
template <typename Base>
class KeepsPlace : public Base {
public:
    using Base::Base;

    bool isActive() const { return active; }

    void setVisible(bool visible) override {
        active = visible;
        // Only a child keeps its place; a top-level one really hides (close() must close it).
        Base::setVisible(this->isWindow() ? visible : true);
        this->update();
    }

protected:
    bool active = true;
};
