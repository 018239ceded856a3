#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

// Reads a multipart/form-data body the way a server would, for checking what was sent.
struct FormPart {
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

QByteArray multipartBoundary(const QByteArray &contentType); // empty when there is none
// Parts in order; ok is false when the body does not follow the format.
QList<FormPart> parseMultipart(const QByteArray &body, const QByteArray &boundary, bool *ok);
