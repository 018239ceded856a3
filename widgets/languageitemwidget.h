#pragma once

#include "widgets/choicewidget.h"

#include <QColor>
#include <QImage>
#include <QPoint>

// One row of the combo box popup: its text in its own font family and a round selection marker.
class LanguageItemWidget : public ChoiceWidget {
    Q_OBJECT
public:
    LanguageItemWidget(int index, const QString &text, const QString &fontFamily,
                       const QColor &backgroundColor, const QColor &accentColor, const QColor &textColor,
                       bool selected, QWidget *parent = nullptr);

    int itemIndex() const { return index; }
    bool isSelected() const { return selected; }
    // The row the arrow keys rest on: it looks as under the mouse.
    void setMarked(bool on);
    bool isMarked() const { return marked; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void renderImage();

    int index;
    int fontPointSize = 15;
    QString text;
    QString fontFamily;
    QColor backgroundColor;
    QColor pressedBackgroundColor{"#9a5ac3"};
    QColor accentColor;
    QColor textColor;
    QColor pressedTextColor{"#4c136f"};
    QImage image;
    bool selected;
    bool marked = false;
    QPoint pressPosition;
};
