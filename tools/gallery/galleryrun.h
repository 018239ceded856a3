#pragma once

#include <QEvent>
#include <QImage>
#include <QPoint>
#include <QString>

#include <functional>

class ComboPopup;
class DoublePopupComboBox;
class QWidget;

// What the parts of the gallery share: where the pictures go, whether anything failed, and the
// small steps of driving widgets by hand on the offscreen platform.
namespace GalleryRun {

extern QString outDir;
extern QString docsDir; // empty: no documentation pictures
extern int written;
extern bool failed;

void save(const QString &name, const QImage &image);
// A picture that also belongs in the project's documentation, as "gallery-<docsName>".
void saveWithDocs(const QString &name, const QString &docsName, const QImage &image);
// Lets events run for `ms` milliseconds (animations, deferred layouts).
void settle(int ms = 100);
bool waitUntil(const std::function<bool()> &condition, int ms);
QString tr(const QString &key);
void enter(QWidget *widget);
void leave(QWidget *widget);
void mouse(QWidget *widget, QEvent::Type type, QPoint pos);
// Clicks the combo box and hands the open popup to `step` while it runs; closes it afterwards.
void withOpenPopup(DoublePopupComboBox *combo, const std::function<void(ComboPopup *)> &step);

} // namespace GalleryRun
