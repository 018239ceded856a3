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

    QString textKey() const { return keyOrPattern; }
    bool keyIsTranslated() const { return translateKey; }
    QList<LabelArg> args() const { return arguments; }
    QColor outlineColor() const { return outlinePenColor; }
    bool outlined() const { return hasOutline; }
    int outlineWidth() const { return outlinePixels; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void onLanguageChanged(QString language);

private:
    void retranslate();

    QString keyOrPattern;
    bool translateKey = false;
    QList<LabelArg> arguments;
    QColor outlinePenColor = Qt::black;
    bool hasOutline = false;
    int outlinePixels = 5;
    int textOffsetX = 0;
};
