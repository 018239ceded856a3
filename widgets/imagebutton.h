#pragma once

#include "widgets/hoverbutton.h"
#include "widgets/keepsplace.h"
#include "widgets/repaint.h"

#include <QColor>
#include <QPixmap>

// Small flat icon button. setVisible(false) keeps its place in the layout: the widget stays
// visible, paints nothing, takes no focus and ignores the mouse and keys until setVisible(true).
class ImageButton : public KeepsPlace<HoverButton> {
    Q_OBJECT
public:
    explicit ImageButton(QWidget *parent = nullptr);

    // State indices of faceColors / baseColors.
    enum State { Normal = 0, Pressed = 1, Hovered = 2 };

    void setFaceColors(const QColor &normal, const QColor &pressed, const QColor &hovered);
    void setBaseColors(const QColor &normal, const QColor &pressed, const QColor &hovered);

    // Setters for the public fields below; each repaints.
    void setIcon(const QPixmap &pixmap) { setAndRepaint(this, icon, pixmap); }
    void setRounded(bool on) { setAndRepaint(this, rounded, on); }
    void setRadius(int pixels) { setAndRepaint(this, radius, pixels); }
    void setTwoLayer(bool on) { setAndRepaint(this, twoLayer, on); }
    void setLayerOffset(int pixels) { setAndRepaint(this, layerOffset, pixels); }
    void setIconScale(float scale) { setAndRepaint(this, iconScale, scale); }
    void setRadiusIsHalfHeight(bool on) { setAndRepaint(this, radiusIsHalfHeight, on); }

    int stateIndex() const;

    void setVisible(bool visible) override;
    QSize sizeHint() const override { return QSize(44, 44); }

    QPixmap icon; // null: no icon
    bool rounded = false;
    int radius = 8;
    bool twoLayer = false;
    int layerOffset = 2;
    float iconScale = 0.8f;
    bool radiusIsHalfHeight = false;

protected:
    // While inactive, mouse buttons and keys are left to the parent.
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    Qt::FocusPolicy focusPolicyWhileActive = Qt::StrongFocus;
    QColor faceColors[3];
    QColor baseColors[3];
};
