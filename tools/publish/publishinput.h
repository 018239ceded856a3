#pragma once

#include "trust/versiontable.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTextStream>

// What kv-publish reads before it writes anything: its arguments, manifest and the version file in
// place, with the messages about them on its standard streams.
namespace PublishInput {

QTextStream &err();
QTextStream &out();

// One file to publish, as the arguments name it and as it is found.
struct Entry {
    QString name;
    QString version;
    QString source;
    QString target;
    qint64 size = 0;
    bool alreadyInPlace = false;
    QString md5InPlace; // of the published copy, when alreadyInPlace
};

// A name or version the launcher takes as a file name part and a field of the version file.
bool safeField(const QString &text);
// "name=version" appended to entries; false, with a message naming `where`, for other text.
bool parseAssignment(const QString &text, QList<Entry> *entries, const QString &where);
bool readLines(const QString &path, const char *what, qint64 maxSize, const char *tooLarge,
               QStringList *lines);
bool readManifest(const QString &path, QList<Entry> *entries);
// MD5 of a file; empty, with the reason on stderr, when it cannot be read.
QString fileMd5(const QString &path);
// Existing records of the version file; false when a line cannot be read back.
bool readVersionFile(const QString &path, QMap<QString, RemoteFileInfo> *records);

} // namespace PublishInput
