#pragma once

#include "i18n/applicationfont.h"
#include "i18n/cataloguefont.h"
#include "i18n/indicatorpainter.h"
#include "i18n/translation.h"

#include <QColor>
#include <QPixmap>
#include <QSize>
#include <QString>

class QPaintEvent;
class QWidget;

// What the translatable check box and radio button share, over their Qt button class: a text named
// by a catalogue key, the indicator drawn from two of the skin's images with the text in white
// (paintIndicatorButton), and a row taller than the style's by `heightFactor`. The subclass connects
// the catalogue's languageChanged to its own slot, which calls retranslate().
template <typename Button>
class IndicatorButton : public Button {
public:
    void setTextKey(const QString &key) {
        m_textKey = key;
        this->setText(Translation::instance()->tr(key));
    }
    QString textKey() const { return m_textKey; }

    QSize sizeHint() const override {
        const QSize base = Button::sizeHint();
        return QSize(base.width(), int(base.height() * m_heightFactor));
    }

protected:
    IndicatorButton(QWidget *parent, const QString &checkedImage, const QString &uncheckedImage,
                    double heightFactor)
        : Button(parent)
        , m_checkedImage(checkedImage)
        , m_uncheckedImage(uncheckedImage)
        , m_heightFactor(heightFactor) {
        followCatalogueFont();
    }

    // The catalogue's font family and the key's text in the current language.
    void retranslate() {
        this->setFont(withCatalogueFamily(this->font()));
        this->setText(Translation::instance()->tr(m_textKey));
    }

    void paintEvent(QPaintEvent *) override {
        paintIndicatorButton(this, m_checkedImage, m_uncheckedImage, m_textColor);
    }

private:
    QString m_textKey;
    QPixmap m_checkedImage;
    QPixmap m_uncheckedImage;
    QColor m_textColor = Qt::white;
    double m_heightFactor;
};
