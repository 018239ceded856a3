#include "workflow/gameresourceupdate.h"

#include "archive/archivepatchfiles.h"
#include "core/diskroom.h"
#include "download/bandwidthcap.h"
#include "download/cdnhosts.h"
#include "download/xdmanager.h"
#include "patch/zipindex.h"
#include "trust/versiontable.h"
#include "workflow/archivepatchpreparer.h"
#include "workflow/diskadoption.h"
#include "workflow/installedgame.h"
#include "workflow/lansharing.h"
#include "workflow/launcherconfig.h"
#include "workflow/predownloadfolder.h"
#include "workflow/predownloadsources.h"
#include "workflow/roomshortage.h"
#include "workflow/unpackroom.h"
#include "workflow/workflowsetup.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QSet>
#include <QTimer>

namespace {

// Finished files are recorded as installed in batches: a second after the first of a batch, or at
// this many files, whichever comes first, and at every end, pause and close. Rewriting
// "config.ini" per file would cost time in proportion to the files installed so far.
constexpr int RecordBatchMs = 1000;
constexpr int RecordBatchFiles = 512;

} // namespace

GameResourceUpdate::GameResourceUpdate(const WorkflowSetup &setup, LauncherConfig *config, CdnHosts *hosts,
                                       QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , config(config)
    , hosts(hosts)
    , runHosts(new CdnHosts(hosts, this))
    , installed(setup.folder, config)
    , unpackRoom(new UnpackRoom(setup.folder, hosts, setup.pieceTimeoutMs, this))
    , adoption(new DiskAdoption(setup.folder, config, unpackRoom, setup.verifyRefreshMs, this))
    , speedTimer(new QTimer(this))
    , recordTimer(new QTimer(this)) {
    // Download speed, measured once a tick.
    speedTimer->setInterval(setup.speedTickMs);
    connect(speedTimer, SIGNAL(timeout()), this, SLOT(calcDownloadSpeed()));
    recordTimer->setSingleShot(true);
    recordTimer->setInterval(RecordBatchMs);
    connect(recordTimer, &QTimer::timeout, this, &GameResourceUpdate::recordFinishedFiles);
    connect(adoption, &WorkflowPart::status, this, &WorkflowPart::status);
    connect(adoption, &WorkflowPart::progress, this, &WorkflowPart::progress);
    connect(adoption, &WorkflowPart::event, this, &WorkflowPart::event);
    connect(adoption, &DiskAdoption::finished, this, [this] {
        installed.addCopiesOnDisk(adoption->differingCopies());
        emit adopted();
    });
}

bool GameResourceUpdate::adoptFilesOnDisk() {
    return adoption->start(installed.damagedNames());
}

GameResourceUpdate::~GameResourceUpdate() {
    cancelVerification();
    // The manager uses the run's hosts to its end: it goes before them (and tells this nothing
    // more, as when it went with the other children).
    if (manager) {
        manager->disconnect(this);
        delete manager;
        manager = nullptr;
    }
    // Files still staged are recorded by the configuration itself, which may be gone by now.
}

void GameResourceUpdate::recordFinishedFiles() {
    recordTimer->stop();
    // Also when nothing new is staged: a batch that found the disk full is written once there is room.
    const int count = config->stagedCount();
    if (!config->recordStaged())
        qWarning() << "cannot record finished files" << config->path() << count;
}

QString GameResourceUpdate::installedVersion(const QString &name) const {
    return config->installedVersion(name);
}

void GameResourceUpdate::forgetDamagedFile(const InstallCheck::File &file) {
    const QString &name = file.name;
    const QString reason = file.entry.isEmpty()
                               ? file.damage
                               : QStringLiteral("%1 (from %2): %3").arg(file.entry, name, file.damage);
    qWarning().noquote() << "installed file damaged, queued again:" << name << "-" << reason;
    if (!installed.forgetDamaged(file))
        return;
    QJsonObject damaged;
    damaged.insert(QStringLiteral("file"), name);
    damaged.insert(QStringLiteral("event"), QStringLiteral("installed file damaged"));
    damaged.insert(QStringLiteral("reason"), reason);
    if (!file.entry.isEmpty())
        damaged.insert(QStringLiteral("entry"), file.entry);
    emit event(damaged);
}

void GameResourceUpdate::prepareGameResources() {
    queuedCount = 0;
    total = 0;
    present = 0;
    queuedArchives.clear();
    fetching = false;
    preparers.clear();
    installed.forgetUnlistedFiles();

    // A file recorded as installed that is gone or has another size than listed is fetched again:
    // its record goes first, so it is queued below like any file not installed.
    for (InstallCheck::File &f : installed.installedFilesOnDisk()) {
        f.damage = InstallCheck::sizeDamage(f.path, f.size);
        if (!f.damage.isEmpty())
            forgetDamagedFile(f);
    }
    installed.removeUnpackedArchives();

    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    const QMap<QString, PreDownloadFolder::Complete> preDownloaded =
        PreDownloadFolder::complete(setup.folder);
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        if (e.name == QLatin1String(LauncherFileName) || installedVersion(e.name) == e.version)
            continue;
        ++queuedCount;
        total += e.size;
        const PreDownloadFolder::HandOver handed =
            PreDownloadFolder::handOver(setup.folder, e, preDownloaded, installedVersion(e.name));
        // Its changed entries were fetched before its release day: they wait beside it to be
        // unpacked, as if this run had fetched them.
        if (handed == PreDownloadFolder::UpdateHandedOver) {
            downloadedArchives.append(e.name);
            config->stageDownloaded(e.name, e.version, true);
            ++finishedCount;
            present += e.size;
            continue;
        }
        if (InstalledGame::isArchive(e.name))
            queuedArchives.append(e);
        if (!manager) {
            manager = new XDManager(setup.folder, this);
            manager->setHosts(runHosts);
            manager->setTransferTimeout(setup.pieceTimeoutMs);
            manager->setRetryPolicy(
                {setup.pieceRetryFirstMs, setup.pieceRetryMaxMs, setup.pieceRetryTotalMs});
            connect(manager, SIGNAL(downloadStart()), this, SLOT(downloadStarted()));
            connect(manager, SIGNAL(fileDownloadFinished(ErrorCode, QString)), this,
                    SLOT(gameResDownloadFinished(ErrorCode, QString)));
            connect(manager, SIGNAL(fileDownloadingStart(QString)), this,
                    SLOT(gameResDownloadingStarted(QString)));
            connect(manager, SIGNAL(allFileDownloadFinished()), this, SLOT(allGameResDownloadFinished()));
            connect(manager, &XDManager::filePatched, this, &GameResourceUpdate::reportPatchedFile);
            // An archive fetched whole: an update by its entries that an earlier run left is not this one.
            connect(manager, &XDManager::fileFetchedWhole, this, [this](const QString &name) {
                if (ZipIndex::wantsIndex(name))
                    ArchivePatchFiles::removeUpdate(setup.folder, name);
            });
            connect(unpackRoom, &UnpackRoom::counted, this, [this] {
                // Launchers nearby are waited for only when something is to be fetched.
                if (!lan || !fetching) {
                    emit begun(beginOnceCounted());
                    return;
                }
                lan->whenAnswered(this, [this] {
                    // Left meanwhile: nothing is started.
                    if (manager)
                        emit begun(beginOnceCounted());
                });
            });
        }
        const QString remotePath = QStringLiteral("v%1_%2").arg(e.version, e.name);
        // Fetched before its release day: the download only checks it and puts it in place.
        if (handed == PreDownloadFolder::CopyHandedOver) {
            manager->addFile(remotePath, e.name);
            continue;
        }
        fetching = true;
        DeltaSource delta = installed.deltaSourceFor(e);
        // Without an older copy the map still lets peers send the file's pieces, each checked.
        if (!delta.isSet())
            delta = PreDownloadSources::blockMapOf(e);
        ArchiveSource archive = installed.archiveSourceFor(e);
        // Never unpacked here: installed from its entries while a launcher nearby sends them.
        if (!archive.isSet() && lan && lan->isEnabled()) {
            archive = PreDownloadSources::entryIndex(setup.folder, e);
            archive.firstInstall = true;
        }
        if (delta.hasMap()) {
            manager->addFile(remotePath, e.name, delta);
        } else if (archive.isSet()) {
            auto *preparer = new ArchivePatchPreparer(archive);
            preparer->setIndex(adoption->takeIndex(e.name)); // the index the adoption fetched
            connect(preparer, &SpanPlanner::finished, this,
                    [this, preparer] { entryPeerBytes += preparer->peerBytes(); });
            preparers.insert(e.name, preparer);
            manager->addFile(remotePath, e.name, preparer);
        } else {
            manager->addFile(remotePath, e.name);
        }
    }
    countEarlierRuns();
}

// The files of this release, as the version file lists them: an update that a closed launcher left
// half way goes on only while the release is the same.
QByteArray GameResourceUpdate::releaseDigest() {
    QCryptographicHash digest(QCryptographicHash::Sha256);
    const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &e = it.value();
        digest.addData(
            QStringLiteral("%1\t%2\t%3\t%4\n").arg(e.name, e.version).arg(e.size).arg(e.md5).toUtf8());
    }
    return digest.result().toHex();
}

// The files an earlier launcher run of the same update finished are installed and no longer
// queued, yet part of its progress: the page counts them as done, as it did before the close.
void GameResourceUpdate::countEarlierRuns() {
    earlier = 0;
    if (!manager) {
        config->clearUpdateRun();
        return;
    }
    const QByteArray release = releaseDigest();
    const LauncherConfig::UpdateRun run = config->updateRun();
    // A file queued again since (damaged, gone) makes the update larger than it began: it begins anew.
    if (run.release == release && run.bytes >= total) {
        earlier = run.bytes - total;
        return;
    }
    if (!config->setUpdateRun({release, total}))
        qWarning() << "cannot record the update's size" << config->path() << total;
}

void GameResourceUpdate::reportPatchedFile(const QString &name, qint64 reused, qint64 fetched) {
    qDebug().noquote() << QStringLiteral(
                              "file patched from its older copy: %1, %2 bytes reused, %3 bytes fetched")
                              .arg(name)
                              .arg(reused)
                              .arg(fetched);
    QJsonObject patched;
    patched.insert(QStringLiteral("file"), name);
    patched.insert(QStringLiteral("event"), QStringLiteral("file patched"));
    patched.insert(QStringLiteral("reused"), double(reused));
    patched.insert(QStringLiteral("fetched"), double(fetched));
    emit event(patched);
}

void GameResourceUpdate::beginGameResourcePhase() {
    if (!manager) {
        // Nothing is left to resume: a flag from an earlier interrupted run must not hold back
        // the next real update behind KEEP UPDATE.
        if (config->hasManualResume())
            config->setManualResume(false);
        emit begun(NothingToFetch);
        return;
    }
    if (config->manualResume()) {
        offered = true;
        showProgress(doneBytes());
        emit begun(ResumeOffered);
        return;
    }
    // The entry indexes come first for the room check: an archive updated by its entries is being
    // checked for what changed from now on, not waiting on nothing.
    if (!preparers.isEmpty()) {
        clearSpeedTexts();
        emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("CHECKING_CHANGES")));
    }
    // Counted archives are not counted again: KEEP UPDATE only weighs the free space anew.
    unpackRoom->count(queuedArchives, QSet<QString>(preparers.keyBegin(), preparers.keyEnd()));
}

GameResourceUpdate::Begin GameResourceUpdate::beginOnceCounted() {
    for (auto it = preparers.cbegin(); it != preparers.cend(); ++it) {
        const QByteArray index = unpackRoom->takeIndex(it.key());
        if (it.value() && !index.isEmpty())
            it.value()->setIndex(index);
    }
    if (const qint64 shortBy = missingRoom(); shortBy > 0) {
        showMissingRoom(shortBy);
        return ShortOfRoom;
    }
    if (roomShortShown)
        clearSpeedTexts(); // the folder named while short; the speed comes at the next tick
    addPeers();
    manager->start();
    startMeasuring();
    // Said at once rather than at the first tick.
    if (checkingChanges())
        showProgress(doneBytes());
    return Fetching;
}

void GameResourceUpdate::addPeers() {
    if (!lan)
        return;
    // Once a run: KEEP UPDATE begins again with the same hosts.
    if (lanConnected)
        return;
    lanConnected = true;
    for (const QString &peer : lan->peers())
        runHosts->addPeer(peer);
    connect(lan, &LanSharing::peerFound, runHosts, &CdnHosts::addPeer);
}

qint64 GameResourceUpdate::missingRoom() const {
    const qint64 available = DiskRoom::available(setup.folder);
    // Where the free space cannot be told, the download goes ahead and a full disk shows as a
    // write error.
    if (available < 0)
        return 0;
    // A file being replaced needs its whole new size beside the old copy until it is in place, and
    // an archive its unpacked files beside it until they are.
    const qint64 unpacked = manager ? unpackRoom->unpackedBytes() : 0;
    const qint64 needed = total + unpacked - (manager ? manager->resumedBytes() : 0);
    if (needed <= available)
        return 0;
    qWarning().noquote() << "not enough disk space for the update:" << setup.folder
                         << QStringLiteral("needs %1 bytes (%2 of them to unpack), %3 free")
                                .arg(needed)
                                .arg(unpacked)
                                .arg(available);
    return needed - available;
}

// Nothing is fetched that could not be written: the page says how much room to make, and KEEP
// UPDATE checks again.
void GameResourceUpdate::showMissingRoom(qint64 shortBy) {
    calcDownloadSpeed();
    clearSpeedTexts();
    emit status(WorkflowStatus::GameLine, RoomShortage::text(shortBy, roomShortShown));
    emit status(WorkflowStatus::SpeedLine, RoomShortage::folderText(setup.folder));
    roomShortShown = true;
    emit event(RoomShortage::event(shortBy));
}

void GameResourceUpdate::clearSpeedTexts() {
    emit status(WorkflowStatus::TimeLine, WorkflowStatus::cleared());
    emit status(WorkflowStatus::SpeedLine, WorkflowStatus::cleared());
}

void GameResourceUpdate::startMeasuring() {
    offered = false;
    paused = false;
    const BandwidthCap &cap = BandwidthCap::instance();
    meter.restart(cap.passedBytes(), cap.rate());
    speedTimer->start();
}

bool GameResourceUpdate::measuringSpeed() const {
    return speedTimer->isActive();
}

void GameResourceUpdate::pause() {
    recordFinishedFiles();
    if (manager)
        manager->pause();
    speedTimer->stop();
    paused = true;
    showProgress(doneBytes());
}

void GameResourceUpdate::resume() {
    if (!manager)
        return;
    manager->resume();
    startMeasuring();
}

void GameResourceUpdate::stopForExit() {
    cancelVerification();
    adoption->cancel();
    unpackRoom->cancel();
    speedTimer->stop();
    recordFinishedFiles();
    if (!manager)
        return;
    // Whatever it reports while it ends goes nowhere: this run is over.
    XDManager *ending = manager;
    manager = nullptr;
    ending->disconnect(this);
    delete ending;
}

void GameResourceUpdate::downloadStarted() {
    qDebug() << "downloadStarted";
    startMeasuring();
    emit downloading();
}

void GameResourceUpdate::gameResDownloadingStarted(QString filename) {
    qDebug().noquote() << "gameResDownloadingStarted " + filename + " download start";
    started.append(filename);
}

void GameResourceUpdate::gameResDownloadFinished(ErrorCode code, QString filename) {
    qDebug().noquote() << QStringLiteral("gameResDownloadFinished code=%1, filename").arg(int(code)) +
                              filename;
    started.removeOne(filename);

    const char *eventName = nullptr;
    switch (code) {
    case NoError: {
        const QMap<QString, RemoteFileInfo> &table = VersionTable::instance();
        const auto it = table.constFind(filename);
        if (it == table.cend()) {
            qDebug().noquote() << "downloaded file missing from the version table: " + filename;
            return;
        }
        const RemoteFileInfo &e = it.value();
        if (InstalledGame::isArchive(e.name) && !downloadedArchives.contains(e.name))
            downloadedArchives.append(e.name);
        config->stageDownloaded(e.name, e.version, InstalledGame::isArchive(e.name));
        if (config->stagedCount() >= RecordBatchFiles)
            recordFinishedFiles();
        else if (!recordTimer->isActive())
            recordTimer->start();
        ++finishedCount;
        present += e.size;
        emit fileChecked(e, setup.folder + QLatin1Char('/') + e.name);
        // The bar reaches 100 % with the last file, not at the next tick.
        showProgress(doneBytes());
        return;
    }
    case VerifyError:
        ++verifyErrorCount;
        eventName = "md5 verify failed";
        break;
    case NetworkError: {
        // The player's network is fine when the CDN answers that it lacks the file.
        const int status = manager ? manager->failureStatus(filename) : 0;
        if (status == 404 || status == 410) {
            ++missingFileCount;
        } else {
            ++networkErrorCount;
            if (manager && manager->failedWhileAway(filename))
                ++awayErrorCount;
        }
        eventName = "game src download failed";
        break;
    }
    case WriteError:
        ++writeErrorCount;
        eventName = "file write error";
        break;
    }
    if (!eventName)
        return;
    QJsonObject failure;
    failure.insert(QStringLiteral("file"), filename);
    failure.insert(QStringLiteral("event"), QString::fromLatin1(eventName));
    // Why it failed, as the download engine saw it: the code alone does not tell a 404 from a reset.
    const QString reason = manager ? manager->failureReason(filename) : QString();
    if (!reason.isEmpty()) {
        qDebug().noquote() << "download failed: " + reason;
        failure.insert(QStringLiteral("reason"), reason);
    }
    if (const int status = manager ? manager->failureStatus(filename) : 0; status > 0)
        failure.insert(QStringLiteral("status"), status);
    emit event(failure);
}

void GameResourceUpdate::allGameResDownloadFinished() {
    qDebug() << "allGameResDownloadFinished.";
    // What arrived counts as installed from here on: extraction and the game read the file.
    recordFinishedFiles();
    speedTimer->stop();
    clearSpeedTexts();

    reportSources();
    QString errorKey;
    if (networkErrorCount > 0)
        errorKey = QStringLiteral("NETWORK_ERROR");
    else if (missingFileCount > 0)
        errorKey = QStringLiteral("FILE_MISSING_ON_SERVER");
    else if (verifyErrorCount > 0)
        errorKey = QStringLiteral("VERIFY_ERROR");
    else if (writeErrorCount > 0)
        errorKey = QStringLiteral("WRITE_ERROR");
    // A disk that filled up: what was written is kept, and the page says how much room to make;
    // KEEP UPDATE goes on from there.
    if (errorKey == QLatin1String("WRITE_ERROR")) {
        if (const qint64 shortBy = missingRoom(); shortBy > 0) {
            showMissingRoom(shortBy);
            emit allEnded(QStringLiteral("DISK_SPACE_SHORT"));
            return;
        }
    }
    if (errorKey.isEmpty()) {
        config->clearUpdateRun();
        emit progress(WorkflowStatus::GameBar, 0.0f);
        emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("DOWNLOAD_FINISHED")));
    } else {
        emit status(WorkflowStatus::GameLine, WorkflowStatus::text(errorKey));
    }
    emit allEnded(errorKey);
}

// Where the bytes came from: the launchers nearby and the CDN hosts.
void GameResourceUpdate::reportSources() {
    if (!manager)
        return;
    const qint64 fromPeers = manager->bytesFromPeers() + entryPeerBytes;
    const qint64 fromCdn = manager->bytesFromCdn();
    qDebug().noquote() << QStringLiteral("game files downloaded: %1 bytes from the CDN, %2 bytes from "
                                         "launchers on the local network")
                              .arg(fromCdn)
                              .arg(fromPeers);
    QJsonObject ended;
    ended.insert(QStringLiteral("event"), QStringLiteral("game src download finished"));
    ended.insert(QStringLiteral("files"), finishedCount);
    ended.insert(QStringLiteral("cdnBytes"), double(fromCdn));
    ended.insert(QStringLiteral("peerBytes"), double(fromPeers));
    emit event(ended);
}
