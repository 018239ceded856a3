#pragma once

#include "archive/unziparchive.h"
#include "core/filedigest.h"
#include "core/result.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <vector>

// What an archive installed, kept beside the launcher's other files as "<archive>.kestrivane-entries"
// once the archive itself is deleted: for each file its name, size, modification time and the
// BLAKE2b-256 of its bytes. The launcher checks the installed files against it (by size at every
// start, by digest on request) and fetches the archive again when one of them is damaged.
//
// The record is text: "KVEF 1", then "version <the archive's version>", then "index <the digest of
// its entry index as the signed version file listed it, or - for none>", then one line per file,
// "<64 hex digits>\t<size>\t<mtime in ms since the epoch>\t<name>". Names are safe entry names
// (no control characters, so no tab or line feed). Anyone can edit the folder, so a record is read
// with bounds and refused whole when any line is not of this form.
class ExtractedFiles {
public:
    enum class Error {
        None = 0,
        Missing,     // no record
        Malformed,   // not a record this launcher wrote, or too large
        CannotWrite, // the disk refused it
    };

    struct File {
        QString name;
        quint64 size = 0;
        qint64 modifiedMs = 0;
        QByteArray blake2b; // 32 bytes
    };

    static constexpr qint64 MaxRecordBytes = 256 * 1024 * 1024;
    static constexpr int MaxFiles = 1000000;
    static const QLatin1String Suffix;

    static QString recordPath(const QString &folder, const QString &archive);

    // The files an extraction into `folder` installed, with their times as the disk has them now
    // (0 for one whose time is no longer the one it was checked at: it is hashed at the next look).
    // `indexDigest`: the archive's entry index as listed (64 lower-case hex digits), or empty.
    static ExtractedFiles of(const QString &version, const QString &indexDigest,
                             const std::vector<InstalledEntry> &installed, const QString &folder);

    Result<Error> save(const QString &path) const;
    static Result<Error> load(const QString &path, ExtractedFiles *record);
    // The record's text, and the record a text holds (`origin` names it in the reasons).
    QByteArray toBytes() const;
    static Result<Error> fromBytes(const QByteArray &text, ExtractedFiles *record,
                                   const QString &origin = QStringLiteral("record"));
    // Removes the record of `archive`, if there is one.
    static void remove(const QString &folder, const QString &archive);

    // The BLAKE2b-256 of a file, read in blocks of 1 MiB; `progress` as for the MD5.
    static Result<FileDigest::Error> digestOf(const QString &path, QByteArray *digest,
                                              const FileDigest::Progress &progress = FileDigest::Progress());

    const QString &version() const { return archiveVersion; }
    // The listed digest of the entry index of the installed version (empty when it had none): a copy
    // of that index fetched later to repair single entries is checked against it.
    const QString &indexDigest() const { return listedIndex; }
    const QVector<File> &files() const { return installedFiles; }

private:
    QString archiveVersion;
    QString listedIndex;
    QVector<File> installedFiles;
};
