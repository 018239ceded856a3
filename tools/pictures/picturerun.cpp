#include "tools/pictures/picturerun.h"

#include "i18n/translation.h"
#include "widgets/combopopup.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

namespace PictureRun {

QString outDir;
QString docsDir;
int written = 0;
bool failed = false;

namespace {

void saveTo(const QString &dir, const QString &name, const QImage &image) {
    const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
    if (image.isNull() || !QDir().mkpath(QFileInfo(path).path()) || !image.save(path)) {
        qWarning() << "cannot write picture" << path;
        failed = true;
        return;
    }
    ++written;
}

} // namespace

void save(const QString &name, const QImage &image) {
    saveTo(outDir, name, image);
}

void saveWithDocs(const QString &name, const QString &docsName, const QImage &image) {
    save(name, image);
    if (!docsDir.isEmpty())
        saveTo(docsDir, docsName, image);
}

void settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (clock.elapsed() < ms);
}

bool waitUntil(const std::function<bool()> &condition, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QString tr(const QString &key) {
    return Translation::instance()->tr(key);
}

void enter(QWidget *widget) {
    const QPointF pos(2, 2);
    QEnterEvent event(pos, pos, widget->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(widget, &event);
}

void leave(QWidget *widget) {
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(widget, &event);
}

void mouse(QWidget *widget, QEvent::Type type, QPoint pos) {
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

void click(QWidget *widget, QPoint pos) {
    mouse(widget, QEvent::MouseButtonPress, pos);
    mouse(widget, QEvent::MouseButtonRelease, pos);
}

void withOpenPopup(DoublePopupComboBox *combo, const std::function<void(ComboPopup *)> &step) {
    QTimer::singleShot(0, combo, [=] {
        if (auto *popup = qobject_cast<ComboPopup *>(QApplication::activePopupWidget())) {
            step(popup);
            popup->reject();
        } else {
            qWarning() << "combo box popup did not open";
            failed = true;
        }
    });
    click(combo, QPoint(20, 20));
}

QImage composite(QWidget *window, const QList<QPair<QWidget *, QPoint>> &tops) {
    QImage image = window->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    for (const auto &top : tops) {
        const QRegion mask = top.first->mask();
        painter.setClipping(!mask.isEmpty());
        if (!mask.isEmpty())
            painter.setClipRegion(mask.translated(top.second));
        painter.drawImage(top.second, top.first->grab().toImage());
    }
    return image;
}

SettingsControls settingsControls(QWidget *dialog) {
    SettingsControls controls;
    controls.menu = dialog->findChild<MenuSwitch *>(QStringLiteral("menuSwitch"));
    controls.row = dialog->findChild<RoundedWidget *>(QStringLiteral("languageBg"));
    controls.combo = dialog->findChild<DoublePopupComboBox *>(QStringLiteral("languageComboBox"));
    if (!controls.found()) {
        qWarning() << "settings dialog without its menu, language row or combo box";
        failed = true;
    }
    return controls;
}

} // namespace PictureRun
