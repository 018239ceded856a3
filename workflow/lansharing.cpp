#include "workflow/lansharing.h"

#include "archive/extractedfiles.h"
#include "core/filedigest.h"
#include "lan/laninterfaces.h"
#include "lan/lanpeerfinder.h"
#include "lan/lanpeerserver.h"
#include "patch/zipindex.h"
#include "platform/platform.h"
#include "workflow/installedgame.h"
#include "workflow/launcherconfig.h"
#include "workflow/peerentryfetch.h"
#include "workflow/poolfuture.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>

LanSharing::LanSharing(LauncherConfig *config, const QString &folder, bool enabled, QObject *parent)
    : QObject(parent)
    , config(config)
    , folder(folder)
    , finder(new LanPeerFinder(this))
    , server(new LanPeerServer(this))
    , enabled(enabled) {
    connect(finder, &LanPeerFinder::peerFound, this, [this](const QString &baseUrl) {
        qDebug().noquote() << "launcher found on the local network: " + baseUrl;
        emit peerFound(baseUrl);
    });
    if (!enabled)
        qDebug() << "sharing with the local network is off";
}

LanSharing::~LanSharing() {
    // The worker stops at its next block; nothing here waits for it.
    stopInstalledCheck();
    stopServing();
    stopSearching();
}

void LanSharing::setEnabled(bool on) {
    if (on == enabled)
        return;
    enabled = on;
    qDebug() << "sharing with the local network" << (on ? "on" : "off");
    update();
}

void LanSharing::setRelease(const QByteArray &versionFileDigest) {
    if (versionFileDigest == release)
        return;
    release = versionFileDigest;
    sinceSearch.invalidate();
    // Peers of another release have nothing to give this one; the finder learns only of matching ones.
    finder->setRelease(release);
    update();
}

void LanSharing::setGameCurrent(bool current) {
    if (current == gameCurrent)
        return;
    gameCurrent = current;
    update();
}

QString LanSharing::versionedName(const RemoteFileInfo &entry) {
    return QStringLiteral("v%1_%2").arg(entry.version, entry.name);
}

void LanSharing::fileChecked(const RemoteFileInfo &entry, const QString &path) {
    // Archives are unpacked and removed: only plain files stay as the CDN has them.
    if (InstalledGame::isArchive(entry.name))
        return;
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink() || info.size() != entry.size)
        return;
    Checked c;
    c.version = entry.version;
    c.md5 = entry.md5;
    c.path = info.absoluteFilePath();
    c.size = info.size();
    c.modifiedMs = info.lastModified().toMSecsSinceEpoch();
    checked.insert(entry.name, c);
    if (isServing())
        server->offer(versionedName(entry), {c.path, c.size, c.modifiedMs});
}

QStringList LanSharing::peers() const {
    return enabled && searching ? finder->peers() : QStringList();
}

void LanSharing::whenAnswered(QObject *context, std::function<void()> then) {
    const int left = AnswerWaitMs - (sinceSearch.isValid() ? int(sinceSearch.elapsed()) : 0);
    if (!enabled || !searching || !finder->peers().isEmpty() || left <= 0) {
        then();
        return;
    }
    qDebug() << "waiting for launchers on the local network to answer, at most" << left << "ms";
    // Whichever comes first calls; the other finds it done.
    auto done = std::make_shared<bool>(false);
    auto call = [done, then]() {
        if (std::exchange(*done, true))
            return;
        then();
    };
    auto *answer = new QObject(context);
    connect(this, &LanSharing::peerFound, answer, [answer, call]() {
        answer->deleteLater();
        call();
    });
    QTimer::singleShot(left, answer, [answer, call]() {
        answer->deleteLater();
        call();
    });
}

bool LanSharing::mayServe() const {
    return enabled && gameCurrent && !release.isEmpty();
}

void LanSharing::update() {
    if (enabled && !release.isEmpty())
        startSearching();
    else
        stopSearching();
    if (mayServe())
        startServing();
    else
        stopServing();
    if (isServing())
        startInstalledCheck();
    else
        stopInstalledCheck();
}

void LanSharing::startSearching() {
    if (searching) {
        // A release found again (a run after a failed one): asked for at once.
        if (!sinceSearch.isValid()) {
            sinceSearch.start();
            finder->searchNow();
        }
        return;
    }
    finder->setSubnets(LanInterfaces::usable());
    finder->setServingPort(servingPort);
    QString why;
    if (!finder->start(&why)) {
        qWarning().noquote() << "cannot search the local network: " + why;
        return;
    }
    searching = true;
    sinceSearch.start();
    qDebug() << "searching the local network for launchers with this release";
}

void LanSharing::stopSearching() {
    if (!searching)
        return;
    finder->stop();
    searching = false;
    sinceSearch.invalidate();
    qDebug() << "no longer searching the local network";
}

void LanSharing::startServing() {
    if (isServing())
        return;
    // Without an inbound rule the system would ask the player about a listening port: the launcher
    // only fetches, which needs none (answers come back to its own search).
    QString why;
    if (!Platform::firewallAllowsServing(&why)) {
        qDebug().noquote() << "not serving the local network: " + why;
        return;
    }
    const LanSubnets subnets = LanInterfaces::usable();
    if (subnets.isEmpty()) {
        qDebug() << "not serving the local network: no private network interface";
        return;
    }
    if (!server->start(subnets, 0, &why)) {
        qWarning().noquote() << "cannot serve the local network: " + why;
        return;
    }
    servingPort = server->port();
    offerCheckedFiles();
    finder->setServingPort(servingPort);
    qDebug() << "serving the local network on port" << servingPort;
}

void LanSharing::stopServing() {
    if (!isServing())
        return;
    // No answer promises a port that is about to close.
    finder->setServingPort(0);
    server->withdrawAll();
    server->stop();
    servingPort = 0;
    qDebug() << "no longer serving the local network";
}

void LanSharing::offerCheckedFiles() {
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    int offered = 0;
    for (auto it = checked.cbegin(); it != checked.cend(); ++it) {
        const RemoteFileInfo listed = table.value(it.key());
        // Only the listed release as recorded installed; the server checks size and time per request.
        if (listed.version != it->version || listed.md5 != it->md5 ||
            config->installedVersion(it.key()) != listed.version)
            continue;
        server->offer(versionedName(listed), {it->path, it->size, it->modifiedMs});
        ++offered;
    }
    for (auto it = checkedArchives.cbegin(); it != checkedArchives.cend(); ++it) {
        if (!stillInstalled(it->first))
            continue;
        offerEntries(it->second);
        offered += it->second.size();
    }
    qDebug() << "files offered to the local network:" << offered;
}

bool LanSharing::stillInstalled(const RemoteFileInfo &archive) const {
    const RemoteFileInfo listed = VersionTable::instance().value(archive.name);
    return listed.version == archive.version && listed.md5 == archive.md5 &&
           listed.mapDigest == archive.mapDigest && !listed.mapDigest.isEmpty() &&
           config->installedVersion(archive.name) == listed.version &&
           !config->hasExtractionMark(archive.name);
}

void LanSharing::offerEntries(const QVector<Entry> &entries) {
    for (const Entry &e : entries)
        server->offer(PeerEntryFetch::remoteName(e.digest), {e.path, e.size, e.modifiedMs});
}

void LanSharing::startInstalledCheck() {
    if (hashWatcher)
        return;
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    toHash.clear();
    for (const RemoteFileInfo &e : table) {
        if (checked.contains(e.name) || hashTried.contains(e.name + QLatin1Char(':') + e.md5) ||
            config->installedVersion(e.name) != e.version)
            continue;
        // An archive is served by the entries it unpacked, as its index lists them.
        if (InstalledGame::isArchive(e.name) && (!ZipIndex::wantsIndex(e.name) || !stillInstalled(e)))
            continue;
        toHash.append(e);
    }
    if (toHash.isEmpty())
        return;
    qDebug() << "checking installed files for the local network:" << toHash.size();
    hashCancel = std::make_shared<std::atomic<bool>>(false);
    hashTime.start();
    hashOffered = 0;
    hashBytes = 0;
    hashNextInstalled();
}

void LanSharing::stopInstalledCheck() {
    if (!hashWatcher)
        return;
    hashCancel->store(true);
    hashWatcher->disconnect(this);
    hashWatcher->deleteLater();
    hashWatcher = nullptr;
    toHash.clear();
    endInstalledCheck(true);
}

void LanSharing::hashNextInstalled() {
    // A file the download checked meanwhile is offered already.
    while (!toHash.isEmpty() && checked.contains(toHash.first().name))
        toHash.removeFirst();
    if (toHash.isEmpty()) {
        endInstalledCheck(false);
        return;
    }
    const RemoteFileInfo entry = toHash.takeFirst();
    const QString path = folder + QLatin1Char('/') + entry.name;
    hashWatcher = new QFutureWatcher<Hashed>(this);
    connect(hashWatcher, &QFutureWatcher<Hashed>::finished, this, &LanSharing::installedHashed);
    const bool archive = InstalledGame::isArchive(entry.name);
    hashWatcher->setFuture(PoolFuture::run([entry, path, archive, dir = folder, cancel = hashCancel]() {
        return archive ? hashUnpacked(entry, dir, cancel) : hashInstalled(entry, path, cancel);
    }));
}

void LanSharing::installedHashed() {
    const Hashed h = hashWatcher->future().result();
    hashWatcher->deleteLater();
    hashWatcher = nullptr;
    if (h.stopped)
        return;
    hashTried.insert(h.entry.name + QLatin1Char(':') + h.entry.md5);
    hashBytes += h.size;
    const RemoteFileInfo listed = VersionTable::instance().value(h.entry.name);
    if (!h.fault.isEmpty())
        qWarning().noquote() << "installed file not offered to the local network: " + h.entry.name + ": " +
                                    h.fault;
    // An archive's files that passed are offered also when others did not.
    if (InstalledGame::isArchive(h.entry.name)) {
        if (!h.entries.isEmpty() && stillInstalled(h.entry)) {
            checkedArchives.insert(h.entry.name, {h.entry, h.entries});
            offerEntries(h.entries);
            hashOffered += h.entries.size();
        }
    } else if (h.fault.isEmpty() && listed.version == h.entry.version && listed.md5 == h.entry.md5 &&
               config->installedVersion(h.entry.name) == listed.version && !checked.contains(h.entry.name)) {
        Checked c;
        c.version = listed.version;
        c.md5 = listed.md5;
        c.path = h.path;
        c.size = h.size;
        c.modifiedMs = h.modifiedMs;
        checked.insert(listed.name, c);
        server->offer(versionedName(listed), {c.path, c.size, c.modifiedMs});
        ++hashOffered;
    }
    hashNextInstalled();
}

void LanSharing::endInstalledCheck(bool stopped) {
    qDebug().noquote() << QStringLiteral(
                              "installed files checked for the local network%1: offered %2, %3 bytes, %4 ms")
                              .arg(stopped ? QStringLiteral(" (stopped)") : QString())
                              .arg(hashOffered)
                              .arg(hashBytes)
                              .arg(hashTime.elapsed());
}

LanSharing::Hashed LanSharing::hashInstalled(const RemoteFileInfo &entry, const QString &path,
                                             const std::shared_ptr<std::atomic<bool>> &cancel) {
    Hashed h;
    h.entry = entry;
    const QFileInfo before(path);
    h.path = before.absoluteFilePath();
    if (!before.isFile() || before.isSymLink()) {
        h.fault = QStringLiteral("not a plain file");
        return h;
    }
    h.size = before.size();
    h.modifiedMs = before.lastModified().toMSecsSinceEpoch();
    if (h.size != entry.size) {
        h.fault = QStringLiteral("size %1 on disk, %2 listed").arg(h.size).arg(entry.size);
        return h;
    }
    // The game and the download come first: this runs at the lowest priority the pool thread takes.
    QThread *thread = QThread::currentThread();
    const QThread::Priority was = thread->priority();
    thread->setPriority(QThread::LowestPriority);
    QByteArray hex;
    const auto read = FileDigest::md5Hex(path, &hex, [cancel](qint64) { return !cancel->load(); });
    thread->setPriority(was == QThread::InheritPriority ? QThread::NormalPriority : was);
    if (read.code() == FileDigest::Error::Stopped) {
        h.stopped = true;
        return h;
    }
    const QFileInfo after(path);
    if (!read.ok())
        h.fault = read.reason();
    else if (QString::fromLatin1(hex) != entry.md5)
        h.fault = QStringLiteral("md5 %1 on disk, %2 listed").arg(QString::fromLatin1(hex), entry.md5);
    else if (after.size() != h.size || after.lastModified().toMSecsSinceEpoch() != h.modifiedMs)
        h.fault = QStringLiteral("changed while checked");
    return h;
}

LanSharing::Hashed LanSharing::hashUnpacked(const RemoteFileInfo &archive, const QString &folder,
                                            const std::shared_ptr<std::atomic<bool>> &cancel) {
    Hashed h;
    h.entry = archive;
    ExtractedFiles record;
    const Result<ExtractedFiles::Error> loaded =
        ExtractedFiles::load(ExtractedFiles::recordPath(folder, archive.name), &record);
    if (!loaded.ok()) {
        h.fault = loaded.reason();
        return h;
    }
    // Only the digests of the index the version file lists, as the listed version unpacked them.
    if (record.version() != archive.version || record.indexDigest() != archive.mapDigest) {
        h.fault = QStringLiteral("its record is of version %1, index %2")
                      .arg(record.version(), record.indexDigest());
        return h;
    }
    QThread *thread = QThread::currentThread();
    const QThread::Priority was = thread->priority();
    thread->setPriority(QThread::LowestPriority);
    int faults = 0;
    QSet<QByteArray> seen;
    for (const ExtractedFiles::File &f : record.files()) {
        if (seen.contains(f.blake2b))
            continue;
        const QString path = QStringLiteral("%1/%2").arg(folder, f.name);
        const QFileInfo before(path);
        Entry e{f.blake2b, before.absoluteFilePath(), before.size(),
                before.lastModified().toMSecsSinceEpoch()};
        QByteArray digest;
        const auto read =
            before.isFile() && !before.isSymLink() && quint64(e.size) == f.size
                ? ExtractedFiles::digestOf(path, &digest, [cancel](qint64) { return !cancel->load(); })
                : Result<FileDigest::Error>(FileDigest::Error::CannotOpen, QString());
        if (read.code() == FileDigest::Error::Stopped) {
            h.stopped = true;
            break;
        }
        const QFileInfo after(path);
        if (!read.ok() || digest != f.blake2b || after.size() != e.size ||
            after.lastModified().toMSecsSinceEpoch() != e.modifiedMs) {
            ++faults;
            continue;
        }
        seen.insert(f.blake2b);
        h.size += e.size;
        h.entries.append(e);
    }
    thread->setPriority(was == QThread::InheritPriority ? QThread::NormalPriority : was);
    if (faults > 0)
        h.fault = QStringLiteral("%1 of its %2 files do not hold what its record lists")
                      .arg(faults)
                      .arg(record.files().size());
    return h;
}
