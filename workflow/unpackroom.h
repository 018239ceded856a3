#pragma once

#include "trust/versiontable.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class CdnHosts;
class ListedFileFetch;
class QNetworkAccessManager;

// What unpacking the queued archives needs beside their downloads: staging holds an archive and
// the files it unpacks at once. The sizes come from the entry index each archive's line lists,
// fetched from the usable CDN hosts (bounded by ZipIndex::MaxIndexSize) and checked on a worker
// against the listed digest and the archive's listed size. An archive whose index is not listed,
// cannot be had or is refused counts nothing here (its unpacking checks for room when it comes).
// Indexes are fetched one at a time, each once for the object's life.
class UnpackRoom : public QObject {
    Q_OBJECT
public:
    // Archives unpack into `folder`. `hosts` is not owned; none: the index comes from cdnBaseUrl.
    UnpackRoom(const QString &folder, CdnHosts *hosts, int transferTimeoutMs, QObject *parent = nullptr);
    ~UnpackRoom() override;

    // Counts the archives not counted yet; counted() follows, at once when there is none. The
    // indexes of the archives named in `keep` are kept for takeIndex().
    void count(const QList<RemoteFileInfo> &archives, const QSet<QString> &keep);
    bool isCounting() const { return counting; }
    // Stops counting; nothing is emitted after it. What was counted stays.
    void cancel();

    // Bytes the counted archives' entries take unpacked, each in whole blocks of the folder's disk
    // (as the extraction weighs them).
    qint64 unpackedBytes() const;
    // A kept index (checked already), handed over once; empty when none was kept.
    QByteArray takeIndex(const QString &archive) { return kept.take(archive); }
    // An archive counted that needs no unpacking after all (found unpacked on the disk).
    void forget(const QString &archive) {
        unpacked.remove(archive);
        kept.remove(archive);
    }

signals:
    void counted();

private:
    struct Checked;
    void next();
    void arrived(const QByteArray &bytes);
    void checkedOn(const Checked &result);
    void skip(const QString &reason);

    QString folder;
    CdnHosts *hosts = nullptr;
    int timeoutMs = 0;
    QNetworkAccessManager *network = nullptr; // made for the first index
    QList<RemoteFileInfo> waiting;            // the current one first
    QSet<QString> keep;
    QHash<QString, qint64> unpacked; // by archive; 0 where the index was not had
    QHash<QString, QByteArray> kept;
    ListedFileFetch *fetch = nullptr;
    quint64 fetchId = 0; // the fetch a check belongs to: a cancelled one's result is dropped
    bool counting = false;
};
