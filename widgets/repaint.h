#pragma once

#include <QWidget>

#include <utility>

// The skinned widgets' setters: stores a value the widget paints from and schedules a repaint.
template <typename Field, typename Value>
void setAndRepaint(QWidget *widget, Field &field, Value &&value) {
    field = std::forward<Value>(value);
    widget->update();
}
