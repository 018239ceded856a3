#include "i18n/indicatorpainter.h"

#include "i18n/focusmark.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>

void paintIndicatorButton(QAbstractButton *button, const QPixmap &checkedImage, const QPixmap &uncheckedImage,
                          const QColor &textColor) {
    QPainter painter(button);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const int h = button->height();

    // Both images share the checked image's size.
    painter.drawPixmap(0, (h - checkedImage.height()) / 2,
                       button->isChecked() ? checkedImage : uncheckedImage);

    const QString text = button->text();
    const QFontMetrics metrics(button->font());
    const int textHeight = metrics.boundingRect(text).height() - metrics.ascent() / 2;
    painter.setPen(textColor);
    painter.drawText(checkedImage.width() + 5, (textHeight + h) / 2, text);
    if (FocusMark::shown(button))
        FocusMark::paint(&painter, button->rect(), 6);
}
