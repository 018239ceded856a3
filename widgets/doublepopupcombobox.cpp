#include "widgets/doublepopupcombobox.h"

#include "i18n/focusmark.h"
#include "i18n/translation.h"
#include "widgets/combopopup.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPointer>

DoublePopupComboBox::DoublePopupComboBox(QWidget *parent)
    : ChoiceWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
}

void DoublePopupComboBox::addItem(const QPair<QString, QString> &item) {
    items.append(item);
    updateGeometry();
    update();
}

void DoublePopupComboBox::setItems(const QList<QPair<QString, QString>> &list) {
    items = list;
    selectedIndex = qBound(0, selectedIndex, qMax(0, int(items.size()) - 1));
    updateGeometry();
    update();
}

void DoublePopupComboBox::setArrowImage(const QString &resourcePath) {
    arrowImage = QPixmap(resourcePath);
    update();
}

void DoublePopupComboBox::setCurrentIndex(int index) {
    if (index == selectedIndex || index < 0 || index >= items.size())
        return;
    selectedIndex = index;
    update();
}

QSize DoublePopupComboBox::minimumSizeHint() const {
    // The list opens as wide as the box. Its rows (40 px high) show each item at 15 pt in the
    // item's own family from x 10, clear of the round marker (40 % of the row, 10 px from the
    // right edge); the box shows the current item at `fontPointSize` in the catalogue's family
    // from `leftMargin`, clear of the arrow (60 % of the box's 40 px, 10 px from the right edge).
    QFont boxFont = font();
    boxFont.setPointSize(fontPointSize);
    const QString family = Translation::instance()->currentFontFamily();
    if (!family.isEmpty())
        boxFont.setFamily(family);
    const QFontMetrics boxMetrics(boxFont);
    int width = 0;
    for (const auto &item : items) {
        QFont rowFont(item.second);
        rowFont.setPointSize(15);
        width = qMax(width, 10 + QFontMetrics(rowFont).horizontalAdvance(item.first) + int(40 * 0.4) + 10);
        width = qMax(width, leftMargin + boxMetrics.horizontalAdvance(item.first) + int(40 * 0.6) + 10);
    }
    return QSize(width + nameGap, 0);
}

void DoublePopupComboBox::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return;
    setPressed(true);
}

void DoublePopupComboBox::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return;
    setPressed(false);
    // An empty list would open an invisible popup that swallows the next click.
    if (rect().contains(event->pos()) && !items.isEmpty())
        runPopup();
}

void DoublePopupComboBox::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (items.isEmpty()) {
        ChoiceWidget::keyPressEvent(event);
        return;
    }
    if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_F4 ||
        (key == Qt::Key_Down && event->modifiers() & Qt::AltModifier)) {
        runPopup();
    } else if (key == Qt::Key_Up || key == Qt::Key_Left) {
        choose(selectedIndex - 1);
    } else if (key == Qt::Key_Down || key == Qt::Key_Right) {
        choose(selectedIndex + 1);
    } else if (key == Qt::Key_Home) {
        choose(0);
    } else if (key == Qt::Key_End) {
        choose(int(items.size()) - 1);
    } else {
        ChoiceWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void DoublePopupComboBox::choose(int index) {
    if (index < 0 || index >= items.size() || index == selectedIndex)
        return;
    selectedIndex = index;
    update();
    emit activated(index);
}

void DoublePopupComboBox::runPopup() {
    QPointer<DoublePopupComboBox> self(this);
    QPointer<ComboPopup> popup = new ComboPopup(width(), items, selectedIndex, popupBackgroundColor,
                                                popupAccentColor, textColor, this);
    popup->move(mapToGlobal(QPoint(0, height() - 1)));
    popupOpen = true;
    update();
    const int result = popup->exec();
    if (!self) // destroyed while the popup ran, the popup with it
        return;
    popupOpen = false;
    const int chosen = popup ? popup->selectedIndex : -1;
    delete popup;
    if (result == QDialog::Accepted)
        choose(chosen);
    update();
}

void DoublePopupComboBox::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);

    const QColor face = pressed ? pressedColor : hovered ? hoverColor : normalColor;
    painter.setPen(Qt::NoPen);
    painter.setBrush(face);
    // While the popup is open the face runs on below the widget, so its bottom corners are
    // cut off square and the face joins the list.
    painter.drawRoundedRect(popupOpen ? rect().adjusted(0, 0, 0, 10) : rect(), 10, 10);

    QFont textFont = font();
    textFont.setPointSize(fontPointSize);
    const QString family = Translation::instance()->currentFontFamily();
    if (!family.isEmpty())
        textFont.setFamily(family);
    painter.setFont(textFont);

    if (selectedIndex >= 0 && selectedIndex < items.size()) {
        const QString text = items.at(selectedIndex).first;
        const QFontMetrics metrics(textFont);
        const QRect bounds = metrics.boundingRect(text);
        const int h = bounds.height() + metrics.descent() - metrics.ascent();
        const int w = bounds.width();
        const int y = (height() + h) / 2;
        int x = 0;
        if (alignment & Qt::AlignLeft)
            x = leftMargin;
        else if (alignment & Qt::AlignHCenter)
            x = (width() - w) / 2;
        else if (alignment & Qt::AlignRight)
            x = width() - w;
        painter.setPen(textColor);
        painter.drawText(x, y, text);
    }

    if (!arrowImage.isNull()) {
        const int s = int(height() * 0.6);
        painter.drawPixmap(QRect(width() - s - 10, (height() - s) / 2, s, s), arrowImage);
    }

    if (popupOpen) {
        painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.drawLine(10, height() - 2, width() - 10, height() - 2);
    } else if (FocusMark::shown(this)) {
        FocusMark::paint(&painter, rect(), 10);
    }
}
