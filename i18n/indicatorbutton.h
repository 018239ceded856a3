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
        catalogueKey = key;
        this->setText(Translation::instance()->tr(key));
    }
    QString textKey() const { return catalogueKey; }

    QSize sizeHint() const override {
        const QSize base = Button::sizeHint();
        return QSize(base.width(), int(base.height() * rowHeightFactor));
    }

protected:
    IndicatorButton(QWidget *parent, const QString &checkedImage, const QString &uncheckedImage,
                    double heightFactor)
        : Button(parent)
        , checkedPixmap(checkedImage)
        , uncheckedPixmap(uncheckedImage)
        , rowHeightFactor(heightFactor) {
        followCatalogueFont();
    }

    // The catalogue's font family and the key's text in the current language.
    void retranslate() {
        this->setFont(withCatalogueFamily(this->font()));
        this->setText(Translation::instance()->tr(catalogueKey));
    }

    void paintEvent(QPaintEvent *) override {
        paintIndicatorButton(this, checkedPixmap, uncheckedPixmap, textColor);
    }

private:
    QString catalogueKey;
    QPixmap checkedPixmap;
    QPixmap uncheckedPixmap;
    QColor textColor = Qt::white;
    double rowHeightFactor;
};
