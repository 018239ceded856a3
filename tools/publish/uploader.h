#pragma once

#include "core/result.h"
#include "tools/publish/rcloneremote.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Copies a published CDN folder to its origins (rclone remotes) in an order no launcher can trip
// over, each step finishing on every origin before the next starts:
//   the versioned files the lists name, with their block maps and entry indexes, that an origin lacks;
//   the signatures named by the lists' digests;
//   (with a public URL) every new file is asked for through it before any list goes up;
//   the coming list's signatures, the revocations, the coming list;
//   the version file's signatures, and the version file last.
// Names that change in place are copied every time; a versioned name an origin holds with other
// bytes stops the upload. Nothing is deleted on an origin, so running it again goes on where it
// stopped.
class Uploader {
public:
    enum class Error { None = 0, Failed };

    Uploader(const QString &cdnDir, const QString &versionFile, const QStringList &remotes);
    // The public URL players use; empty for no check.
    void setCheckUrl(const QString &base) { checkBase = base; }
    // Files this run wrote: one of these that an origin holds already is compared byte for byte.
    void setNewFiles(const QStringList &names) { newFiles = names; }

    // lines: what was uploaded, for the output.
    Result<Error> run(QStringList *lines);

private:
    // The versioned files (with maps and indexes) named by the list in the folder; false when it
    // cannot be read.
    bool namedFiles(const QString &list, QStringList *names, QString *why) const;
    QStringList digestSignatures(const QString &list) const;
    Result<Error> checkVersioned(const RcloneRemote &remote, const QMap<QString, RcloneRemote::Entry> &there,
                                 const QStringList &names, QStringList *missing) const;
    Result<Error> uploadEverywhere(const QStringList &names, const char *header, QStringList *lines);
    QString localPath(const QString &name) const;

    QString cdn;
    QString versionFile;
    QList<RcloneRemote> remotes;
    QString checkBase;
    QStringList newFiles;
};
