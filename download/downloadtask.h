#pragma once

#include <QString>
#include <QtGlobal>

// An older copy of a file and the block map of its new version: the blocks the old copy holds are
// taken from it, only the rest is fetched.
struct DeltaSource {
    QString oldCopyPath;   // the installed copy
    QString mapRemotePath; // below cdnBaseUrl, as the file's remotePath
    QString mapDigest;     // as the version file lists it
    qint64 listedSize = 0; // of the new file

    bool isSet() const { return !oldCopyPath.isEmpty(); }
};

// One queued file: where it lies below the CDN base URL and under which name it is stored.
// localName is also the key of the file's entry in VersionTable.
struct DownloadTask {
    DownloadTask(const QString &remotePath, const QString &localName,
                 const DeltaSource &delta = DeltaSource())
        : remotePath(remotePath)
        , localName(localName)
        , delta(delta) {}

    QString remotePath;
    QString localName;
    DeltaSource delta; // none for a plain download
};
