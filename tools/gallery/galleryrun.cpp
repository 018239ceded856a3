#include "galleryrun.h"

#include "i18n/translation.h"
#include "widgets/combopopup.h"
#include "widgets/doublepopupcombobox.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QTimer>

namespace GalleryRun {

QString outDir;
QString docsDir;
int written = 0;
bool failed = false;

namespace {

void saveTo(const QString &dir, const QString &name, const QImage &image) {
    const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
    if (image.isNull() || !image.save(path)) {
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
        saveTo(docsDir, QStringLiteral("gallery-") + docsName, image);
}

void settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
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
    mouse(combo, QEvent::MouseButtonPress, QPoint(20, 20));
    mouse(combo, QEvent::MouseButtonRelease, QPoint(20, 20));
}

} // namespace GalleryRun
