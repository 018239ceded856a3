#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// One line of the version file: name:version:md5:size, and for a file with a block map a fifth field,
// the map's digest (launchers that know no maps read the first four fields only).
struct RemoteFileInfo {
    QString name;
    QString version;
    QString md5;
    qint64 size = 0;
    // BLAKE2b-256 of the file's block map as 64 lower-case hex digits; empty when it has none.
    QString mapDigest;
    // Owned by the download manager while the file is assembled.
    qint64 downloadedBytes = 0;
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
    // Largest size a line may list (1 TiB): the download manager splits a file into pieces up front,
    // so a size near the 64-bit limit would ask for billions of them.
    static constexpr qint64 MaxListedFileSize = Q_INT64_C(1) << 40;

    // Parses one non-empty line; one carriage return at its end is dropped. False when it has
    // fewer than four fields or its name is not one the launcher may create in its directory
    // (FileNameRules::isSafeFileName), or its size is a decimal number above MaxListedFileSize.
    // A size that is not a decimal number is 0; a negative size is 0. A fifth field that is a map
    // digest (BlockMap::isDigest) is the mapDigest; any other fifth field, and fields after it, are
    // ignored, so a file written for newer launchers still reads.
    static bool parseLine(const QString &line, RemoteFileInfo *out);
    // The size field of a line: a decimal number (optional sign, digits only) in 0..MaxListedFileSize
    // is the size, a negative number or anything else 0. False for a number above MaxListedFileSize.
    static bool parseSize(const QString &field, qint64 *size);
    // Parses a whole version file (UTF-8, lines ended by "\n" or "\r\n", empty lines skipped) into table,
    // replacing records of the same name. Stops at the first refused line and returns false with
    // that line in *refusedLine; records of the lines before it stay in the table. A file larger
    // than MaxVersionFileSize is refused as a whole (false, no line).
    static bool parseFile(const QByteArray &bytes, QMap<QString, RemoteFileInfo> *table,
                          QString *refusedLine = nullptr);

    // Version-file text for a set of records ("name:version:md5:size\n" per record, with
    // ":<mapDigest>" before the line feed for a record that has one).
    static QByteArray format(const QList<RemoteFileInfo> &records);

    // Lower-case hexadecimal MD5 of the data.
    static QString md5Hex(const QByteArray &data);
};
