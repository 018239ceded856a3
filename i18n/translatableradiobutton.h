#pragma once

#include <QColor>
#include <QPixmap>
#include <QRadioButton>

// A QRadioButton named by a catalogue key, drawn with the skin's indicator images and white text;
// it re-translates itself on every language change.
class TranslatableRadioButton : public QRadioButton {
    Q_OBJECT
public:
    explicit TranslatableRadioButton(QWidget *parent = nullptr);

    void setTextKey(const QString &key);
    QString textKey() const { return m_textKey; }

    QSize sizeHint() const override;

public slots:
    void languageChanged(QString lan);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_textKey;
    QPixmap m_checkedImage;
    QPixmap m_uncheckedImage;
    QColor m_textColor;
};
