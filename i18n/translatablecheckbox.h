#pragma once

#include "i18n/indicatorbutton.h"

#include <QCheckBox>

// A QCheckBox named by a catalogue key, drawn with the skin's check indicator images and white text;
// it re-translates itself on every language change.
class TranslatableCheckBox : public IndicatorButton<QCheckBox> {
    Q_OBJECT
public:
    explicit TranslatableCheckBox(QWidget *parent = nullptr);

public slots:
    void languageChanged(QString lan);
};
