#pragma once

#include <QObject>
#include <QString>

// The signal side of the catalogue. It lives in a base class so that Translation itself carries no
// Q_OBJECT: that macro's static QObject::tr(const char *) would otherwise win over the catalogue's
// tr(const QString &) for every call with a string literal.
class TranslationSignals : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    // Emitted while a language loads, before its texts, when the language's font role has a family:
    // the widget layer makes it the application font (see followCatalogueFont()).
    void fontFamilyChanged(QString family);

    // Emitted after every successful language switch, once the new texts and font are in place.
    void languageChanged(QString language);
};
