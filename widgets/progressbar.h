#pragma once

#include "widgets/keepsplace.h"
#include "widgets/repaint.h"

#include <QColor>
#include <QWidget>

// Rounded download progress bar. setVisible(false) keeps its place in the layout and only
// stops painting.
class ProgressBar : public KeepsPlace<QWidget> {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent = nullptr);

    void setProgress(float percent); // clamped to 0..100
    float progressValue() const { return progress; }
    void setScale(float factor); // fixed size 840 x 35 times factor, each side rounded
    void setRadiusIsHalfHeight(bool on) { setAndRepaint(this, radiusIsHalfHeight, on); }

    QSize sizeHint() const override { return QSize(840, 35); }

    int borderWidth = 2;
    int outerRadius = 6;
    int innerRadius = 5;
    QColor borderColor{"#a855db"};
    QColor trackColor{"#b3290140"};
    QColor fillColor{"#6dff60"};
    bool radiusIsHalfHeight = false;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    float progress = 0;
};
