#pragma once

#include "widgets/hoverbutton.h"
#include "widgets/repaint.h"

#include <QColor>

#include <array>

// Large pill-shaped action button: an outer and an inner rounded shape and a centred bold
// caption named by a translation key, re-translated on every language change.
class MainButton : public HoverButton {
    Q_OBJECT
public:
    explicit MainButton(QWidget *parent = nullptr);

    // State indices of the colour sets.
    enum State { Normal = 0, Pressed = 1, Disabled = 2, Hovered = 3 };

    void setTextKey(const QString &key);
    QString textKey() const { return catalogueKey; }

    // Four colours each, in state order: normal, pressed, disabled, hovered.
    void setOuterColors(const QColor &normal, const QColor &pressed, const QColor &disabled,
                        const QColor &hovered);
    void setInnerColors(const QColor &normal, const QColor &pressed, const QColor &disabled,
                        const QColor &hovered);
    void setTextColors(const QColor &normal, const QColor &pressed, const QColor &disabled,
                       const QColor &hovered);

    void setTextPixelSize(int pixels) { setAndRepaint(this, textPixelSize, pixels); }
    void setInnerInsetTop(int pixels) { setAndRepaint(this, innerInsetTop, pixels); }
    void setTextOffsetY(int pixels) { setAndRepaint(this, textOffsetY, pixels); }

    int stateIndex() const;

    // Pixel size the caption is drawn at: `textPixelSize`, or smaller when the caption at that size
    // would run into the rounded ends of the inner shape.
    int captionPixelSize() const;

    // Room the caption keeps from the inner shape's rounded ends, on both sides.
    int sidePadding = 12;
    int innerInsetTop = 2;
    int textPixelSize = 47;
    int textOffsetY = 1;

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void languageChanged(QString lan);

private:
    bool captionFits(int pixelSize) const;
    void setColors(QColor (&set)[4], const std::array<QColor, 4> &colors);

    QColor outerColors[4];
    QColor innerColors[4];
    QColor textColors[4];
    QString catalogueKey;
};
