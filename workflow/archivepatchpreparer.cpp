#include "workflow/archivepatchpreparer.h"

#include "archive/archivepatchfiles.h"
#include "archive/extractedfiles.h"
#include "core/atomicfile.h"
#include "download/listedfilefetch.h"
#include "download/resumerecord.h"
#include "patch/zipindex.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

struct ArchivePatchPreparer::Work {
    QByteArray indexBytes;
    Result<ZipIndex::Error> parsed;
    ArchivePatchPlan plan;
    QString failure; // empty when the plan was made and saved
    std::atomic<bool> cancelled{false};
};

ArchivePatchPreparer::ArchivePatchPreparer(const ArchiveSource &source, QObject *parent)
    : SpanPlanner(parent)
    , source(source) {}

ArchivePatchPreparer::~ArchivePatchPreparer() {
    cancel();
}

bool ArchivePatchPreparer::start(const RemoteFileInfo &listed, const Means &means) {
    if (source.indexDigest != listed.mapDigest || !ZipIndex::wantsIndex(listed.name)) {
        qWarning() << "entry index not used, fetching the whole archive" << listed.name
                   << "the index digest is not the one listed";
        return false;
    }
    archive = listed.name;
    version = listed.version;
    listedSize = listed.size;
    lent = means;
    if (!given.isEmpty()) {
        const QByteArray bytes = given;
        given.clear();
        indexArrived(bytes);
        return true;
    }
    fetch = new ListedFileFetch(source.indexRemotePath,
                                QStringLiteral("the entry index %1").arg(source.indexRemotePath),
                                ZipIndex::MaxIndexSize, lent.network, lent.transferTimeoutMs, this);
    fetch->setHosts(lent.hosts);
    connect(fetch, &ListedFileFetch::arrived, this, &ArchivePatchPreparer::indexArrived);
    connect(fetch, &ListedFileFetch::failed, this, &ArchivePatchPreparer::fail);
    fetch->start();
    return true;
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
    emit finished(false);
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
    lent.pool->start([this, work, src, name, size] {
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
                    AtomicFile::write(ArchivePatchFiles::indexPath(src.staging(), name), work->indexBytes);
                const Result<AtomicFile::Error> savedPlan =
                    savedIndex.ok() ? AtomicFile::write(ArchivePatchFiles::planPath(src.staging(), name),
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
    if (work->parsed.code() == ZipIndex::Error::DigestMismatch && fetch) {
        fetch->refused(QStringLiteral("the entry index %1 is not usable: %2")
                           .arg(source.indexRemotePath, work->parsed.reason()));
        return;
    }
    if (fetch)
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
    const ArchivePatchPlan &plan = work->plan;
    const ArchivePatchPlan::Counts kept = plan.kept(), copied = plan.copied(), fetched = plan.fetched();
    qDebug().noquote() << QStringLiteral(
                              "updating %1 from its entry index: %2 entries kept, %3 copied, %4 fetched "
                              "(%5 bytes in %6 ranges)")
                              .arg(archive)
                              .arg(kept.entries)
                              .arg(copied.entries)
                              .arg(fetched.entries)
                              .arg(plan.fetchBytes())
                              .arg(plan.spans().size());
    // An older whole copy of the archive (a launcher stopped between unpacking and deleting it)
    // must not be taken for this update's: the update is unpacked from its fetched entries.
    const QString whole = QStringLiteral("%1/%2").arg(source.staging(), archive);
    if (QFileInfo::exists(whole) && !QFile::remove(whole))
        qWarning() << "cannot remove an older copy of the archive" << whole;
    ResumeRecord::discard(whole);
    decided = Plan();
    decided.target = ArchivePatchFiles::fetchedPath(source.staging(), archive);
    decided.listed.name = archive;
    decided.listed.version = version;
    decided.listed.size = plan.fetchBytes();
    decided.listed.md5 = plan.id();
    decided.savedBytes = qMax<qint64>(0, listedSize - plan.fetchBytes());
    qint64 local = 0;
    for (const ArchivePatchPlan::Span &span : plan.spans()) {
        decided.spans.append({span.offset, span.length, local});
        local += span.length;
    }
    done = true;
    emit finished(true);
}
