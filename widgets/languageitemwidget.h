#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

// One row of the combo box popup: its text in its own font family and a round selection marker.
class LanguageItemWidget : public QWidget {
    Q_OBJECT
public:
    LanguageItemWidget(int index, const QString &text, const QString &fontFamily,
                       const QColor &backgroundColor, const QColor &accentColor, const QColor &textColor,
                       bool selected, QWidget *parent = nullptr);

    int itemIndex() const { return index; }
    bool isSelected() const { return selected; }
    bool isHovered() const { return hovered; }
    bool isPressed() const { return pressed; }

signals:
    void activated(int index);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEvent *event) override;
    void leaveEvent(QEvent *event) override;

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
    bool hovered = false;
    bool pressed = false;
    QPoint pressPosition;
};
