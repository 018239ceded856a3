#include "i18n/translatablelabel.h"

#include "i18n/applicationfont.h"
#include "i18n/cataloguefont.h"
#include "i18n/translation.h"

#include <QFontMetrics>
#include <QPainter>

TranslatableLabel::TranslatableLabel(QWidget *parent)
    : QLabel(parent) {
    followCatalogueFont();
    connect(Translation::instance(), SIGNAL(languageChanged(QString)), this,
            SLOT(onLanguageChanged(QString)));
}

void TranslatableLabel::setTextKey(const QString &key, bool keyIsTranslated, bool clearArgs) {
    keyOrPattern = key;
    translateKey = keyIsTranslated;
    if (clearArgs)
        arguments.clear();
    retranslate();
}

void TranslatableLabel::setArgs(const QList<LabelArg> &args) {
    arguments = args;
    retranslate();
}

void TranslatableLabel::clearText() {
    arguments.clear();
    keyOrPattern.clear();
    setText(QString());
}

void TranslatableLabel::setOutlineColor(const QColor &color) {
    outlinePenColor = color;
    if (hasOutline)
        update();
}

void TranslatableLabel::setOutlined(bool outlined) {
    hasOutline = outlined;
    updateGeometry();
    update();
}

void TranslatableLabel::setOutlineWidth(int width) {
    outlinePixels = width;
    updateGeometry();
    update();
}

QSize TranslatableLabel::sizeHint() const {
    QSize size = QLabel::sizeHint();
    if (hasOutline)
        size.rwidth() += 2 * outlinePixels;
    return size;
}

void TranslatableLabel::onLanguageChanged(QString) {
    setFont(withCatalogueFamily(font()));
    retranslate();
}

void TranslatableLabel::retranslate() {
    const QString pattern = translateKey ? Translation::instance()->tr(keyOrPattern) : keyOrPattern;
    setText(substituteArgs(pattern, arguments));
}

void TranslatableLabel::paintEvent(QPaintEvent *) {
    const QString label = text();
    QPainter painter(this);
    const QFont f = withCatalogueFamily(font());
    painter.setFont(f);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);

    const QFontMetrics metrics(f);
    const QRect r = metrics.boundingRect(label);
    const int m = margin();
    const int w = width();
    const int h = height();
    const Qt::Alignment a = alignment();

    int x = 0;
    if (a & Qt::AlignHCenter)
        x = m + (w - m - r.width()) / 2;
    else if (a & Qt::AlignRight)
        x = m + (w - m - r.width());
    else if (a & Qt::AlignLeft)
        x = m;
    x += textOffsetX;

    int y = 0;
    if (a & Qt::AlignTop)
        y = r.height();
    else if (a & Qt::AlignVCenter)
        y = (h + r.height()) / 2 - metrics.descent();
    else if (a & Qt::AlignBottom)
        y = h - r.height();

    if (hasOutline) {
        const int ow = outlinePixels;
        x += ow;
        painter.setPen(outlinePenColor);
        static const int offsets[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                          {1, 0},   {-1, 1}, {0, 1},  {1, 1}};
        for (const auto &d : offsets)
            painter.drawText(x + d[0] * ow, y + d[1] * ow, label);
    }
    painter.setPen(palette().color(palette().currentColorGroup(), QPalette::Text));
    painter.drawText(x, y, label);
}
