// The launcher program killed (SIGKILL, or now and then SIGTERM) at random moments of its update, again and
// again: what config.ini records must always be true of the files on disk, and the install must converge.
//
// Invariant after every kill, for each "version" entry recorded at the version the CDN lists:
//  - a plain file is on disk with the listed MD5;
//  - an archive still marked in "uncompressing" is on disk with the listed MD5;
//  - an unmarked archive is either on disk with its MD5 (extracted, not yet deleted) or gone, and
//    then every entry of it is on disk as in the archive;
//  - every piece that a resume record of a listed file claims holds that file's bytes in the partial
//    file beside it.
// And after every kill, the next run fetches no piece again that a record listed: what is fetched
// again is at most what was in flight (the distribution is printed).
//
// Built twice: 15 kills by default, and 100 kills with a larger file in the test labelled large.
// The last kill of each release is aimed at the extraction; in the large test the first is aimed
// at the large file's download, soon after its first pieces are recorded. data.pak changes a little
// from one release to the next and is published with its block map, so the launcher patches it from
// the older copy: from the second release on one kill is aimed at that patch, soon after its record
// lists the reused blocks. levels.zip changes in three entries from one release to the next and is
// published with its entry index, so the launcher fetches those entries alone and patches the
// unpacked files; the extraction's kill lands in that patch. The second release comes from a CDN under load:
// 30 % of the requests for its files are answered 503, drawn at random.
#include "archive/archivepatchfiles.h"
#include "archive/zipindexmaker.h"
#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "patch/blockmap.h"
#include "support/killedlauncher.h"
#include "support/zipwriter.h"
#include "trust/versiontable.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using TestFiles::md5Hex;
using TestFiles::readFile;

namespace {

const QByteArray CdnPrefix = "/sea/win_update/";

struct ReleaseFile {
    QString version;
    QByteArray data;
    QList<ZipEntry> entries; // for archives
    QString mapDigest;       // for a file published with its block map or entry index
};

#ifdef KV_CRASH_SAFETY_LARGE
constexpr int Generations = 10;
constexpr int KillsPerGeneration = 10;
constexpr int BigFileSize = 48 * 1024 * 1024; // twelve pieces
// Runs half as long against a server twice as fast: as much of a release lands between kills.
constexpr int MaxRunMs = 2500;          // a run lasts up to this long before its kill
constexpr int BytesPerSecond = 3000000; // per connection
constexpr int PatchKill = 1;            // the first kill goes to the large file
#else
constexpr int Generations = 3;
constexpr int KillsPerGeneration = 5;
constexpr int BigFileSize = 0;
constexpr int MaxRunMs = 5000;
constexpr int BytesPerSecond = 1500000;
constexpr int PatchKill = 0;
#endif
// The changed ranges of a patch come slowly enough for a kill to land among them.
constexpr int PatchBytesPerSecond = 300000;

// A piece of a release file: file name, version, piece number.
using PieceKey = QPair<QString, qint64>;
PieceKey pieceKey(const QString &name, const QString &version, qint64 index) {
    return {name + QLatin1Char(':') + version, index};
}

} // namespace

class CrashSafetyTest : public QObject, public KilledLauncher {
    Q_OBJECT

    QMap<QString, ReleaseFile> release;
    int generation = 0;

    // Compressible text, so an archive takes a while to unpack but little to download.
    QByteArray text(int size) {
        static const char *const words[] = {"quel", "vane ", "stone ", "river\n", "ash ", "glow ", "tide "};
        QByteArray data;
        data.reserve(size);
        while (data.size() < size)
            data += words[random.bounded(7)];
        data.truncate(size);
        return data;
    }

    // The next version of a file: a few runs changed, one inserted, one removed.
    QByteArray changed(QByteArray data) {
        for (int i = 0; i < 4; ++i)
            data.replace(int(random.bounded(data.size() - 50000)), 50000, randomBytes(50000));
        data.insert(int(random.bounded(data.size())), randomBytes(100000));
        data.remove(int(random.bounded(data.size() - 50000)), 50000);
        return data;
    }

    // The block map beside the file, as kv-publish puts it; returns its digest.
    QString publishMap(const QString &name, const ReleaseFile &file) {
        const QString source = root.path() + QStringLiteral("/map-source");
        QByteArray map;
        if (!TestFiles::writeFile(source, file.data) || !BlockMap::make(source, &map).ok())
            qWarning("cannot make the block map of %s", qPrintable(name));
        QFile::remove(source);
        server->setFile(CdnPrefix + QStringLiteral("v%1_%2").arg(file.version, name).toUtf8() +
                            BlockMap::RemoteSuffix,
                        map);
        return BlockMap::digestHex(map);
    }

    // The entry index beside the archive, as kv-publish puts it; returns its digest.
    QString publishIndex(const QString &name, const ReleaseFile &file) {
        const QString source = root.path() + QStringLiteral("/index-source.zip");
        ZipIndex index;
        if (!TestFiles::writeFile(source, file.data) || !ZipIndexMaker::make(source, &index).ok())
            qWarning("cannot make the entry index of %s", qPrintable(name));
        QFile::remove(source);
        const QByteArray bytes = index.toBytes();
        server->setFile(CdnPrefix + QStringLiteral("v%1_%2").arg(file.version, name).toUtf8() +
                            ZipIndex::RemoteSuffix,
                        bytes);
        return ZipIndex::digestHex(bytes);
    }

    void publish(const QString &name, const ReleaseFile &file) {
        if (release.contains(name))
            server->removeFile(CdnPrefix +
                               QStringLiteral("v%1_%2").arg(release.value(name).version, name).toUtf8());
        release.insert(name, file);
        server->setFile(CdnPrefix + QStringLiteral("v%1_%2").arg(file.version, name).toUtf8(), file.data);
    }

    // A new generation of every file: new bytes under a new version.
    void publishGeneration() {
        ++generation;
        const QString v = QString::number(generation);
        publish(QStringLiteral("game.bin"), {v, randomBytes(3000000), {}, {}});
        const QString pak = QStringLiteral("data.pak"); // two pieces
        ReleaseFile nextPak{
            v, release.contains(pak) ? changed(release.value(pak).data) : randomBytes(5000000), {}, {}};
        nextPak.mapDigest = publishMap(pak, nextPak);
        publish(pak, nextPak);
        publish(QStringLiteral("small.txt"), {v, text(10000), {}, {}});
        QList<ZipEntry> assets;
        for (int i = 0; i < 6; ++i)
            assets.append({QByteArray("assets/tex") + QByteArray::number(i) + ".bin", randomBytes(400000)});
        publish(QStringLiteral("assets.zip"), {v, zipBytes(assets), assets, {}});
        // The first level and two others change; the rest is kept from the installed files.
        QList<ZipEntry> levels = release.value(QStringLiteral("levels.zip")).entries;
        if (levels.isEmpty()) {
            for (int i = 0; i < 40; ++i)
                levels.append({QByteArray("levels/") + QByteArray::number(i / 10) + "/map" +
                                   QByteArray::number(i) + ".txt",
                               text(600000)});
        } else {
            for (int i : {0, 1 + int(random.bounded(19)), 20 + int(random.bounded(20))})
                levels[i].data = text(600000);
        }
        ReleaseFile nextLevels{v, zipBytes(levels), levels, {}};
        nextLevels.mapDigest = publishIndex(QStringLiteral("levels.zip"), nextLevels);
        publish(QStringLiteral("levels.zip"), nextLevels);
        if (BigFileSize > 0)
            publish(QStringLiteral("big.pak"), {v, randomBytes(BigFileSize), {}, {}});

        QByteArray list = "Kestrivane.exe:0.11:" + md5Hex("launcher").toLatin1() + ":5000000\n";
        for (auto it = release.cbegin(); it != release.cend(); ++it)
            list += QStringLiteral("%1:%2:%3:%4%5\n")
                        .arg(it.key(), it->version, md5Hex(it->data))
                        .arg(it->data.size())
                        .arg(it->mapDigest.isEmpty() ? QString() : QLatin1Char(':') + it->mapDigest)
                        .toUtf8();
        server->setFile(CdnPrefix + "version3.txt", list);
    }

    // A run ended by SIGTERM leaves its download offered again (KEEP UPDATE): the player takes it.
    void kill(QProcess *p) {
        if (!endRun(p))
            return;
        ++closes;
        QSettings config(installDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        config.setValue(QStringLiteral("download_config/manual_resume"), false);
    }
    int closes = 0;

    QString installed(const QString &name) const {
        QSettings config(installDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        return config.value(QStringLiteral("version/") + name).toString();
    }

    // Waits while the launcher runs and `name` is not installed in this release's version (30 s at
    // most) until `ready` holds, then a random moment of up to maxExtraMs; true when `name` was
    // still not installed after it.
    template <typename Ready>
    bool aimAt(QProcess *launcher, const QString &name, int maxExtraMs, Ready ready) {
        const QString version = release.value(name).version;
        const int extraMs = int(random.bounded(maxExtraMs));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000 && launcher->state() == QProcess::Running &&
               installed(name) != version) {
            if (ready()) {
                QTest::qWait(extraMs);
                return installed(name) != version;
            }
            QTest::qWait(5);
        }
        return false;
    }

    // Checks the invariant; returns a description of the first breach, empty when it holds.
    QString breach() const {
        QSettings config(installDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        if (config.status() != QSettings::NoError)
            return QStringLiteral("config.ini unreadable");
        config.beginGroup(QStringLiteral("uncompressing"));
        const QStringList marked = config.childKeys();
        config.endGroup();
        config.beginGroup(QStringLiteral("version"));
        const QStringList recorded = config.childKeys();
        for (const QString &name : recorded) {
            const ReleaseFile file = release.value(name);
            if (file.version.isEmpty() || config.value(name).toString() != file.version)
                continue; // an older generation: not claimed to be current
            const QString path = installDir + QLatin1Char('/') + name;
            const bool present = QFile::exists(path);
            const bool digestOk = present && md5Hex(readFile(path)) == md5Hex(file.data);
            // An archive updated by its changed entries waits for its patch instead.
            const bool patchWaits = QFile::exists(ArchivePatchFiles::planPath(installDir, name)) &&
                                    QFile::exists(ArchivePatchFiles::fetchedPath(installDir, name));
            if (!name.endsWith(QLatin1String(".zip")) || marked.contains(name)) {
                if (!digestOk && !(marked.contains(name) && !present && patchWaits))
                    return QStringLiteral("%1 recorded at %2 but %3")
                        .arg(name, file.version, present ? "its bytes differ" : "missing");
                continue;
            }
            if (present) {
                if (!digestOk)
                    return QStringLiteral("extracted %1 left with other bytes").arg(name);
                continue;
            }
            for (const auto &entry : file.entries) {
                if (readFile(installDir + QLatin1Char('/') + QString::fromUtf8(entry.name)) != entry.data)
                    return QStringLiteral("%1 counts as extracted but %2 differs")
                        .arg(name, QString::fromUtf8(entry.name));
            }
        }
        QSet<PieceKey> pieces;
        return recordedPieces(&pieces);
    }

    // The pieces that resume records of current files list, into *pieces; a description of the
    // first claimed piece whose bytes are not the file's, empty when every claim holds.
    QString recordedPieces(QSet<PieceKey> *pieces) const {
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            const QString target = installDir + QLatin1Char('/') + it.key();
            ResumeRecord record;
            if (!ResumeRecord::fromFileBytes(readFile(ResumeRecord::recordPath(target)), &record).ok())
                continue;
            RemoteFileInfo listed;
            listed.name = it.key();
            listed.version = it->version;
            listed.md5 = md5Hex(it->data);
            listed.size = it->data.size();
            if (!record.isFor(listed))
                continue;
            // Whatever the record does not list as missing it claims (with a map, single blocks too).
            const QByteArray partial = readFile(ResumeRecord::partialPath(target));
            qint64 at = 0;
            QVector<ResumeRecord::Range> gaps = record.missingRanges();
            gaps.append({record.size(), 0});
            for (const ResumeRecord::Range &gap : qAsConst(gaps)) {
                const int begin = int(at), length = int(gap.offset - at);
                if (partial.mid(begin, length) != it->data.mid(begin, length))
                    return QStringLiteral("the record of %1 claims bytes %2-%3, which the partial file lacks")
                        .arg(it.key())
                        .arg(begin)
                        .arg(gap.offset - 1);
                at = gap.offset + gap.length;
            }
            for (int i = 0; i < record.pieceCount(); ++i) {
                if (record.isComplete(i))
                    pieces->insert(pieceKey(it.key(), it->version, i));
            }
        }
        return QString();
    }

    // The pieces of current release files asked for by requests [from, to) of the server's log.
    QSet<PieceKey> requestedPieces(int from, int to) const {
        QSet<PieceKey> out;
        const QList<HttpServer::Request> all = server->requests();
        for (int i = from; i < qMin(to, all.size()); ++i) {
            const HttpServer::Request &r = all.at(i);
            for (auto it = release.cbegin(); it != release.cend(); ++it) {
                if (r.path == CdnPrefix + QStringLiteral("v%1_%2").arg(it->version, it.key()).toUtf8())
                    out.insert(pieceKey(it.key(), it->version,
                                        qMax<qint64>(0, r.rangeStart()) / DownloadTaskPiece::PieceSize));
            }
        }
        return out;
    }

    // Why the install is not yet at the current release; empty once it is.
    QString unconverged() const {
        QSettings config(installDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        config.beginGroup(QStringLiteral("uncompressing"));
        if (!config.childKeys().isEmpty())
            return QStringLiteral("still marked for extraction: ") +
                   config.childKeys().join(QLatin1Char(' '));
        config.endGroup();
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            if (config.value(QStringLiteral("version/") + it.key()).toString() != it->version)
                return it.key() + QStringLiteral(" not recorded at version ") + it->version;
            const QString path = installDir + QLatin1Char('/') + it.key();
            if (it.key().endsWith(QLatin1String(".zip"))) {
                if (QFile::exists(path))
                    return QStringLiteral("unpacked archive still on disk: ") + it.key();
            } else if (readFile(path) != it->data) {
                return it.key() + QStringLiteral(" holds other bytes");
            }
        }
        // Files staged or set aside by a killed extraction are gone once it ran to its end.
        QDirIterator files(installDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString file = files.next();
            if (file.endsWith(QLatin1String(".kv-new")) || file.endsWith(QLatin1String(".kv-old")) ||
                file.endsWith(QLatin1String(".kestrivane-plan")) ||
                file.endsWith(QLatin1String(".kestrivane-patch")) ||
                file.endsWith(QLatin1String(".kestrivane-copy")) ||
                file.endsWith(QLatin1String(ResumeRecord::PartialSuffix)) ||
                file.endsWith(QLatin1String(ResumeRecord::RecordSuffix)))
                return QStringLiteral("left behind: ") + file;
        }
        return breach();
    }

private slots:
    void initTestCase() { setUpLauncher(this); }

    void killedAtRandomMomentsStaysConsistentAndConverges() {
        // Three generations of the release, five kills each: every generation makes the launcher
        // replace every file again, so the kills keep landing in downloads and extractions.
        HttpServer::Faults slow;
        slow.bytesPerSecond = BytesPerSecond;
        const int generations = Generations;
        const int killsPerGeneration = KillsPerGeneration;
        int killsWithPendingExtraction = 0;
        int killsDuringPatch = 0;
        // What the run before the latest kill asked for and what the records listed at that kill.
        QSet<PieceKey> requestedBefore;
        QSet<PieceKey> recordedAtKill;
        int runStart = 0;
        QMap<int, int> refetchedPerKill; // pieces fetched again after a kill -> kills
        QMap<int, int> recordedPerKill;  // pieces listed by records at a kill -> kills
        qint64 refetchedBytes = 0;
        // Checks the run since the previous kill against what was on the disk at that kill.
        const auto accountRun = [&](int runEnd) -> QString {
            const QSet<PieceKey> asked = requestedPieces(runStart, runEnd);
            const QSet<PieceKey> again = asked & recordedAtKill;
            if (!again.isEmpty())
                return QStringLiteral("%1 piece(s) fetched again that a record listed, e.g. %2 piece %3")
                    .arg(again.size())
                    .arg(again.begin()->first)
                    .arg(again.begin()->second);
            const QSet<PieceKey> refetched = asked & requestedBefore;
            refetchedPerKill[refetched.size()] += 1;
            for (const PieceKey &p : refetched) {
                const qint64 size = release.value(p.first.section(QLatin1Char(':'), 0, 0)).data.size();
                refetchedBytes += qBound<qint64>(0, size - p.second * DownloadTaskPiece::PieceSize,
                                                 DownloadTaskPiece::PieceSize);
            }
            requestedBefore |= asked;
            return QString();
        };
        for (int g = 0; g < generations; ++g) {
            publishGeneration();
            // The second generation comes from a CDN under load: 30 % of the requests for its
            // files are answered 503, drawn at random.
            HttpServer::Faults faults = slow;
            if (g == 1) {
                faults.failPercent = 30;
                faults.failStatus = 503;
                faults.failSeed = quint32(g + 1);
            }
            for (auto it = release.cbegin(); it != release.cend(); ++it)
                server->setFaults(CdnPrefix + QStringLiteral("v%1_%2").arg(it->version, it.key()).toUtf8(),
                                  faults);
            if (g > 0) {
                HttpServer::Faults slower = faults;
                slower.bytesPerSecond = PatchBytesPerSecond;
                server->setFaults(CdnPrefix + QStringLiteral("v%1_data.pak").arg(generation).toUtf8(),
                                  slower);
            }

            for (int k = 0; k < killsPerGeneration; ++k) {
                QProcess *launcher = startLauncher();
                runStart = server->requests().size();
                QVERIFY2(launcher->waitForStarted(10000), qPrintable(launcher->errorString()));
                const QString levelsVersion = release.value(QStringLiteral("levels.zip")).version;
                if (k == killsPerGeneration - 1 && installed(QStringLiteral("levels.zip")) != levelsVersion) {
                    // Aim at the extraction: kill as soon as an entry of the new archive shows up,
                    // staged beside its target (every other generation) or in place.
                    QElapsedTimer clock;
                    clock.start();
                    const QString probe = installDir + QStringLiteral("/levels/0/map0.txt");
                    const QByteArray before = readFile(probe);
                    const bool whileStaging = g % 2 == 0;
                    while (clock.elapsed() < 30000 && launcher->state() == QProcess::Running) {
                        if (whileStaging && QFileInfo::exists(probe + QStringLiteral(".kv-new")))
                            break;
                        if (QFileInfo::exists(probe) && readFile(probe) != before)
                            break;
                        QTest::qWait(5);
                    }
                } else if (k == 0 && BigFileSize > 0) {
                    // Aim at the download: kill a moment after big.pak's record first lists pieces.
                    const QString record = ResumeRecord::recordPath(installDir + QStringLiteral("/big.pak"));
                    aimAt(launcher, QStringLiteral("big.pak"), 1500, [&]() {
                        ResumeRecord listed;
                        return ResumeRecord::fromFileBytes(readFile(record), &listed).ok() &&
                               listed.completeBytes() > 0;
                    });
                } else if (k == PatchKill && g > 0) {
                    // Aim at the patch: kill a moment after data.pak's record lists the blocks the
                    // older copy gave, while the changed ranges come.
                    const QString path = ResumeRecord::recordPath(installDir + QStringLiteral("/data.pak"));
                    if (aimAt(launcher, QStringLiteral("data.pak"), 500, [&]() {
                            ResumeRecord record;
                            return ResumeRecord::fromFileBytes(readFile(path), &record).ok() &&
                                   record.hasMap();
                        }))
                        ++killsDuringPatch;
                } else {
                    QTest::qWait(200 + int(random.bounded(MaxRunMs)));
                }
                QVERIFY2(launcher->state() == QProcess::Running, qPrintable(logTail()));
                kill(launcher);
                {
                    QSettings config(installDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
                    if (config.contains(QStringLiteral("uncompressing/levels.zip")))
                        ++killsWithPendingExtraction;
                }
                QString problem = breach();
                if (problem.isEmpty() && (g > 0 || k > 0))
                    problem = accountRun(server->requests().size());
                recordedAtKill.clear();
                if (problem.isEmpty())
                    problem = recordedPieces(&recordedAtKill);
                recordedPerKill[recordedAtKill.size()] += 1;
                QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("generation %1, kill %2: %3\n%4")
                                                           .arg(g + 1)
                                                           .arg(k + 1)
                                                           .arg(problem, logTail())));
            }
        }
        qInfo("%d kills (%d of them SIGTERM), %d with levels.zip waiting for or in its extraction, %d during "
              "the patch of data.pak",
              generations * killsPerGeneration, closes, killsWithPendingExtraction, killsDuringPatch);

        // A last run left alone brings the install to the current release.
        server->clearFaults();
        QProcess *launcher = startLauncher();
        runStart = server->requests().size();
        QVERIFY(launcher->waitForStarted(10000));
        // Waited for by hand: a failing QTRY waits twice its bound again before it reports.
        const bool converged = QTest::qWaitFor([&] { return unconverged().isEmpty(); }, 120000);
        QVERIFY2(converged, qPrintable(unconverged() + QLatin1Char('\n') + logTail()));
        QVERIFY(launcher->state() == QProcess::Running);
        kill(launcher);
        const QString problem = accountRun(server->requests().size());
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QStringList refetched, recorded;
        for (auto it = refetchedPerKill.cbegin(); it != refetchedPerKill.cend(); ++it)
            refetched << QStringLiteral("%1 piece(s): %2x").arg(it.key()).arg(it.value());
        for (auto it = recordedPerKill.cbegin(); it != recordedPerKill.cend(); ++it)
            recorded << QStringLiteral("%1 piece(s): %2x").arg(it.key()).arg(it.value());
        qInfo("pieces fetched again after a kill (none of them recorded at the kill): %s; %.1f MiB in all",
              qPrintable(refetched.join(QStringLiteral(", "))), double(refetchedBytes) / (1024.0 * 1024.0));
        qInfo("pieces kept on disk with a record at a kill: %s",
              qPrintable(recorded.join(QStringLiteral(", "))));
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            for (const auto &entry : it->entries)
                QCOMPARE(readFile(installDir + QLatin1Char('/') + QString::fromUtf8(entry.name)), entry.data);
        }
        QVERIFY(server->requestsFor(CdnPrefix + "v0.11_Kestrivane.exe").isEmpty());
        // The releases after the first were patched from the older copy of data.pak.
        int mapRequests = 0;
        for (int g = 2; g <= generation; ++g)
            mapRequests +=
                server->requestsFor(CdnPrefix + QStringLiteral("v%1_data.pak.blockmap").arg(g).toUtf8())
                    .size();
        QVERIFY(mapRequests > 0);
        // ... and levels.zip from its installed files, by the changed entries' ranges.
        int indexRequests = 0, rangedLevels = 0;
        for (int g = 2; g <= generation; ++g) {
            indexRequests +=
                server->requestsFor(CdnPrefix + QStringLiteral("v%1_levels.zip.zipindex").arg(g).toUtf8())
                    .size();
            for (const HttpServer::Request &r :
                 server->requestsFor(CdnPrefix + QStringLiteral("v%1_levels.zip").arg(g).toUtf8()))
                rangedLevels += r.rangeStart() > 0 ? 1 : 0;
        }
        QVERIFY(indexRequests > 0 && rangedLevels > 0);
    }
};

QTEST_GUILESS_MAIN(CrashSafetyTest)
#include "test_crash_safety.moc"
