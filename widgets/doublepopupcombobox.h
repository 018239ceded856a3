#pragma once

#include "widgets/choicewidget.h"
#include "widgets/repaint.h"

#include <QColor>
#include <QList>
#include <QPair>
#include <QPixmap>

// Rounded combo box whose list opens as a frameless ComboPopup directly under it. Each item is a
// (text, font family) pair; the shown text uses the catalogue's current font family.
class DoublePopupComboBox : public ChoiceWidget {
    Q_OBJECT
public:
    explicit DoublePopupComboBox(QWidget *parent = nullptr);

    void addItem(const QPair<QString, QString> &item);
    void addItem(const QString &text, const QString &fontFamily) { addItem(qMakePair(text, fontFamily)); }
    // Replaces the items (texts of another language), keeping the index shown; emits nothing.
    void setItems(const QList<QPair<QString, QString>> &list);
    int count() const { return items.size(); }
    QList<QPair<QString, QString>> itemList() const { return items; }

    void setAlignment(Qt::Alignment flags) { setAndRepaint(this, alignment, flags); }
    void setArrowImage(const QString &resourcePath);
    void setCurrentIndex(int index); // ignored when unchanged or out of range; emits nothing
    int currentIndex() const { return selectedIndex; }
    bool isPopupOpen() const { return popupOpen; }

    QSize sizeHint() const override { return QSize(230, 40); }
    // Wide enough for every item, in the box and in its list.
    QSize minimumSizeHint() const override;

    Qt::Alignment alignment = Qt::AlignHCenter;
    QColor normalColor{"#b884d9"};
    QColor hoverColor{"#d4b5e8"};
    QColor pressedColor{"#9a5ac3"};
    QColor textColor{Qt::white};
    QColor popupBackgroundColor{"#b884d9"};
    QColor popupAccentColor{"#6f2d98"};
    int fontPointSize = 14;
    int leftMargin = 10;
    // Air the box keeps between its longest name and the round marker or the arrow.
    static constexpr int nameGap = 24;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void runPopup();
    // The item `index` becomes the current one, as if chosen in the list.
    void choose(int index);

    QPixmap arrowImage;
    int selectedIndex = 0;
    bool popupOpen = false;
    QList<QPair<QString, QString>> items;
};
