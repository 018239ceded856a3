#include "workflow/unpackroom.h"

#include "core/diskroom.h"
#include "download/cappednetworkaccess.h"
#include "download/listedfilefetch.h"
#include "patch/zipindex.h"
#include "workflow/poolfuture.h"

#include <QDebug>
#include <QFutureWatcher>

struct UnpackRoom::Checked {
    quint64 id = 0;
    Result<ZipIndex::Error> parsed;
    qint64 unpackedSize = 0;
    QByteArray bytes; // for an index kept
};

UnpackRoom::UnpackRoom(const QString &folder, CdnHosts *hosts, int transferTimeoutMs, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , hosts(hosts)
    , timeoutMs(transferTimeoutMs) {}

UnpackRoom::~UnpackRoom() {
    cancel();
}

void UnpackRoom::count(const QList<RemoteFileInfo> &archives, const QSet<QString> &keepIndex) {
    if (counting)
        return;
    waiting.clear();
    for (const RemoteFileInfo &e : archives) {
        if (!unpacked.contains(e.name))
            waiting.append(e);
    }
    keep = keepIndex;
    counting = true;
    next();
}

void UnpackRoom::cancel() {
    counting = false;
    waiting.clear();
    ++fetchId;
    delete fetch;
    fetch = nullptr;
}

qint64 UnpackRoom::unpackedBytes() const {
    qint64 sum = 0;
    for (qint64 bytes : unpacked)
        sum += bytes;
    return sum;
}

void UnpackRoom::next() {
    if (!counting)
        return;
    delete fetch;
    fetch = nullptr;
    while (!waiting.isEmpty()) {
        const RemoteFileInfo &e = waiting.first();
        if (!e.mapDigest.isEmpty() && ZipIndex::wantsIndex(e.name))
            break;
        qDebug().noquote() << "no entry index listed, unpacking not counted before fetching: " + e.name;
        unpacked.insert(e.name, 0);
        waiting.removeFirst();
    }
    if (waiting.isEmpty()) {
        counting = false;
        emit counted();
        return;
    }
    const RemoteFileInfo &e = waiting.first();
    const QString remotePath =
        QStringLiteral("v%1_%2%3").arg(e.version, e.name, QLatin1String(ZipIndex::RemoteSuffix));
    if (!network)
        network = new CappedNetworkAccess(this); // keeps to the download cap like the pieces
    fetch = new ListedFileFetch(remotePath, QStringLiteral("the entry index %1").arg(remotePath),
                                ZipIndex::MaxIndexSize, network, timeoutMs, this);
    fetch->setHosts(hosts);
    connect(fetch, &ListedFileFetch::arrived, this, &UnpackRoom::arrived);
    connect(fetch, &ListedFileFetch::failed, this, &UnpackRoom::skip);
    ++fetchId;
    fetch->start();
}

void UnpackRoom::arrived(const QByteArray &bytes) {
    const RemoteFileInfo e = waiting.first();
    const bool keepBytes = keep.contains(e.name);
    const quint64 id = fetchId;
    auto *watcher = new QFutureWatcher<Checked>(this);
    connect(watcher, &QFutureWatcher<Checked>::finished, this, [this, watcher] {
        watcher->deleteLater();
        checkedOn(watcher->result());
    });
    // Reading an index of thousands of entries and hashing it is no work for the GUI thread.
    watcher->setFuture(PoolFuture::run([bytes, e, keepBytes, id, dir = folder] {
        Checked c;
        c.id = id;
        ZipIndex index;
        c.parsed = ZipIndex::parse(bytes, e.size, e.mapDigest, &index);
        if (!c.parsed.ok())
            return c;
        const qint64 block = DiskRoom::blockSize(dir);
        for (const ZipIndex::Entry &entry : index.entries())
            c.unpackedSize += DiskRoom::onDisk(entry.size, block);
        if (keepBytes)
            c.bytes = bytes;
        return c;
    }));
}

void UnpackRoom::checkedOn(const Checked &result) {
    if (!counting || result.id != fetchId || !fetch)
        return;
    const QString name = waiting.first().name;
    const QString why =
        QStringLiteral("the entry index of %1 is not usable: %2").arg(name, result.parsed.reason());
    if (result.parsed.code() == ZipIndex::Error::DigestMismatch) {
        // The host served other bytes than listed: the next one is asked.
        fetch->refused(why);
        return;
    }
    fetch->accepted();
    if (!result.parsed.ok()) {
        skip(why);
        return;
    }
    unpacked.insert(name, result.unpackedSize);
    if (!result.bytes.isEmpty())
        kept.insert(name, result.bytes);
    waiting.removeFirst();
    next();
}

void UnpackRoom::skip(const QString &reason) {
    qWarning().noquote() << "unpacking not counted before fetching:" << waiting.first().name << "-" << reason;
    unpacked.insert(waiting.first().name, 0);
    waiting.removeFirst();
    // Not from inside the fetch's own signal.
    QMetaObject::invokeMethod(this, &UnpackRoom::next, Qt::QueuedConnection);
}
