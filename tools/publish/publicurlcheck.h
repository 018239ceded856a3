#pragma once

#include "core/result.h"

#include <QNetworkAccessManager>
#include <QString>

// Asks for a file through the public URL players use, before any list names it: its size (HEAD) and
// its first and last 64 KiB (byte ranges, as launchers ask for pieces) must be those of the local copy.
// A wrong path or permission on the origin, or a CDN that serves something else, shows here.
class PublicUrlCheck {
public:
    enum class Error { None = 0, Wrong };
    static constexpr qint64 EndBytes = 64 * 1024;

    // base: the URL the file names are appended to ("https://cdn.example/game/").
    explicit PublicUrlCheck(const QString &base);

    // The file of that name, whose local copy is at localPath.
    Result<Error> check(const QString &name, const QString &localPath);

private:
    // status and body (at most limit bytes) of a request; false, with why, when nothing came back.
    bool fetch(const QString &name, const QByteArray &method, const QByteArray &range, qint64 limit,
               int *status, QByteArray *body, qint64 *length, QString *why);

    QString base;
    QNetworkAccessManager network;
};
