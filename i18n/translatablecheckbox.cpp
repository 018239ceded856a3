#include "i18n/translatablecheckbox.h"

#include "i18n/applicationfont.h"
#include "i18n/cataloguefont.h"
#include "i18n/indicatorpainter.h"
#include "i18n/translation.h"

TranslatableCheckBox::TranslatableCheckBox(QWidget *parent)
    : QCheckBox(parent)
    , m_checkedImage(QStringLiteral(":/images/images/check_button_checked.png"))
    , m_uncheckedImage(QStringLiteral(":/images/images/check_button_unchecked.png"))
    , m_textColor(Qt::white) {
    followCatalogueFont();
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this, SLOT(languageChanged(QString)));
}

void TranslatableCheckBox::setTextKey(const QString &key) {
    m_textKey = key;
    setText(Translation::instance()->tr(key));
}

QSize TranslatableCheckBox::sizeHint() const {
    const QSize base = QCheckBox::sizeHint();
    return QSize(base.width(), base.height() * 2);
}

void TranslatableCheckBox::languageChanged(QString) {
    setFont(withCatalogueFamily(font()));
    setText(Translation::instance()->tr(m_textKey));
}

void TranslatableCheckBox::paintEvent(QPaintEvent *) {
    paintIndicatorButton(this, m_checkedImage, m_uncheckedImage, m_textColor);
}
