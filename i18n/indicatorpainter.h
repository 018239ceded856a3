#pragma once

class QAbstractButton;
class QColor;
class QPixmap;

// The painting shared by the translatable check box and radio button: the indicator image at the
// left, vertically centred, then the text in textColor 5 pixels after the image's width.
void paintIndicatorButton(QAbstractButton *button, const QPixmap &checkedImage, const QPixmap &uncheckedImage,
                          const QColor &textColor);
