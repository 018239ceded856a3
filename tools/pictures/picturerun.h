#pragma once

#include <QEvent>
#include <QImage>
#include <QList>
#include <QPair>
#include <QPoint>
#include <QString>

#include <functional>

class ComboPopup;
class DoublePopupComboBox;
class MenuSwitch;
class QWidget;
class RoundedWidget;

// What the two modes of the picture tool share: where the pictures go, whether anything failed, and
// the small steps of driving widgets by hand on the offscreen platform.
namespace PictureRun {

extern QString outDir;
extern QString docsDir; // empty: no documentation pictures
extern int written;
extern bool failed;

// Writes OUTDIR/<name>.png (name may hold a subfolder); a failure is logged and sets `failed`.
void save(const QString &name, const QImage &image);
// A picture that also belongs in the project's documentation, as DOCS/<docsName>.png.
void saveWithDocs(const QString &name, const QString &docsName, const QImage &image);
// Lets events run at least once, and for `ms` milliseconds (animations, deferred layouts).
void settle(int ms = 0);
bool waitUntil(const std::function<bool()> &condition, int ms);
QString tr(const QString &key);
void enter(QWidget *widget);
void leave(QWidget *widget);
void mouse(QWidget *widget, QEvent::Type type, QPoint pos);
void click(QWidget *widget, QPoint pos);
// Clicks the combo box and hands the open popup to `step` while it runs; closes it afterwards.
void withOpenPopup(DoublePopupComboBox *combo, const std::function<void(ComboPopup *)> &step);
// The window with top-level widgets drawn over it at the given places (window coordinates), each
// cut to its window mask as a desktop cuts it (grab() does not).
QImage composite(QWidget *window, const QList<QPair<QWidget *, QPoint>> &tops);

// The settings dialog's controls the pictures drive, found by their object names.
struct SettingsControls {
    MenuSwitch *menu = nullptr;
    RoundedWidget *row = nullptr; // the language row
    DoublePopupComboBox *combo = nullptr;
    bool found() const { return menu && row && combo; }
};
// Logs and sets `failed` when one is missing.
SettingsControls settingsControls(QWidget *dialog);

} // namespace PictureRun
