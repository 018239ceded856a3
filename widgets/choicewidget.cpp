#include "widgets/choicewidget.h"

void ChoiceWidget::enterEvent(QEvent *) {
    hovered = true;
    update();
}

void ChoiceWidget::leaveEvent(QEvent *) {
    hovered = false;
    update();
}
