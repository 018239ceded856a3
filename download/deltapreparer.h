#pragma once

#include "download/downloadtask.h"
#include "download/resumerecord.h"
#include "patch/blockmap.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class CdnHosts;
class QNetworkAccessManager;
class ListedFileFetch;
class QThreadPool;

// Gets a file's partial download ready from an older copy: fetches the block map (bounded by
// BlockMap::MaxMapSize, failing after the transfer timeout without a byte) from the first usable
// CDN host, or from the next when that one fails or sends a map that is not the listed one, checks
// it against its digest and scans the old copy on a worker of `pool` (the map's check and index are
// built there too, not on the GUI thread), writing every block found into the
// partial file beside `target`. The record that lists those blocks is saved by the download, after it has
// synced the partial file with its first fetched ranges: killed before, the next run finds a partial
// file without a record and starts over.
// Emits finished() once, unless cancelled; on failure the caller discards the partial file and
// fetches the whole file. Without an old copy in `source` only the map is fetched and checked (the
// pieces that peers send are checked against it).
class DeltaPreparer : public QObject {
    Q_OBJECT
public:
    DeltaPreparer(const DeltaSource &source, const ResumeRecord &fresh, const QString &target,
                  QNetworkAccessManager *network, QThreadPool *pool, int transferTimeoutMs,
                  QObject *parent = nullptr);
    ~DeltaPreparer() override; // cancels

    // The hosts to ask, in their order of use, and to tell how they did (not owned); without them
    // the map comes from cdnBaseUrl. Before start().
    void setHosts(CdnHosts *hosts) { cdn = hosts; }
    void start();
    // Stops the fetch or the scan (the worker ends at its next chunk); nothing is emitted after it.
    void cancel();
    // How far the scan of the old copy is (GUI thread): bytes read, and bytes to read in all.
    qint64 scannedBytes() const;
    qint64 bytesToScan() const;
    // After finished(true): the map, checked against its listed digest.
    std::shared_ptr<const BlockMap> blockMap() const { return checkedMap; }

signals:
    // ok: `record` lists the blocks the old copy gave (in memory: not saved until the file is synced).
    void finished(bool ok, const ResumeRecord &record, const QString &reason);

private:
    struct Scan;
    void mapArrived(const QByteArray &map);
    void fail(const QString &reason);
    bool mapUsable(const std::shared_ptr<Scan> &scan);
    void scanned(const std::shared_ptr<Scan> &scan);

    DeltaSource source;
    ResumeRecord record;
    QString target;
    QNetworkAccessManager *network = nullptr;
    CdnHosts *cdn = nullptr;
    ListedFileFetch *fetch = nullptr;
    QThreadPool *pool = nullptr;
    int timeoutMs = 0;
    std::shared_ptr<Scan> running;
    std::shared_ptr<const BlockMap> checkedMap;
    bool done = false;
};
