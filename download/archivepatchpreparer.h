#pragma once

#include "archive/archivepatchplan.h"
#include "download/downloadtask.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class CdnHosts;
class ListedFileFetch;
class QNetworkAccessManager;
class QThreadPool;

// Plans the update of an unpacked archive: fetches its entry index (bounded by
// ZipIndex::MaxIndexSize, from the usable CDN hosts in turn), then on a worker of `pool` checks it
// against its listed digest and the archive's listed size, decides against the record of what the
// installed version unpacked which entries are kept, copied or fetched, and saves the index and the
// plan beside the archive. Emits finished() once, unless cancelled; not ok (no index, a refused
// one, or more than half of the archive to fetch): the caller fetches the whole archive.
class ArchivePatchPreparer : public QObject {
    Q_OBJECT
public:
    ArchivePatchPreparer(const ArchiveSource &source, const QString &archive, qint64 listedSize,
                         QNetworkAccessManager *network, QThreadPool *pool, int transferTimeoutMs,
                         QObject *parent = nullptr);
    ~ArchivePatchPreparer() override; // cancels

    // Not owned; before start().
    void setHosts(CdnHosts *hosts) { cdn = hosts; }
    void start();
    // Stops the fetch or the worker (at its next file); nothing is emitted after it.
    void cancel();
    // After finished(true).
    const ArchivePatchPlan &plan() const { return decided; }

signals:
    void finished(bool ok, const QString &reason);

private:
    struct Work;
    void indexArrived(const QByteArray &bytes);
    void decidedOn(const std::shared_ptr<Work> &work);
    void fail(const QString &reason);

    ArchiveSource source;
    QString archive;
    qint64 listedSize = 0;
    QNetworkAccessManager *network = nullptr;
    CdnHosts *cdn = nullptr;
    ListedFileFetch *fetch = nullptr;
    QThreadPool *pool = nullptr;
    int timeoutMs = 0;
    std::shared_ptr<Work> running;
    ArchivePatchPlan decided;
    bool done = false;
};
