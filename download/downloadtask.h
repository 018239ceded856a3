#pragma once

#include "trust/versiontable.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <limits>

// An older copy of a file and the block map of its new version: the blocks the old copy holds are
// taken from it, only the rest is fetched. The map alone (no old copy) is fetched only while peers
// are among the hosts.
struct DeltaSource {
    QString oldCopyPath;   // the installed copy
    QString mapRemotePath; // below cdnBaseUrl, as the file's remotePath
    QString mapDigest;     // as the version file lists it
    qint64 listedSize = 0; // of the new file

    bool isSet() const { return !oldCopyPath.isEmpty(); }
    // Without an old copy, the map still lets pieces come from peers: each is checked against it.
    bool hasMap() const { return !mapRemotePath.isEmpty() && !mapDigest.isEmpty(); }
};

// A range of the remote file fetched into the place `local` of the file that is stored.
struct RemoteSpan {
    qint64 offset = 0;
    qint64 length = 0;
    qint64 local = 0;
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

    // Once spans of the file are planned: they are fetched one after another into a file of their
    // own, listed as `spansListed` (their size; the plan's id for a digest, as the caller checks
    // their content itself).
    QVector<RemoteSpan> spans;
    QString spansPath; // the file they are fetched into
    RemoteFileInfo spansListed;
    qint64 savedBytes = 0; // of the listed file: bytes that need not be fetched

    bool fetchesSpans() const { return !spans.isEmpty(); }
    // Where byte `local` of the stored file lies in the remote file.
    qint64 remoteOffset(qint64 local) const {
        if (spans.isEmpty())
            return local;
        const RemoteSpan &s = spans.at(spanAt(local));
        return s.offset + (local - s.local);
    }
    // Where the span holding byte `local` ends in the stored file (exclusive): no request crosses it.
    qint64 spanEnd(qint64 local) const {
        if (spans.isEmpty())
            return std::numeric_limits<qint64>::max();
        const RemoteSpan &s = spans.at(spanAt(local));
        return s.local + s.length;
    }

private:
    int spanAt(qint64 local) const {
        int lo = 0, hi = int(spans.size()) - 1;
        while (lo < hi) {
            const int mid = (lo + hi + 1) / 2;
            if (spans.at(mid).local <= local)
                lo = mid;
            else
                hi = mid - 1;
        }
        return lo;
    }
};
