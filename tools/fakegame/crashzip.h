#pragma once

#include <QByteArray>
#include <QString>

// A minimal valid zip archive: one stored entry.
class CrashZip {
public:
    static QByteArray build(const QString &entryName, const QByteArray &content);
};
