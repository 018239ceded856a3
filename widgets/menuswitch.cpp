#include "widgets/menuswitch.h"

#include "i18n/focusmark.h"
#include "i18n/translation.h"
#include "widgets/captionfit.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPropertyAnimation>

MenuSwitch::MenuSwitch(QWidget *parent)
    : QWidget(parent)
    , animation(new QPropertyAnimation(this, "selectedPosInterValue", this)) {
    animation->setDuration(200);
    setFocusPolicy(Qt::StrongFocus);
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this, SLOT(languageChanged(QString)));
}

void MenuSwitch::setItems(const QStringList &keys) {
    if (keys != items)
        items = keys;
    if (!keys.isEmpty()) {
        animation->stop();
        selectedRow = 0;
        selectionPos = 0;
    }
    update();
}

QFont MenuSwitch::captionFont(int row) const {
    QFont font = QApplication::font();
    font.setPointSize(fontPointSize);
    if (row < 0 || row >= items.size())
        return font;
    const QString caption = Translation::instance()->tr(items.at(row));
    // From x 30 to the line's end, 30 pixels before the right edge.
    const int room = width() - 60;
    font.setPointSize(largestFittingSize(fontPointSize, smallestCaptionSize(fontPointSize), [&](int size) {
        QFont f = font;
        f.setPointSize(size);
        return QFontMetrics(f).horizontalAdvance(caption) <= room;
    }));
    return font;
}

void MenuSwitch::setSelectedIndex(int index) {
    if (index < 0 || index >= items.size() || index == selectedRow)
        return;
    selectedRow = index;
    emit menuSelected(index);
    if (animation->state() != QAbstractAnimation::Stopped)
        animation->stop();
    animation->setStartValue(selectionPos);
    animation->setEndValue(float(index));
    animation->start();
}

void MenuSwitch::languageChanged(QString) {
    update();
}

void MenuSwitch::mousePressEvent(QMouseEvent *event) {
    if (rowHeight > 0)
        setSelectedIndex(event->pos().y() / rowHeight);
}

void MenuSwitch::keyPressEvent(QKeyEvent *event) {
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Left:
        setSelectedIndex(selectedRow - 1);
        break;
    case Qt::Key_Down:
    case Qt::Key_Right:
        setSelectedIndex(selectedRow + 1);
        break;
    case Qt::Key_Home:
        setSelectedIndex(0);
        break;
    case Qt::Key_End:
        setSelectedIndex(int(items.size()) - 1);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void MenuSwitch::mouseMoveEvent(QMouseEvent *event) {
    if (rowHeight <= 0)
        return;
    const int row = event->pos().y() / rowHeight;
    if (row != rowUnderMouse) {
        rowUnderMouse = row;
        update();
    }
}

void MenuSwitch::enterEvent(QEvent *) {
    setMouseTracking(true);
}

void MenuSwitch::leaveEvent(QEvent *) {
    setMouseTracking(false);
    rowUnderMouse = -1;
    update();
}

void MenuSwitch::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    QFont rowFont = QApplication::font();
    rowFont.setPointSize(fontPointSize);
    // Rows share the baseline rule of the menu's own size, also when one caption is smaller.
    const QFontMetrics metrics(rowFont);
    Translation *catalogue = Translation::instance();

    for (int i = 0; i < items.size(); ++i) {
        const int baseline = textOffsetY + metrics.ascent() / 2 + i * rowHeight + rowHeight / 2;
        painter.setFont(captionFont(i));
        painter.setPen(i == selectedRow ? selectedTextColor : textColor);
        painter.drawText(30, baseline, catalogue->tr(items.at(i)));

        const QColor line = i == rowUnderMouse ? hoverLineColor : lineColor;
        painter.setPen(QPen(line, 2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        const int y = (i + 1) * rowHeight;
        painter.drawLine(30, y, width() - 30, y);
    }
    if (FocusMark::shown(this) && selectedRow >= 0)
        FocusMark::paint(&painter, QRectF(18, selectedRow * rowHeight + 4, width() - 36, rowHeight - 6), 10);
}
