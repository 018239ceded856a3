// bench_delta: the block matcher and the reused-block writer on a pair of versions of one large file.
//   bench_delta generate OLD NEW [MiB]      writes a pair: NEW is OLD with 1 % of its bytes changed in
//                                           runs of 16..256 KiB, a 16 MiB insertion and a 4 MiB deletion
//   bench_delta apply [--write-only] OLD NEW MAP DIGEST PARTIAL [REQUESTS]
//                                           scans OLD against MAP (checked against DIGEST) on a worker
//                                           thread and copies the reused blocks into PARTIAL; then either
//                                           fills the requests from NEW (standing in for the CDN) and
//                                           checks that PARTIAL is NEW, or, given REQUESTS, writes them
//                                           there as "offset length" lines for a real fetch;
//                                           --write-only skips the scan alone that comes first
//   bench_delta place PARTIAL PIECES REQUESTS
//                                           writes each fetched request (PIECES/<offset>) into PARTIAL
//   bench_delta engine OLD DIR NAME VERSION MD5 SIZE DIGEST
//                                           the download manager as the launcher runs it: patches
//                                           DIR/NAME from OLD, fetching v<VERSION>_<NAME> and its map
//                                           from KESTRIVANE_TEST_CDN_BASE_URL
// Figures go to stdout as "name: value unit".
#include "download/xdmanager.h"
#include "patch/blockmap.h"
#include "patch/blockmatcher.h"
#include "patch/deltawriter.h"
#include "platform/platform.h"
#include "trust/versiontable.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

namespace {

constexpr qint64 MiB = 1024 * 1024;

// CPU time of the calling thread: the scan's speed on one core, whatever else the machine runs.
qint64 threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int fail(const QString &what) {
    fprintf(stderr, "bench_delta: %s\n", qPrintable(what));
    return 1;
}

// Deterministic bytes, fast enough not to dominate the generation.
void fillRandom(std::mt19937_64 &rng, char *data, qint64 size) {
    qint64 i = 0;
    for (; i + 8 <= size; i += 8) {
        const quint64 v = rng();
        memcpy(data + i, &v, 8);
    }
    for (; i < size; ++i)
        data[i] = char(rng());
}

int generate(const QString &oldPath, const QString &newPath, qint64 size) {
    std::mt19937_64 rng(20261208);
    QFile old(oldPath);
    if (!old.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot write %1").arg(oldPath));
    QByteArray chunk(int(8 * MiB), '\0');
    for (qint64 done = 0; done < size; done += chunk.size()) {
        const qint64 n = qMin<qint64>(chunk.size(), size - done);
        fillRandom(rng, chunk.data(), n);
        if (old.write(chunk.constData(), n) != n)
            return fail(QStringLiteral("cannot write %1").arg(oldPath));
    }
    old.close();

    // The edits, in old-file offsets: runs that change bytes in place, then one insertion and one deletion.
    const qint64 insertAt = size / 3, insertBytes = 16 * MiB;
    const qint64 deleteAt = size * 2 / 3, deleteBytes = 4 * MiB;
    struct Run {
        qint64 at, length;
    };
    QVector<Run> runs;
    qint64 changed = 0;
    std::uniform_int_distribution<qint64> lengthOf(16 * 1024, 256 * 1024);
    std::uniform_int_distribution<qint64> placeOf(0, size - 256 * 1024 - 1);
    while (changed < size / 100) {
        const Run r{placeOf(rng), lengthOf(rng)};
        const bool clash =
            std::any_of(runs.cbegin(), runs.cend(),
                        [&](const Run &o) {
                            return r.at < o.at + o.length + 4096 && o.at < r.at + r.length + 4096;
                        }) ||
            (r.at < deleteAt + deleteBytes && deleteAt < r.at + r.length) ||
            (r.at < insertAt && insertAt < r.at + r.length);
        if (clash)
            continue;
        runs.append(r);
        changed += r.length;
    }
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.at < b.at; });

    QFile in(oldPath), out(newPath);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot write %1").arg(newPath));
    int next = 0;
    for (qint64 pos = 0; pos < size;) {
        qint64 end = qMin(size, pos + chunk.size());
        // Chunks end at every edit, so each edit is applied to a chunk that starts with it.
        for (const qint64 mark : {insertAt, deleteAt, deleteAt + deleteBytes})
            if (mark > pos && mark < end)
                end = mark;
        if (next < runs.size() && runs[next].at > pos && runs[next].at < end)
            end = runs[next].at;
        if (next < runs.size() && runs[next].at == pos)
            end = qMin(end, pos + runs[next].length);
        const qint64 n = end - pos;
        if (in.read(chunk.data(), n) != n)
            return fail(QStringLiteral("cannot read %1").arg(oldPath));
        if (pos == insertAt) {
            QByteArray inserted(int(insertBytes), '\0');
            fillRandom(rng, inserted.data(), insertBytes);
            out.write(inserted);
        }
        if (next < runs.size() && runs[next].at == pos) {
            fillRandom(rng, chunk.data(), n);
            ++next;
        }
        if (!(pos >= deleteAt && pos < deleteAt + deleteBytes) && out.write(chunk.constData(), n) != n)
            return fail(QStringLiteral("cannot write %1").arg(newPath));
        pos = end;
    }
    printf("old_size: %lld bytes\nnew_size: %lld bytes\n", size, qint64(out.size()));
    printf("changed_runs: %d\nchanged_in_place: %lld bytes\ninserted: %lld bytes\ndeleted: %lld bytes\n",
           int(runs.size()), changed, insertBytes, deleteBytes);
    printf("changed_bytes: %lld bytes\n", changed + insertBytes);
    return 0;
}

QByteArray md5Of(QFile *file) {
    QCryptographicHash hash(QCryptographicHash::Md5);
    file->seek(0);
    hash.addData(file);
    return hash.result();
}

int apply(const QString &oldPath, const QString &newPath, const QString &mapPath, const QString &digest,
          const QString &partialPath, const QString &requestsPath, bool writeOnly) {
    QFile newFile(newPath), mapFile(mapPath);
    if (!newFile.open(QIODevice::ReadOnly) || !mapFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1 or %2").arg(newPath, mapPath));
    const QByteArray mapBytes = mapFile.read(BlockMap::MaxMapSize + 1);
    BlockMap map;
    const Result<BlockMap::Error> parsed = BlockMap::parse(mapBytes, newFile.size(), digest, &map);
    if (!parsed.ok())
        return fail(parsed.reason());
    QFile::remove(partialPath);

    // The GUI thread's part: a 10 ms timer whose lateness is the longest stall, and the progress reports.
    qint64 stallMax = 0, lastTick = 0, reports = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick > 0)
            stallMax = qMax(stallMax, now - lastTick - 10 * 1000 * 1000);
        lastTick = now;
    });
    tick.start();

    // First the scan alone, then the launcher's way: the scan writing the blocks it finds.
    BlockMatcher matcher(map), writingMatcher(map);
    DeltaPlan plan;
    qint64 scanNs = 0, scanCpuNs = 0, writeNs = 0;
    Result<BlockMatcher::Error> scanned;
    Result<BlockMatcher::Error> written;
    DeltaWriter writer;
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, qApp, &QCoreApplication::quit);
    watcher.setFuture(QtConcurrent::run([&] {
        auto report = [&](qint64, qint64) {
            QMetaObject::invokeMethod(
                qApp, [&] { ++reports; }, Qt::QueuedConnection);
        };
        QElapsedTimer t;
        t.start();
        if (!writeOnly) {
            const qint64 cpu = threadCpuNs();
            scanned = matcher.match(oldPath, &plan, report);
            scanNs = t.nsecsElapsed();
            scanCpuNs = threadCpuNs() - cpu;
            if (!scanned.ok())
                return;
            t.restart();
        }
        const Result<DeltaWriter::Error> opened = writer.open(partialPath, newFile.size());
        written = opened.ok() ? writingMatcher.match(oldPath, &plan, report, &writer)
                              : opened.as(BlockMatcher::Error::CannotWrite);
        writeNs = t.nsecsElapsed();
    }));
    QCoreApplication::exec();
    tick.stop();
    if (!scanned.ok())
        return fail(scanned.reason());
    if (!written.ok())
        return fail(written.reason());

    qint64 largest = 0;
    for (const DeltaPlan::Range &r : qAsConst(plan.requests))
        largest = qMax(largest, r.length);
    if (!requestsPath.isEmpty()) {
        QFile list(requestsPath);
        if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(QStringLiteral("cannot write %1").arg(requestsPath));
        for (const DeltaPlan::Range &r : qAsConst(plan.requests))
            list.write(QByteArray::number(r.offset) + ' ' + QByteArray::number(r.length) + '\n');
    } else {
        // The fetch, from the new file standing in for the CDN.
        QFile partial(partialPath);
        if (!partial.open(QIODevice::ReadWrite))
            return fail(QStringLiteral("cannot open %1").arg(partialPath));
        for (const DeltaPlan::Range &r : qAsConst(plan.requests)) {
            newFile.seek(r.offset);
            partial.seek(r.offset);
            if (partial.write(newFile.read(r.length)) != r.length)
                return fail(QStringLiteral("cannot fill %1").arg(partialPath));
        }
        partial.flush();
        if (md5Of(&partial) != md5Of(&newFile))
            return fail(QStringLiteral("%1 is not %2 after the fetch").arg(partialPath, newPath));
        printf("result: identical to the new file\n");
    }

    QFile old(oldPath);
    const qint64 oldSize = old.size();
    printf("map_bytes: %lld bytes\nblock_size: %d bytes\n", qint64(mapBytes.size()), map.blockSize());
    printf("reused_bytes: %lld bytes\nfetch_bytes: %lld bytes\nrequests: %d\nlargest_request: %lld bytes\n",
           plan.reusedBytes, plan.requestBytes, int(plan.requests.size()), largest);
    printf("fetched_with_map: %lld bytes\n", plan.requestBytes + mapBytes.size());
    if (!writeOnly)
        printf("scan_time: %.3f s\nscan_speed: %.1f MiB/s\nscan_speed_per_cpu_second: %.1f MiB/s\n",
               scanNs / 1e9, oldSize / double(MiB) / (scanNs / 1e9),
               oldSize / double(MiB) / (scanCpuNs / 1e9));
    printf("scan_and_write_time: %.3f s (written, synced with the fetched ranges)\n", writeNs / 1e9);
    printf("gui_stall_max: %.1f ms\nprogress_reports: %lld\n", stallMax / 1e6, reports);
    return 0;
}

int place(const QString &partialPath, const QString &piecesDir, const QString &requestsPath) {
    QFile partial(partialPath), list(requestsPath);
    if (!partial.open(QIODevice::ReadWrite) || !list.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1 or %2").arg(partialPath, requestsPath));
    while (!list.atEnd()) {
        const QList<QByteArray> fields = list.readLine().trimmed().split(' ');
        if (fields.size() != 2)
            continue;
        QFile piece(piecesDir + QLatin1Char('/') + QString::fromLatin1(fields.at(0)));
        const QByteArray bytes = piece.open(QIODevice::ReadOnly) ? piece.readAll() : QByteArray();
        if (bytes.size() != fields.at(1).toLongLong() || !partial.seek(fields.at(0).toLongLong()) ||
            partial.write(bytes) != bytes.size())
            return fail(QStringLiteral("cannot place piece %1").arg(piece.fileName()));
    }
    // The download puts the whole file on the disk before it takes its name: so does the map's way.
    partial.close();
    if (!Platform::syncFile(partialPath))
        return fail(QStringLiteral("cannot sync %1").arg(partialPath));
    return 0;
}

int engine(const QStringList &a) {
    // The manager's debug lines are not figures; warnings still tell why a run failed.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            fprintf(stderr, "%s\n", qPrintable(text));
    });
    const QString name = a.at(2);
    RemoteFileInfo info;
    info.name = name;
    info.version = a.at(3);
    info.md5 = a.at(4);
    info.size = a.at(5).toLongLong();
    info.mapDigest = a.at(6);
    VersionTable::instance().insert(name, info);
    const QString remote = QStringLiteral("v%1_%2").arg(info.version, name);
    XDManager manager(a.at(1));
    ErrorCode code = ErrorCode(-1);
    qint64 reused = -1, fetched = -1;
    QObject::connect(&manager, &XDManager::fileDownloadFinished,
                     [&](ErrorCode c, const QString &) { code = c; });
    QObject::connect(&manager, &XDManager::filePatched, [&](const QString &, qint64 r, qint64 f) {
        reused = r;
        fetched = f;
    });
    QObject::connect(&manager, &XDManager::allFileDownloadFinished, qApp, &QCoreApplication::quit);
    manager.addFile(remote, name,
                    {a.at(0), remote + QLatin1String(BlockMap::RemoteSuffix), info.mapDigest, info.size});
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, &manager, &XDManager::start);
    QCoreApplication::exec();
    if (code != NoError)
        return fail(
            QStringLiteral("the download ended with code %1: %2").arg(code).arg(manager.failureReason(name)));
    printf("engine_wall: %.2f s\nengine_reused: %lld bytes\nengine_fetched: %lld bytes\n",
           clock.elapsed() / 1000.0, static_cast<long long>(reused), static_cast<long long>(fetched));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() >= 3 && args.at(0) == QLatin1String("generate"))
        return generate(args.at(1), args.at(2), (args.size() > 3 ? args.at(3).toLongLong() : 1024) * MiB);
    if (args.size() == 4 && args.at(0) == QLatin1String("place"))
        return place(args.at(1), args.at(2), args.at(3));
    if (args.value(0) == QLatin1String("apply")) {
        QStringList a = args.mid(1);
        const bool writeOnly = a.removeAll(QStringLiteral("--write-only")) > 0;
        if (a.size() == 5 || a.size() == 6)
            return apply(a.at(0), a.at(1), a.at(2), a.at(3), a.at(4), a.value(5), writeOnly);
    }
    if (args.size() == 8 && args.at(0) == QLatin1String("engine"))
        return engine(args.mid(1));
    fprintf(stderr, "usage: bench_delta generate OLD NEW [MiB] | engine OLD DIR NAME VERSION MD5 SIZE DIGEST "
                    "| apply [--write-only] OLD NEW MAP DIGEST "
                    "PARTIAL [REQUESTS] | place PARTIAL PIECES REQUESTS\n");
    return 2;
}
