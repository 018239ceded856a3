#include "i18n/applicationfont.h"

#include <QApplication>
#include <QFont>

void setApplicationFontFamily(const QString &family) {
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        QApplication::setFont(QFont(family));
    else if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        QGuiApplication::setFont(QFont(family));
}
