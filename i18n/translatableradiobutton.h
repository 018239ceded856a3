#pragma once

#include "i18n/indicatorbutton.h"

#include <QRadioButton>

// A QRadioButton named by a catalogue key, drawn with the skin's radio indicator images and white text;
// it re-translates itself on every language change.
class TranslatableRadioButton : public IndicatorButton<QRadioButton> {
    Q_OBJECT
public:
    explicit TranslatableRadioButton(QWidget *parent = nullptr);

public slots:
    void languageChanged(QString lan);
};
