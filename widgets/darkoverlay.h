#pragma once

#include <QWidget>

// Translucent black sheet that a window lays over itself while a modal dialog is open.
// The owner sizes, raises, shows and hides it.
class DarkOverlay : public QWidget {
    Q_OBJECT
public:
    explicit DarkOverlay(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
