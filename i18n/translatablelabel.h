#pragma once

#include "i18n/labelarg.h"

#include <QColor>
#include <QLabel>
#include <QList>

// A label showing a catalogue key (or a literal pattern) with arguments, painted on one line,
// optionally with an outline; it re-translates itself on every language change.
class TranslatableLabel : public QLabel {
    Q_OBJECT
public:
    explicit TranslatableLabel(QWidget *parent = nullptr);

    void setTextKey(const QString &key, bool keyIsTranslated, bool clearArgs);
    void setArgs(const QList<LabelArg> &args);
    void clearText();

    void setOutlineColor(const QColor &color);
    void setOutlined(bool outlined);
    void setOutlineWidth(int width);

    QString textKey() const { return m_textKey; }
    bool keyIsTranslated() const { return m_keyIsTranslated; }
    QList<LabelArg> args() const { return m_args; }
    QColor outlineColor() const { return m_outlineColor; }
    bool outlined() const { return m_outlined; }
    int outlineWidth() const { return m_outlineWidth; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void onLanguageChanged(QString language);

private:
    void retranslate();

    QString m_textKey;
    bool m_keyIsTranslated = false;
    QList<LabelArg> m_args;
    QColor m_outlineColor = Qt::black;
    bool m_outlined = false;
    int m_outlineWidth = 5;
    int m_textOffsetX = 0;
};
