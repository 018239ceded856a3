#include "i18n/translatableradiobutton.h"

#include "i18n/applicationfont.h"
#include "i18n/cataloguefont.h"
#include "i18n/indicatorpainter.h"
#include "i18n/translation.h"

TranslatableRadioButton::TranslatableRadioButton(QWidget *parent)
    : QRadioButton(parent)
    , m_checkedImage(QStringLiteral(":/images/images/radio_button_checked.png"))
    , m_uncheckedImage(QStringLiteral(":/images/images/radio_button_unchecked.png"))
    , m_textColor(Qt::white) {
    followCatalogueFont();
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this, SLOT(languageChanged(QString)));
}

void TranslatableRadioButton::setTextKey(const QString &key) {
    m_textKey = key;
    setText(Translation::instance()->tr(key));
}

QSize TranslatableRadioButton::sizeHint() const {
    const QSize base = QRadioButton::sizeHint();
    return QSize(base.width(), int(base.height() * 1.7));
}

void TranslatableRadioButton::languageChanged(QString) {
    setFont(withCatalogueFamily(font()));
    setText(Translation::instance()->tr(m_textKey));
}

void TranslatableRadioButton::paintEvent(QPaintEvent *) {
    paintIndicatorButton(this, m_checkedImage, m_uncheckedImage, m_textColor);
}
