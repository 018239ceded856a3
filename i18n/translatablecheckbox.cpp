#include "i18n/translatablecheckbox.h"

TranslatableCheckBox::TranslatableCheckBox(QWidget *parent)
    : IndicatorButton(parent, QStringLiteral(":/images/images/check_button_checked.png"),
                      QStringLiteral(":/images/images/check_button_unchecked.png"), 2.0) {
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this, SLOT(languageChanged(QString)));
}

void TranslatableCheckBox::languageChanged(QString) {
    retranslate();
}
