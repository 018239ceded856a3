#pragma once

class QPainter;
class QRectF;
class QWidget;

// The skin's keyboard focus mark, drawn by each control itself (the painted controls draw no
// style frame): a light ring, shown only while the widget has the focus and the keyboard moved it
// there (Tab), not after a click.
namespace FocusMark {

bool shown(const QWidget *widget);
// A ring just inside rect with corners of the given radius.
void paint(QPainter *painter, const QRectF &rect, double radius);

} // namespace FocusMark
