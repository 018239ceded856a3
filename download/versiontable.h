#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// One line of the version file: name:version:md5:size.
struct RemoteFileInfo {
    QString name;
    QString version;
    QString md5;
    int size = 0;
    // Owned by the download manager while the file is assembled.
    qint32 downloadedBytes = 0;
    QByteArray data;
};

// Process-wide map from file name to its record, ordered by name.
class VersionTable {
public:
    static QMap<QString, RemoteFileInfo> &instance();
    static void release();
    // Whether the map exists (created and not yet released).
    static bool exists();

    // Largest version file accepted from the CDN.
    static constexpr qint64 MaxVersionFileSize = 16 * 1024 * 1024;
    // Largest launcher download accepted when its listed size is 0 or unreadable.
    static constexpr qint64 MaxLauncherFileSize = 512 * 1024 * 1024;

    // Parses one non-empty line; one carriage return at its end is dropped. False when it has
    // fewer than four fields or its name is not one the launcher may create in its directory
    // (FileNameRules::isSafeFileName). A size that is not a decimal number is 0; a negative size is 0.
    static bool parseLine(const QString &line, RemoteFileInfo *out);
    // Parses a whole version file (UTF-8, lines ended by "\n" or "\r\n", empty lines skipped) into table,
    // replacing records of the same name. Stops at the first refused line and returns false with
    // that line in *refusedLine; records of the lines before it stay in the table. A file larger
    // than MaxVersionFileSize is refused as a whole (false, no line).
    static bool parseFile(const QByteArray &bytes, QMap<QString, RemoteFileInfo> *table,
                          QString *refusedLine = nullptr);

    // Version-file text for a set of records ("name:version:md5:size\n" per record).
    static QByteArray format(const QList<RemoteFileInfo> &records);

    // Lower-case hexadecimal MD5 of the data.
    static QString md5Hex(const QByteArray &data);
};
