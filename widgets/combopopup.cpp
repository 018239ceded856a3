#include "widgets/combopopup.h"

#include "widgets/languageitemwidget.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

ComboPopup::ComboPopup(int width, const QList<QPair<QString, QString>> &items, int currentIndex,
                       const QColor &backgroundColor, const QColor &accentColor, const QColor &textColor,
                       QWidget *parent)
    : QDialog(parent, Qt::Popup | Qt::FramelessWindowHint)
    , backgroundColor(backgroundColor) {
    setFixedSize(width, items.size() * RowHeight);

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    for (int row = 0; row < items.size(); ++row) {
        auto *item = new LanguageItemWidget(row, items.at(row).first, items.at(row).second, backgroundColor,
                                            accentColor, textColor, row == currentIndex, this);
        layout->addWidget(item);
        rows.append(item);
        connect(item, SIGNAL(activated(int)), this, SLOT(onActivated(int)));
    }

    // Round bottom corners only: the rounded shape starts 10 pixels above the popup.
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect().adjusted(0, -10, 0, 0)), 10, 10);
    setMask(QRegion(shape.toFillPolygon().toPolygon()));
    // The arrows start from the current row; it shows marked only once they move.
    markedRow = currentIndex;
}

void ComboPopup::markRow(int row) {
    if (row < 0 || row >= rows.size())
        return;
    if (markedRow >= 0 && markedRow < rows.size())
        rows.at(markedRow)->setMarked(false);
    markedRow = row;
    rows.at(row)->setMarked(true);
}

void ComboPopup::keyPressEvent(QKeyEvent *event) {
    switch (event->key()) {
    case Qt::Key_Up:
        markRow(markedRow - 1);
        break;
    case Qt::Key_Down:
        markRow(markedRow + 1);
        break;
    case Qt::Key_Home:
        markRow(0);
        break;
    case Qt::Key_End:
        markRow(int(rows.size()) - 1);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (markedRow >= 0)
            onActivated(markedRow);
        break;
    default:
        QDialog::keyPressEvent(event); // Escape closes without a choice
        return;
    }
    event->accept();
}

void ComboPopup::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), backgroundColor);
}

void ComboPopup::onActivated(int id) {
    selectedIndex = id;
    accept();
}
