// The launcher program killed (SIGKILL, or now and then SIGTERM) at random moments of the next release's
// pre-download, again and again, against a real HTTP server that serves the coming files slowly.
//
// After every kill:
//  - every file of the install (the pre-download's folder and config.ini aside) has the bytes it had
//    before the pre-download began, the game's program among them, and config.ini records the
//    versions it recorded then: the game is as playable as before;
//  - every byte that a resume record of the pre-download claims is in its partial file, and a copy
//    the pre-download lists as complete is the coming file;
//  - the next start reaches the ready game without fetching a byte of the installed release and asks
//    only for coming bytes that no record kept and no complete copy holds.
// A last run left alone completes the pre-download; the release that follows installs the
// pre-downloaded files without fetching a byte of them.
#include "download/resumerecord.h"
#include "support/killedlauncher.h"
#include "trust/versiontable.h"
#include "workflow/predownloadfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using TestFiles::md5Hex;
using TestFiles::readFile;

namespace {

const QByteArray CdnPrefix = "/sea/win_update/";
constexpr int Kills = 8;
// Per connection: the coming release (about 11 MiB over five pieces) takes some 25 s to fetch,
// longer than the runs before the kills add up to.
constexpr qint64 BytesPerSecond = 100000;
// A run is killed this long after its first coming request: 0.5 s and more, so that some runs
// last past the moments the fetch records what arrived.
constexpr int MinRunMs = 500;
constexpr int MaxRunMs = 3500;

struct ReleaseFile {
    QString version;
    QByteArray data;
};

} // namespace

class PreDownloadKillsTest : public QObject, public KilledLauncher {
    Q_OBJECT

    int terms = 0;
    QMap<QString, ReleaseFile> release; // installed
    QMap<QString, ReleaseFile> coming;  // the files the coming release changes or adds

    static QByteArray remotePath(const QString &name, const QString &version) {
        return CdnPrefix + QStringLiteral("v%1_%2").arg(version, name).toUtf8();
    }

    static QByteArray listOf(const QMap<QString, ReleaseFile> &files) {
        QByteArray list = "Kestrivane.exe:0.11:" + md5Hex("launcher").toLatin1() + ":5000000\n";
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            list += QStringLiteral("%1:%2:%3:%4\n")
                        .arg(it.key(), it->version, md5Hex(it->data))
                        .arg(it->data.size())
                        .toUtf8();
        return list;
    }

    RemoteFileInfo comingLine(const QString &name) const {
        RemoteFileInfo line;
        line.name = name;
        line.version = coming.value(name).version;
        line.md5 = md5Hex(coming.value(name).data);
        line.size = coming.value(name).data.size();
        return line;
    }

    QString preDir() const { return PreDownloadFolder::path(installDir); }

    void kill(QProcess *p) {
        if (endRun(p))
            ++terms;
    }

    bool reachedReady() const {
        return readFile(runLog()).contains("workflow phase LauncherWorkflow::Ready");
    }

    // Every file of the install but the pre-download's and config.ini, with its MD5.
    QMap<QString, QString> installedFiles() const {
        QMap<QString, QString> files;
        QDirIterator it(installDir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(preDir() + QLatin1Char('/')) && it.fileName() != QLatin1String("config.ini"))
                files.insert(path.mid(installDir.size() + 1), md5Hex(readFile(path)));
        }
        return files;
    }
    QMap<QString, QString> recordedVersions() const {
        QSettings config(installDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        config.beginGroup(QStringLiteral("version"));
        QMap<QString, QString> versions;
        for (const QString &name : config.childKeys())
            versions.insert(name, config.value(name).toString());
        return versions;
    }

    // The bytes of each coming file that the pre-download holds for good: all of a complete copy,
    // and what a resume record claims of a partial one. A description of the first claim that does
    // not hold, empty when every one does.
    QString kept(QMap<QString, QVector<ResumeRecord::Range>> *held) const {
        held->clear();
        const QMap<QString, RemoteFileInfo> complete = PreDownloadFolder::completeFiles(installDir);
        for (auto it = coming.cbegin(); it != coming.cend(); ++it) {
            const QString target = preDir() + QLatin1Char('/') + it.key();
            if (complete.contains(it.key())) {
                if (complete.value(it.key()).version != it->version || readFile(target) != it->data)
                    return QStringLiteral("%1 listed as complete but its copy differs").arg(it.key());
                (*held)[it.key()].append({0, it->data.size()});
                continue;
            }
            ResumeRecord record;
            if (!ResumeRecord::fromFileBytes(readFile(ResumeRecord::recordPath(target)), &record).ok() ||
                !record.isFor(comingLine(it.key())))
                continue;
            const QByteArray partial = readFile(ResumeRecord::partialPath(target));
            qint64 at = 0;
            QVector<ResumeRecord::Range> gaps = record.missingRanges();
            gaps.append({record.size(), 0});
            for (const ResumeRecord::Range &gap : qAsConst(gaps)) {
                const int begin = int(at), length = int(gap.offset - at);
                if (length > 0) {
                    if (partial.mid(begin, length) != it->data.mid(begin, length))
                        return QStringLiteral(
                                   "the record of %1 claims bytes %2-%3, which the partial file lacks")
                            .arg(it.key())
                            .arg(begin)
                            .arg(gap.offset - 1);
                    (*held)[it.key()].append({begin, length});
                }
                at = gap.offset + gap.length;
            }
        }
        return QString();
    }

    // Requests [from, end) of the server's log: none for a file of the installed release, and none
    // for coming bytes that `held` says were kept.
    QString fetchedOnlyWhatWasMissing(int from,
                                      const QMap<QString, QVector<ResumeRecord::Range>> &held) const {
        const QList<HttpServer::Request> all = server->requests();
        for (int i = from; i < all.size(); ++i) {
            const HttpServer::Request &r = all.at(i);
            if (r.method != "GET")
                continue;
            for (auto it = release.cbegin(); it != release.cend(); ++it) {
                if (r.path == remotePath(it.key(), it->version))
                    return QStringLiteral("the installed %1 was fetched again (%2)").arg(it.key(), r.range());
            }
            for (auto it = coming.cbegin(); it != coming.cend(); ++it) {
                if (r.path != remotePath(it.key(), it->version))
                    continue;
                const qint64 begin = qMax<qint64>(0, r.rangeStart());
                const QByteArray range = r.range();
                const int dash = range.indexOf('-');
                qint64 end = it->data.size(); // exclusive
                if (dash > 0 && dash + 1 < range.size())
                    end = qMin(end, range.mid(dash + 1).toLongLong() + 1);
                for (const ResumeRecord::Range &k : held.value(it.key())) {
                    if (begin < k.offset + k.length && k.offset < end)
                        return QStringLiteral("%1 bytes %2-%3 asked for again, kept were %4-%5")
                            .arg(it.key())
                            .arg(begin)
                            .arg(end - 1)
                            .arg(k.offset)
                            .arg(k.offset + k.length - 1);
                }
            }
        }
        return QString();
    }

    static double mebibytes(qint64 bytes) { return double(bytes) / (1024.0 * 1024.0); }
    static qint64 keptBytes(const QMap<QString, QVector<ResumeRecord::Range>> &held) {
        qint64 sum = 0;
        for (const QVector<ResumeRecord::Range> &ranges : held) {
            for (const ResumeRecord::Range &r : ranges)
                sum += r.length;
        }
        return sum;
    }
    qint64 comingBytes() const {
        qint64 sum = 0;
        for (const ReleaseFile &f : coming)
            sum += f.data.size();
        return sum;
    }

    bool askedForComing(int from) const {
        const QList<HttpServer::Request> all = server->requests();
        for (int i = from; i < all.size(); ++i) {
            for (auto it = coming.cbegin(); it != coming.cend(); ++it) {
                if (all.at(i).path == remotePath(it.key(), it->version))
                    return true;
            }
        }
        return false;
    }

    // Config.ini records the installed release and every file of it is on the disk.
    bool installedRelease() const {
        const QMap<QString, QString> versions = recordedVersions();
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            if (versions.value(it.key()) != it->version ||
                readFile(installDir + QLatin1Char('/') + it.key()) != it->data)
                return false;
        }
        return true;
    }

private slots:
    void initTestCase() { setUpLauncher(this); }

    void killedDuringPreDownloadKeepsTheGameAndGoesOn() {
        // The release installed: the game's program, its data and a text.
        release.insert(QStringLiteral("Quelvane.exe"), {QStringLiteral("1"), randomBytes(300000)});
        release.insert(QStringLiteral("data.pak"), {QStringLiteral("1"), randomBytes(1000000)});
        release.insert(QStringLiteral("small.txt"), {QStringLiteral("1"), "first words\n"});

        for (auto it = release.cbegin(); it != release.cend(); ++it)
            server->setFile(remotePath(it.key(), it->version), it->data);
        server->setFile(CdnPrefix + "version3.txt", listOf(release));
        {
            QProcess *launcher = startLauncher();
            QVERIFY2(launcher->waitForStarted(10000), qPrintable(launcher->errorString()));
            QVERIFY2(QTest::qWaitFor([&] { return installedRelease() && reachedReady(); }, 60000),
                     qPrintable(logTail()));
            LauncherProcess::stop(launcher);
            delete launcher;
        }
        const QMap<QString, QString> filesBefore = installedFiles();
        const QMap<QString, QString> versionsBefore = recordedVersions();
        QVERIFY(filesBefore.contains(QStringLiteral("Quelvane.exe")));

        // The coming release: a new game program, a new data.pak (two pieces) and a new file (two
        // pieces), served slowly.
        coming.insert(QStringLiteral("Quelvane.exe"), {QStringLiteral("2"), randomBytes(400000)});
        coming.insert(QStringLiteral("data.pak"), {QStringLiteral("2"), randomBytes(5000000)});
        coming.insert(QStringLiteral("new.bin"), {QStringLiteral("2"), randomBytes(6000000)});
        QMap<QString, ReleaseFile> next = release;
        HttpServer::Faults slow;
        slow.bytesPerSecond = BytesPerSecond;
        for (auto it = coming.cbegin(); it != coming.cend(); ++it) {
            next.insert(it.key(), *it);
            server->setFile(remotePath(it.key(), it->version), it->data);
            server->setFaults(remotePath(it.key(), it->version), slow);
        }
        server->setFile(CdnPrefix + "version3.txt.coming", listOf(next));
        server->clearRequests();

        QMap<QString, QVector<ResumeRecord::Range>> held;
        const qint64 sentBefore = server->bodyBytesSent();
        for (int k = 0; k < Kills; ++k) {
            const int runStart = server->requests().size();
            QProcess *launcher = startLauncher();
            QVERIFY2(launcher->waitForStarted(10000), qPrintable(launcher->errorString()));
            // Kill a random moment after the pre-download asked for its first bytes in this run.
            QVERIFY2(QTest::qWaitFor([&] { return askedForComing(runStart); }, 30000), qPrintable(logTail()));
            QTest::qWait(MinRunMs + int(random.bounded(MaxRunMs - MinRunMs)));
            QVERIFY2(launcher->state() == QProcess::Running, qPrintable(logTail()));
            kill(launcher);
            const QString when = QStringLiteral("kill %1: ").arg(k + 1);
            QVERIFY2(reachedReady(), qPrintable(when + logTail()));
            QString problem = fetchedOnlyWhatWasMissing(runStart, held);
            if (problem.isEmpty())
                problem = kept(&held);
            QVERIFY2(problem.isEmpty(), qPrintable(when + problem + QLatin1Char('\n') + logTail()));
            QCOMPARE(installedFiles(), filesBefore);
            QCOMPARE(recordedVersions(), versionsBefore);
            QVERIFY2(PreDownloadFolder::completeFiles(installDir).size() < coming.size(),
                     qPrintable(when + QStringLiteral("the pre-download was complete before the kill")));
        }
        qInfo("%d kills (%d of them SIGTERM); %.1f of the coming %.1f MiB kept at the last one", Kills, terms,
              mebibytes(keptBytes(held)), mebibytes(comingBytes()));

        // A run left alone completes the pre-download, fetching only what was missing.
        server->clearFaults();
        {
            const int runStart = server->requests().size();
            QProcess *launcher = startLauncher();
            QVERIFY2(launcher->waitForStarted(10000), qPrintable(launcher->errorString()));
            QVERIFY2(QTest::qWaitFor(
                         [&] { return PreDownloadFolder::completeFiles(installDir).size() == coming.size(); },
                         60000),
                     qPrintable(logTail()));
            QVERIFY(launcher->state() == QProcess::Running);
            LauncherProcess::stop(launcher);
            delete launcher;
            const QString problem = fetchedOnlyWhatWasMissing(runStart, held);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY2(kept(&held).isEmpty(), qPrintable(kept(&held)));
            QCOMPARE(installedFiles(), filesBefore);
            QCOMPARE(recordedVersions(), versionsBefore);
        }
        // What the kills cost: the bytes that arrived since a file last recorded its progress.
        qInfo("%.1f MiB served for the coming %.1f MiB", mebibytes(server->bodyBytesSent() - sentBefore),
              mebibytes(comingBytes()));

        // Released: the update takes the pre-downloaded files and fetches none of them.
        release = next;
        server->setFile(CdnPrefix + "version3.txt", listOf(release));
        server->removeFile(CdnPrefix + "version3.txt.coming");
        server->clearRequests();
        {
            QProcess *launcher = startLauncher();
            QVERIFY2(launcher->waitForStarted(10000), qPrintable(launcher->errorString()));
            QVERIFY2(QTest::qWaitFor([&] { return installedRelease() && reachedReady(); }, 60000),
                     qPrintable(logTail()));
            QVERIFY2(QTest::qWaitFor([&] { return !QFileInfo::exists(preDir()); }, 30000),
                     qPrintable(logTail()));
            LauncherProcess::stop(launcher);
            delete launcher;
        }
        for (auto it = coming.cbegin(); it != coming.cend(); ++it)
            QVERIFY2(server->requestsFor(remotePath(it.key(), it->version)).isEmpty(), qPrintable(it.key()));
    }
};

QTEST_GUILESS_MAIN(PreDownloadKillsTest)
#include "test_predownload_kills.moc"
