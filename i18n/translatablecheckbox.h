#pragma once

#include <QCheckBox>
#include <QColor>
#include <QPixmap>

// A QCheckBox named by a catalogue key, drawn with the skin's indicator images and white text;
// it re-translates itself on every language change.
class TranslatableCheckBox : public QCheckBox {
    Q_OBJECT
public:
    explicit TranslatableCheckBox(QWidget *parent = nullptr);

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
