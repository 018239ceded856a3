#pragma once

#include <QString>
#include <QStringList>

class QFontMetrics;
class QPoint;
class QWidget;

// Measures every visible caption of a widget tree in the font its widget paints it with and
// records each one that is cut off or runs past its widget (or past the part of the widget meant
// for text, such as the straight middle of a pill-shaped button).
class CaptionCheck {
public:
    // Checks root and its visible descendants; `where` prefixes every problem (language, screen).
    void check(QWidget *root, const QString &where);

    int checkedCount() const { return m_checked; }
    QStringList problems() const { return m_problems; }

private:
    void checkOne(QWidget *widget, const QString &where);
    void fits(const QString &where, QWidget *widget, const QString &text, int need, int room,
              int needHeight = 0, int roomHeight = 0);
    void inkInside(const QString &where, QWidget *widget, const QString &text, const QFontMetrics &metrics,
                   QPoint baseline, int halo);

    int m_checked = 0;
    QStringList m_problems;
};
