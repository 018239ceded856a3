#include "tools/pictures/captioncheck.h"

#include "i18n/cataloguefont.h"
#include "i18n/translatablecheckbox.h"
#include "i18n/translatablelabel.h"
#include "i18n/translatableradiobutton.h"
#include "i18n/translation.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/mainbutton.h"
#include "widgets/menuswitch.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>

namespace {

// Width the painted text covers from its drawing position. The advance, not the bounding
// rectangle: with a synthesised bold face (the CJK font has none) the rectangle grows by a pixel
// or so per glyph although the ink does not.
int textWidth(const QFontMetrics &metrics, const QString &text) {
    return metrics.horizontalAdvance(text);
}

// Whether the point lies inside the pill (a rounded rectangle whose radius is half its height)
// with `margin` pixels to spare.
bool insidePill(const QRectF &pill, QPointF p, qreal margin) {
    const qreal r = pill.height() / 2;
    const qreal cy = pill.center().y();
    qreal cx = p.x();
    if (p.x() < pill.left() + r)
        cx = pill.left() + r;
    else if (p.x() > pill.right() - r)
        cx = pill.right() - r;
    const qreal dx = p.x() - cx;
    const qreal dy = p.y() - cy;
    return dx * dx + dy * dy <= (r - margin) * (r - margin);
}

// The arrow picture of a combo box: a square of 60 % of its height, 10 px from the right edge.
int arrowRoom(QWidget *combo) {
    return int(combo->height() * 0.6) + 10;
}

QString shortName(QWidget *widget) {
    const QString name = widget->objectName();
    return name.isEmpty() ? QString::fromLatin1(widget->metaObject()->className()) : name;
}

} // namespace

void CaptionCheck::check(QWidget *root, const QString &where) {
    if (!root->isVisible())
        return;
    checkOne(root, where);
    for (QWidget *child : root->findChildren<QWidget *>()) {
        if (child->isVisibleTo(root) && child->window() == root->window())
            checkOne(child, where);
    }
}

void CaptionCheck::fits(const QString &where, QWidget *widget, const QString &text, int need, int room,
                        int needHeight, int roomHeight) {
    ++m_checked;
    if (need > room)
        m_problems << QStringLiteral("%1: %2 \"%3\" needs %4 px, has %5")
                          .arg(where, shortName(widget), text)
                          .arg(need)
                          .arg(room);
    if (needHeight > roomHeight)
        m_problems << QStringLiteral("%1: %2 \"%3\" needs %4 px of height, has %5")
                          .arg(where, shortName(widget), text)
                          .arg(needHeight)
                          .arg(roomHeight);
}

void CaptionCheck::inkInside(const QString &where, QWidget *widget, const QString &text,
                             const QFontMetrics &metrics, QPoint baseline, int halo) {
    ++m_checked;
    // The letters' own ink, accents and descenders included. The outline's halo may touch the
    // edge: it is a pixel or two of the outline colour, drawn over a background of the same tone.
    Q_UNUSED(halo);
    const QRect ink = metrics.tightBoundingRect(text).translated(baseline);
    if (ink.top() < 0 || ink.bottom() >= widget->height())
        m_problems << QStringLiteral("%1: %2 \"%3\" is cut off at the %4: its ink spans rows %5 to %6 of %7")
                          .arg(where, shortName(widget), text,
                               ink.top() < 0 ? QStringLiteral("top") : QStringLiteral("bottom"))
                          .arg(ink.top())
                          .arg(ink.bottom())
                          .arg(widget->height());
}

void CaptionCheck::checkOne(QWidget *widget, const QString &where) {
    if (auto *label = qobject_cast<TranslatableLabel *>(widget)) {
        // One line placed as the label paints it, in the catalogue's family: from the margin
        // (plus the outline) at the left, baseline from the bounding rectangle's height.
        const QString text = label->text();
        if (text.isEmpty())
            return;
        const QFont font = withCatalogueFamily(label->font());
        const QFontMetrics metrics(font);
        const int outline = label->outlined() ? label->outlineWidth() : 0;
        const int m = label->margin();
        const int w = label->width();
        const int h = label->height();
        const int boxWidth = metrics.boundingRect(text).width();
        const int boxHeight = metrics.boundingRect(text).height();
        const Qt::Alignment a = label->alignment();
        int x = 0;
        if (a & Qt::AlignHCenter)
            x = m + (w - m - boxWidth) / 2;
        else if (a & Qt::AlignRight)
            x = m + (w - m - boxWidth);
        else if (a & Qt::AlignLeft)
            x = m;
        int y = 0;
        if (a & Qt::AlignTop)
            y = boxHeight;
        else if (a & Qt::AlignVCenter)
            y = (h + boxHeight) / 2 - metrics.descent();
        else if (a & Qt::AlignBottom)
            y = h - boxHeight;
        fits(where, label, text, x + 2 * outline + textWidth(metrics, text), w);
        inkInside(where, label, text, metrics, QPoint(x + outline, y), outline);
        return;
    }
    if (auto *button = qobject_cast<MainButton *>(widget)) {
        // Bold caption placed as the button paints it (at the size it draws it, which may be below
        // its own when the caption is long); the ink box of every character must lie inside the
        // inner pill with 3 px to spare, and the button's side padding more from its rounded ends.
        const QString text = button->text();
        if (text.isEmpty())
            return;
        QFont font = button->font();
        font.setWeight(75);
        font.setPixelSize(button->captionPixelSize());
        const QFontMetrics metrics(font);
        const int h = (metrics.ascent() + metrics.descent()) / 2;
        const qreal left = (button->width() - metrics.boundingRect(text).width()) / 2;
        const qreal baseline = button->textOffsetY + (button->height() + h) / 2;
        const QRectF outer = QRectF(button->rect().adjusted(0, 0, -1, -1));
        const QRectF inner =
            outer.adjusted(1 + button->sidePadding, button->innerInsetTop, -1 - button->sidePadding, 0);
        QString outside;
        for (int i = 0; i < text.size() && outside.isEmpty(); ++i) {
            if (text.at(i).isSpace())
                continue;
            const QRectF ink = QRectF(metrics.tightBoundingRect(text.at(i)))
                                   .translated(left + metrics.horizontalAdvance(text.left(i)), baseline);
            for (const QPointF &corner :
                 {ink.topLeft(), ink.topRight(), ink.bottomLeft(), ink.bottomRight()}) {
                if (!insidePill(inner, corner, 3)) {
                    outside = text.at(i);
                    break;
                }
            }
        }
        ++m_checked;
        if (!outside.isEmpty())
            m_problems << QStringLiteral(
                              "%1: %2 \"%3\" (%4 px wide) runs into the rounded ends of its %5 x %6 "
                              "button at \"%7\"")
                              .arg(where, shortName(button), text)
                              .arg(metrics.horizontalAdvance(text))
                              .arg(button->width())
                              .arg(button->height())
                              .arg(outside);
        return;
    }
    if (auto *menu = qobject_cast<MenuSwitch *>(widget)) {
        // Rows drawn from x 30 in the font the menu gives each; the row's line ends 30 px before
        // the right edge.
        const QStringList keys = menu->itemKeys();
        for (int row = 0; row < keys.size(); ++row) {
            const QString text = Translation::instance()->tr(keys.at(row));
            fits(where, menu, text, 30 + textWidth(QFontMetrics(menu->captionFont(row)), text),
                 menu->width() - 30);
        }
        return;
    }
    if (auto *combo = qobject_cast<DoublePopupComboBox *>(widget)) {
        // The current item from the left margin, clear of the arrow at the right.
        const auto items = combo->itemList();
        const int index = combo->currentIndex();
        if (index < 0 || index >= items.size())
            return;
        QFont font = combo->font();
        font.setPointSize(combo->fontPointSize);
        const QString family = Translation::instance()->currentFontFamily();
        if (!family.isEmpty())
            font.setFamily(family);
        const QFontMetrics metrics(font);
        const QString text = items.at(index).first;
        fits(where, combo, text, combo->leftMargin + textWidth(metrics, text),
             combo->width() - arrowRoom(combo));
        // The rows of its list: each language in its own family at 15 pt from x 10, clear of the
        // round marker (40 % of the 40 px row, 10 px from the right edge) by the box's name gap.
        for (const auto &item : items) {
            QFont rowFont(item.second);
            rowFont.setPointSize(15);
            const int marker = int(40 * 0.4) + 10;
            fits(where + QStringLiteral(" (language list)"), combo, item.first,
                 10 + textWidth(QFontMetrics(rowFont), item.first) + DoublePopupComboBox::nameGap,
                 combo->width() - marker);
        }
        return;
    }
    if (qobject_cast<TranslatableCheckBox *>(widget) || qobject_cast<TranslatableRadioButton *>(widget)) {
        // Indicator picture, 5 px, then the text in the button's font, its baseline halfway
        // between the bounding height less half the ascent and the widget's height.
        auto *button = static_cast<QAbstractButton *>(widget);
        const QString text = button->text();
        if (text.isEmpty())
            return;
        const bool radio = qobject_cast<TranslatableRadioButton *>(widget) != nullptr;
        const QPixmap indicator(radio ? QStringLiteral(":/images/images/radio_button_checked.png")
                                      : QStringLiteral(":/images/images/check_button_checked.png"));
        const QFontMetrics metrics(button->font());
        const int x = indicator.width() + 5;
        fits(where, button, text, x + textWidth(metrics, text), button->width());
        const int h = metrics.boundingRect(text).height() - metrics.ascent() / 2;
        inkInside(where, button, text, metrics, QPoint(x, (h + button->height()) / 2), 0);
        return;
    }
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        if (label->text().isEmpty())
            return;
        if (label->wordWrap()) {
            fits(where, label, label->text().left(40), 0, 0, label->heightForWidth(label->width()),
                 label->height());
        } else {
            const QSize hint = label->sizeHint();
            fits(where, label, label->text().left(40), hint.width(), label->width(), hint.height(),
                 label->height());
        }
        return;
    }
    if (qobject_cast<QPushButton *>(widget) || qobject_cast<QCheckBox *>(widget) ||
        qobject_cast<QRadioButton *>(widget)) {
        // Platform-styled controls: the style's own size for the text.
        auto *button = static_cast<QAbstractButton *>(widget);
        if (button->text().isEmpty())
            return;
        fits(where, button, button->text(), button->sizeHint().width(), button->width());
    }
}
