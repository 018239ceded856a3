#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Writes a deflated zip archive with the given entries (name, bytes), in order.
bool makeZip(const QString &path, const QList<QPair<QByteArray, QByteArray>> &entries);

// The archive's bytes, written through a temporary file.
QByteArray zipBytes(const QList<QPair<QByteArray, QByteArray>> &entries);
