#pragma once

#include "widgets/repaint.h"

#include <QColor>
#include <QStringList>
#include <QWidget>

class QPropertyAnimation;

// Vertical menu of translated captions separated by lines, one of them selected.
class MenuSwitch : public QWidget {
    Q_OBJECT
    Q_PROPERTY(float selectedPosInterValue READ selectedPosInterValue WRITE setSelectedPosInterValue)
public:
    explicit MenuSwitch(QWidget *parent = nullptr);

    void setItems(const QStringList &keys);
    QStringList itemKeys() const { return items; }
    void setTextOffsetY(int pixels) { setAndRepaint(this, textOffsetY, pixels); }
    int selectedIndex() const { return selectedRow; }
    int hoveredRow() const { return rowUnderMouse; }

    float selectedPosInterValue() const { return selectionPos; }
    void setSelectedPosInterValue(float value) { setAndRepaint(this, selectionPos, value); }
    QPropertyAnimation *selectionAnimation() const { return animation; }

    QSize sizeHint() const override { return QSize(420, 500); }

    // Font of row `row`'s caption: the application font at `fontPointSize`, or a point or two
    // smaller when the caption would run past the end of its separator line.
    QFont captionFont(int row) const;

    int rowHeight = 60;
    int textOffsetY = 0;
    int fontPointSize = 16;
    QColor lineColor{"#b884d9"};
    QColor hoverLineColor{"#ffffff"};
    QColor selectedTextColor{"#ffffff"};
    QColor textColor{"#d395ff"};

signals:
    void menuSelected(int index);

public slots:
    void setSelectedIndex(int index);

private slots:
    void languageChanged(QString lan);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QStringList items;
    int selectedRow = -1;
    int rowUnderMouse = -1;
    float selectionPos = -1;
    QPropertyAnimation *animation;
};
