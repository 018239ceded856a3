#include "tools/pictures/gallerysheet.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QVector>
#include <QWidget>

GallerySheet::GallerySheet(const QString &title, int columns, const QColor &backdrop)
    : title(title)
    , columns(qMax(1, columns))
    , backdrop(backdrop) {}

void GallerySheet::add(const QString &caption, const QImage &picture) {
    pictures.append(qMakePair(caption, picture));
}

QImage GallerySheet::render() const {
    const int margin = 16;
    const int captionHeight = 22;
    const int titleHeight = 36;
    QFont captionFont("DejaVu Sans");
    captionFont.setPixelSize(13);
    const QFontMetrics metrics(captionFont);

    // Columns as wide as their widest cell, rows as high as their highest picture.
    const int rows = (pictures.size() + columns - 1) / columns;
    QVector<int> columnWidth(columns, 0);
    QVector<int> rowHeight(rows, 0);
    for (int i = 0; i < pictures.size(); ++i) {
        const auto &entry = pictures.at(i);
        columnWidth[i % columns] = qMax(columnWidth[i % columns],
                                        qMax(entry.second.width(), metrics.horizontalAdvance(entry.first)));
        rowHeight[i / columns] = qMax(rowHeight[i / columns], entry.second.height());
    }
    QVector<int> columnX(columns, margin);
    for (int c = 1; c < columns; ++c)
        columnX[c] = columnX[c - 1] + columnWidth[c - 1] + (columnWidth[c - 1] > 0 ? margin : 0);
    QVector<int> rowY(rows, titleHeight);
    for (int r = 1; r < rows; ++r)
        rowY[r] = rowY[r - 1] + captionHeight + rowHeight[r - 1] + margin;
    const int width = qMax(columnX.last() + columnWidth.last() + margin, 320);
    const int height = rows > 0 ? rowY.last() + captionHeight + rowHeight.last() + margin : titleHeight;

    QImage sheet(width, height, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(backdrop);
    QPainter painter(&sheet);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont titleFont("DejaVu Sans");
    titleFont.setPixelSize(18);
    titleFont.setBold(true);
    painter.setFont(titleFont);
    painter.setPen(Qt::white);
    painter.drawText(margin, 26, title);
    painter.setFont(captionFont);
    for (int i = 0; i < pictures.size(); ++i) {
        const int x = columnX[i % columns];
        const int y = rowY[i / columns];
        painter.setPen(QColor("#e8d8f4"));
        painter.drawText(x, y + 15, pictures.at(i).first);
        painter.drawImage(x, y + captionHeight, pictures.at(i).second);
    }
    return sheet;
}

QImage paintedImage(QWidget *widget, const QColor &backdrop) {
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(backdrop);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}
