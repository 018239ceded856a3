#include "i18n/applicationfont.h"

#include <QApplication>
#include <QFont>

void setApplicationFont(const QFont &font) {
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        QApplication::setFont(font);
    else if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        QGuiApplication::setFont(font);
}
