#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPair>
#include <QString>

class QWidget;

// A contact sheet: captioned pictures laid out in rows over a backdrop, written as one PNG.
class GallerySheet {
public:
    GallerySheet(const QString &title, int columns, const QColor &backdrop = QColor("#3a0d5c"));

    void add(const QString &caption, const QImage &picture);
    QImage render() const;

private:
    QString title;
    int columns;
    QColor backdrop;
    QList<QPair<QString, QImage>> pictures;
};

// What a widget paints, over a transparent image (window background left out), or over `backdrop`.
QImage paintedImage(QWidget *widget, const QColor &backdrop = Qt::transparent);
