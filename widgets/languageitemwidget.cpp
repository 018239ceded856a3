#include "widgets/languageitemwidget.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>

LanguageItemWidget::LanguageItemWidget(int index, const QString &text, const QString &fontFamily,
                                       const QColor &backgroundColor, const QColor &accentColor,
                                       const QColor &textColor, bool selected, QWidget *parent)
    : ChoiceWidget(parent)
    , index(index)
    , text(text)
    , fontFamily(fontFamily)
    , backgroundColor(backgroundColor)
    , accentColor(accentColor)
    , textColor(textColor)
    , selected(selected) {}

void LanguageItemWidget::setMarked(bool on) {
    marked = on;
    update();
}

void LanguageItemWidget::mousePressEvent(QMouseEvent *event) {
    pressPosition = event->pos();
    setPressed(true);
}

void LanguageItemWidget::mouseReleaseEvent(QMouseEvent *event) {
    // A drag across the list is not a choice.
    if ((event->pos() - pressPosition).manhattanLength() < 10)
        emit activated(index);
    setPressed(false);
}

void LanguageItemWidget::renderImage() {
    if (image.size() != size())
        image = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(pressed ? pressedBackgroundColor : backgroundColor);

    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    QFont itemFont(fontFamily);
    itemFont.setPointSize(fontPointSize);
    painter.setFont(itemFont);
    const QFontMetrics metrics(itemFont);
    const int h = metrics.boundingRect(text).height() - metrics.descent();
    painter.setPen(pressed ? pressedTextColor : textColor);
    painter.drawText(10, (height() + h) / 2, text);

    const int d = int(height() * 0.4);
    const QRect marker(width() - d - 10, (height() - d) / 2, d, d);
    painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(marker);
    painter.setPen(Qt::NoPen);
    painter.setBrush(selected ? accentColor : backgroundColor);
    painter.drawEllipse(marker.adjusted(1, 1, -1, -1));
}

void LanguageItemWidget::paintEvent(QPaintEvent *) {
    if (width() <= 0 || height() <= 0)
        return;
    renderImage();
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (hovered || marked) {
        painter.fillRect(rect(), accentColor);
        painter.drawImage(rect().adjusted(4, 2, -4, -2), image);
    } else {
        painter.drawImage(rect(), image);
    }
}
