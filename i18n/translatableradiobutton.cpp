#include "i18n/translatableradiobutton.h"

TranslatableRadioButton::TranslatableRadioButton(QWidget *parent)
    : IndicatorButton(parent, QStringLiteral(":/images/images/radio_button_checked.png"),
                      QStringLiteral(":/images/images/radio_button_unchecked.png"), 1.7) {
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this, SLOT(languageChanged(QString)));
}

void TranslatableRadioButton::languageChanged(QString) {
    retranslate();
}
