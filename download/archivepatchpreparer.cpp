#include "download/archivepatchpreparer.h"

#include "archive/archivepatchfiles.h"
#include "archive/extractedfiles.h"
#include "core/atomicfile.h"
#include "download/listedfilefetch.h"
#include "patch/zipindex.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThreadPool>

struct ArchivePatchPreparer::Work {
    QByteArray indexBytes;
    Result<ZipIndex::Error> parsed;
    ArchivePatchPlan plan;
    QString failure; // empty when the plan was made and saved
    std::atomic<bool> cancelled{false};
};

ArchivePatchPreparer::ArchivePatchPreparer(const ArchiveSource &source, const QString &archive,
                                           qint64 listedSize, QNetworkAccessManager *network,
                                           QThreadPool *pool, int transferTimeoutMs, QObject *parent)
    : QObject(parent)
    , source(source)
    , archive(archive)
    , listedSize(listedSize)
    , network(network)
    , pool(pool)
    , timeoutMs(transferTimeoutMs) {}

ArchivePatchPreparer::~ArchivePatchPreparer() {
    cancel();
}

void ArchivePatchPreparer::start() {
    fetch = new ListedFileFetch(source.indexRemotePath,
                                QStringLiteral("the entry index %1").arg(source.indexRemotePath),
                                ZipIndex::MaxIndexSize, network, timeoutMs, this);
    fetch->setHosts(cdn);
    connect(fetch, &ListedFileFetch::arrived, this, &ArchivePatchPreparer::indexArrived);
    connect(fetch, &ListedFileFetch::failed, this, &ArchivePatchPreparer::fail);
    fetch->start();
}

void ArchivePatchPreparer::cancel() {
    done = true;
    if (running)
        running->cancelled = true;
    if (fetch)
        fetch->cancel();
}

void ArchivePatchPreparer::fail(const QString &reason) {
    cancel();
    qWarning() << "entry index not used, fetching the whole archive" << archive << reason;
    emit finished(false, reason);
}

void ArchivePatchPreparer::indexArrived(const QByteArray &bytes) {
    if (done)
        return;
    auto work = std::make_shared<Work>();
    work->indexBytes = bytes;
    running = work;
    const ArchiveSource src = source;
    const QString name = archive;
    const qint64 size = listedSize;
    pool->start([this, work, src, name, size] {
        ZipIndex index;
        work->parsed = ZipIndex::parse(work->indexBytes, size, src.indexDigest, &index);
        if (work->parsed.ok()) {
            QElapsedTimer clock;
            clock.start();
            ExtractedFiles record;
            const Result<ExtractedFiles::Error> loaded =
                ExtractedFiles::load(ExtractedFiles::recordPath(src.folder, name), &record);
            if (!loaded.ok() && loaded.code() != ExtractedFiles::Error::Missing)
                record = ExtractedFiles();
            const Result<ArchivePatchPlan::Error> decided = ArchivePatchPlan::decide(
                index, src.indexDigest, record, src.folder, src.distrusted, &work->plan, &work->cancelled);
            qDebug().noquote() << QStringLiteral("decided what to keep of %1 in %2 ms (%3 entries, %4)")
                                      .arg(name)
                                      .arg(clock.elapsed())
                                      .arg(index.entries().size())
                                      .arg(loaded.ok() ? QStringLiteral("with the record")
                                                       : QStringLiteral("every file hashed"));
            if (!decided.ok()) {
                work->failure = decided.reason();
            } else if (!work->plan.worthIt()) {
                work->failure = QStringLiteral("%1 of its %2 bytes changed: the whole archive is cheaper")
                                    .arg(work->plan.fetchBytes())
                                    .arg(size);
            } else {
                const Result<AtomicFile::Error> savedIndex =
                    AtomicFile::write(ArchivePatchFiles::indexPath(src.folder, name), work->indexBytes);
                const Result<AtomicFile::Error> savedPlan =
                    savedIndex.ok() ? AtomicFile::write(ArchivePatchFiles::planPath(src.folder, name),
                                                        work->plan.toBytes())
                                    : savedIndex;
                if (!savedPlan.ok())
                    work->failure = savedPlan.reason();
            }
        }
        work->indexBytes = QByteArray();
        QMetaObject::invokeMethod(
            this, [this, work] { decidedOn(work); }, Qt::QueuedConnection);
    });
}

void ArchivePatchPreparer::decidedOn(const std::shared_ptr<Work> &work) {
    if (done || work != running)
        return;
    running.reset();
    if (work->parsed.code() == ZipIndex::Error::DigestMismatch) {
        fetch->refused(QStringLiteral("the entry index %1 is not usable: %2")
                           .arg(source.indexRemotePath, work->parsed.reason()));
        return;
    }
    fetch->accepted();
    if (!work->parsed.ok()) {
        fail(QStringLiteral("the entry index %1 is not usable: %2")
                 .arg(source.indexRemotePath, work->parsed.reason()));
        return;
    }
    if (!work->failure.isEmpty()) {
        fail(work->failure);
        return;
    }
    decided = work->plan;
    const ArchivePatchPlan::Counts kept = decided.kept(), copied = decided.copied(),
                                   fetched = decided.fetched();
    qDebug().noquote() << QStringLiteral(
                              "updating %1 from its entry index: %2 entries kept, %3 copied, %4 fetched "
                              "(%5 bytes in %6 ranges)")
                              .arg(archive)
                              .arg(kept.entries)
                              .arg(copied.entries)
                              .arg(fetched.entries)
                              .arg(decided.fetchBytes())
                              .arg(decided.spans().size());
    done = true;
    emit finished(true, QString());
}
