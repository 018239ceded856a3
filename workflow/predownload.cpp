#include "workflow/predownload.h"

#include "archive/archivepatchfiles.h"
#include "core/diskroom.h"
#include "download/cdnhosts.h"
#include "download/xdmanager.h"
#include "settings/globalsettings.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"
#include "trust/signaturelookup.h"
#include "workflow/archiveextraction.h"
#include "workflow/labelargs.h"
#include "workflow/launcherconfig.h"
#include "workflow/meteredwait.h"
#include "workflow/predownloadfolder.h"
#include "workflow/predownloadsources.h"
#include "workflow/progresstext.h"
#include "workflow/roomshortage.h"
#include "workflow/versioncheck.h"
#include "workflow/workflowsetup.h"

#include <QDebug>
#include <QDir>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace {

QString sizeText(qint64 bytes) {
    return ProgressText::formatSize(static_cast<float>(bytes), 2);
}

} // namespace

PreDownload::PreDownload(const WorkflowSetup &setup, QNetworkAccessManager *network, LauncherConfig *config,
                         CdnHosts *hosts, QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , network(network)
    , config(config)
    , hosts(hosts)
    , checkTimer(new QTimer(this))
    , tickTimer(new QTimer(this)) {
    checkTimer->setSingleShot(true);
    connect(checkTimer, &QTimer::timeout, this, &PreDownload::check);
    tickTimer->setInterval(setup.speedTickMs);
    connect(tickTimer, &QTimer::timeout, this, &PreDownload::tick);
}

PreDownload::~PreDownload() {
    stop();
}

QStringList PreDownload::newerThanInstalled(const QMap<QString, RemoteFileInfo> &listed) {
    const QMap<QString, RemoteFileInfo> &installed = VersionTable::instance();
    QStringList newer;
    for (const RemoteFileInfo &e : listed) {
        if (e.name == QLatin1String(LauncherFileName))
            continue;
        const auto now = installed.constFind(e.name);
        // A version the installed release has caught up with or passed (a hotfix published after
        // the coming list) is not fetched.
        if (now != installed.cend() && (PreDownloadFolder::sameLine(*now, e) ||
                                        VersionCheck::compareVersions(now->version, e.version) >= 0))
            continue;
        newer << e.name;
    }
    return newer;
}

void PreDownload::check() {
    if (checking || manager)
        return;
    checkTimer->stop();
    // Whatever the hosts say: what was fetched for versions the installed release has now (taken
    // on its release day, or fetched by the game's update) is of no use any more.
    if (QFileInfo::exists(PreDownloadFolder::path(setup.folder))) {
        QMap<QString, RemoteFileInfo> keep = PreDownloadFolder::coming(setup.folder);
        const QStringList newer = newerThanInstalled(keep);
        for (auto it = keep.begin(); it != keep.end();)
            it = newer.contains(it.key()) ? std::next(it) : keep.erase(it);
        if (keep.isEmpty())
            PreDownloadFolder::removeAll(setup.folder);
        else
            PreDownloadFolder::keepOnly(setup.folder, keep);
    }
    checking = true;
    askedHosts = hosts->usable();
    if (askedHosts.isEmpty())
        askedHosts << setup.cdnBaseUrl;
    hostIndex = 0;
    lookup.reset(); // a check stopped while it asked for a signature starts afresh
    askedAgain = false;
    missingHosts = 0;
    firstRefusal.clear();
    askHost();
}

void PreDownload::askHost() {
    const QString name = ReleaseVerifier::comingListName(setup.versionFile);
    reply = CdnRequest::get(network, QUrl(askedHosts.at(hostIndex) + name), setup.versionFileTimeoutMs);
    QNetworkReply *asked = reply;
    connect(asked, &QNetworkReply::downloadProgress, asked, [asked](qint64 received, qint64 size) {
        if (received > VersionTable::MaxVersionFileSize || size > VersionTable::MaxVersionFileSize)
            asked->abort();
    });
    connect(asked, &QNetworkReply::finished, this, [this, asked]() { listArrived(asked); });
}

void PreDownload::listArrived(QNetworkReply *answer) {
    answer->deleteLater();
    if (answer != reply)
        return;
    reply = nullptr;
    if (answer->error() != QNetworkReply::NoError) {
        hostDone(QStringLiteral("coming release list not available: %1").arg(answer->errorString()),
                 CdnRequest::saysMissing(answer) ? Missing : Unreachable);
        return;
    }
    const QByteArray list = answer->read(VersionTable::MaxVersionFileSize + 1);
    if (list.size() > VersionTable::MaxVersionFileSize) {
        hostDone(QStringLiteral("coming release list refused: too large"), Refused);
        return;
    }
    if (setup.releasePublicKey.isEmpty())
        accept(list, -1);
    else
        askSignature(list);
}

void PreDownload::askSignature(const QByteArray &list) {
    if (!lookup) {
        ReleaseVerifier verifier(setup.releasePublicKey);
        verifier.setRevoked(config->revokedKeys());
        lookup = std::make_unique<SignatureLookup>(verifier, SignatureLookup::Kind::Coming,
                                                   ReleaseVerifier::comingListName(setup.versionFile), list,
                                                   config->newestAcceptedComing());
    }
    reply =
        CdnRequest::get(network, QUrl(askedHosts.at(hostIndex) + lookup->next()), setup.versionFileTimeoutMs);
    QNetworkReply *asked = reply;
    connect(asked, &QNetworkReply::downloadProgress, asked, [asked](qint64 received, qint64 size) {
        if (received > MinisignSignature::MaxFileSize || size > MinisignSignature::MaxFileSize)
            asked->abort();
    });
    connect(asked, &QNetworkReply::finished, this, [this, asked, list]() { signatureArrived(asked, list); });
}

void PreDownload::signatureArrived(QNetworkReply *answer, const QByteArray &list) {
    answer->deleteLater();
    if (answer != reply || !lookup)
        return;
    reply = nullptr;
    if (answer->error() != QNetworkReply::NoError) {
        const bool answered = CdnRequest::saysMissing(answer) ||
                              answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 0;
        lookup->notAnswered(
            QStringLiteral("coming release signature not available: %1").arg(answer->errorString()),
            answered);
    } else {
        lookup->answered(answer->read(MinisignSignature::MaxFileSize + 1));
    }
    if (!lookup->isDone()) {
        askSignature(list);
        return;
    }
    const ReleaseVerifier::Result result = lookup->result();
    const bool mismatch = lookup->listMismatch();
    // A list without its signature is refused like a bad signature; no answer at all says nothing.
    const HostAnswer outcome = lookup->lastUnanswered() && !lookup->defaultAnswered() ? Unreachable : Refused;
    const QString why = lookup->defaultAnswered()
                            ? QStringLiteral("coming release list refused: ") + result.reason
                            : result.reason;
    lookup.reset();
    if (result.ok) {
        accept(list, result.timestamp);
        return;
    }
    if (mismatch && !askedAgain) {
        // The list and the signature of two publications (a cache holding one of them): this host is
        // asked for both once more a little later.
        askedAgain = true;
        qDebug().noquote() << why + ", asking again";
        QTimer::singleShot(setup.signatureRetryMs, this, [this]() {
            if (checking) // not stopped meanwhile
                askHost();
        });
        return;
    }
    hostDone(why, outcome);
}

void PreDownload::hostDone(const QString &why, HostAnswer answer) {
    qDebug().noquote() << why + " (" + CdnHosts::hostName(askedHosts.at(hostIndex)) + ")";
    if (answer == Missing)
        ++missingHosts;
    else if (answer == Refused && firstRefusal.isEmpty())
        firstRefusal = why;
    askedAgain = false;
    if (++hostIndex < askedHosts.size()) {
        QTimer::singleShot(0, this, &PreDownload::askHost);
        return;
    }
    checking = false;
    // Hosts that did not answer say nothing; one that answered with a list (even a refused one)
    // has not withdrawn it.
    if (missingHosts > 0 && firstRefusal.isEmpty()) {
        if (QFileInfo::exists(PreDownloadFolder::path(setup.folder))) {
            qWarning() << "the coming release was withdrawn, removing its pre-download";
            PreDownloadFolder::removeAll(setup.folder);
            QJsonObject withdrawn;
            withdrawn.insert(QStringLiteral("event"), QStringLiteral("predownload withdrawn"));
            withdrawn.insert(QStringLiteral("version"), comingVersion);
            emit event(withdrawn);
        }
        coming.clear();
        wanted.clear();
        total = completeBytes = 0;
        setState(Idle);
        scheduleCheck(setup.preloadCheckMs);
        return;
    }
    // A refused list changes nothing: the next check asks again, as it would after no answer.
    if (!firstRefusal.isEmpty())
        refuse(firstRefusal);
    scheduleCheck(firstRefusal.isEmpty() ? setup.preloadRetryMs : setup.preloadCheckMs);
}

void PreDownload::refuse(const QString &why) {
    qWarning().noquote() << why;
    QJsonObject refused;
    refused.insert(QStringLiteral("event"), QStringLiteral("predownload refused"));
    refused.insert(QStringLiteral("reason"), why);
    emit event(refused);
}

void PreDownload::refuseStale(qint64 signedAt) {
    // The list may stay on the CDN for long after its day: a run says so once in its log, and the
    // event goes once a list (by its signed time; an unsigned list once a run).
    if (signedAt == staleTold)
        return;
    staleTold = signedAt;
    const QString why =
        QStringLiteral("coming release not taken: it lists nothing newer than the installed release");
    if (signedAt >= 0 && signedAt == config->staleComing()) {
        qWarning().noquote() << why;
        return;
    }
    if (signedAt >= 0 && !config->setStaleComing(signedAt))
        qWarning() << "cannot record the stale coming release's time in" << config->path();
    refuse(why);
}

void PreDownload::accept(const QByteArray &list, qint64 signedAt) {
    QMap<QString, RemoteFileInfo> table;
    QString refusedLine;
    if (!VersionTable::parseFile(list, &table, &refusedLine)) {
        hostDone(QStringLiteral("coming release list refused: unreadable line %1").arg(refusedLine.left(120)),
                 Refused);
        return;
    }
    checking = false;
    const QStringList differing = newerThanInstalled(table);
    // Listing nothing newer than the release installed: the coming release is out (what was fetched
    // for it was taken on its day), or the list is stale. Its signed time says nothing here: a
    // hotfix released after the list was published leaves the list's newer files to come.
    if (differing.isEmpty()) {
        refuseStale(signedAt);
        scheduleCheck(setup.preloadCheckMs);
        return;
    }
    if (signedAt > config->newestAcceptedComing() && !config->setNewestAcceptedComing(signedAt))
        qWarning() << "cannot record the coming release's time in" << config->path();

    coming = table;
    wanted = differing;
    QMap<QString, RemoteFileInfo> keep;
    comingVersion.clear();
    total = 0;
    for (const QString &name : qAsConst(wanted)) {
        const RemoteFileInfo &e = coming.value(name);
        keep.insert(name, e);
        total += e.size;
        if (comingVersion.isEmpty() || VersionCheck::compareVersions(comingVersion, e.version) == -1)
            comingVersion = e.version;
    }
    if (coming.contains(ArchiveExtraction::gameExecutableName()))
        comingVersion = coming.value(ArchiveExtraction::gameExecutableName()).version;
    // What was fetched for other versions (a replaced coming release, a file the installed release
    // caught up with) goes.
    PreDownloadFolder::keepOnly(setup.folder, keep);
    if (!PreDownloadFolder::setComing(setup.folder, keep))
        qWarning() << "cannot record the coming release in" << PreDownloadFolder::path(setup.folder);
    startFetching();
}

bool PreDownload::startFetching(bool onlyIfShortOfRoom) {
    const QMap<QString, RemoteFileInfo> complete = PreDownloadFolder::completeFiles(setup.folder);
    completeBytes = 0;
    QStringList missing;
    for (const QString &name : qAsConst(wanted)) {
        if (complete.contains(name) && PreDownloadFolder::sameLine(complete.value(name), coming.value(name)))
            completeBytes += coming.value(name).size;
        else
            missing << name;
    }
    if (missing.isEmpty()) {
        if (current != Complete)
            qDebug().noquote() << "pre-download of " + comingVersion +
                                      " complete: " + QString::number(wanted.size()) + " files";
        setState(Complete);
        scheduleCheck(setup.preloadCheckMs);
        return false;
    }
    if (!QDir().mkpath(PreDownloadFolder::path(setup.folder))) {
        qWarning() << "cannot create the pre-download folder" << PreDownloadFolder::path(setup.folder);
        scheduleCheck(setup.preloadRetryMs);
        return false;
    }
    manager = new XDManager(PreDownloadFolder::path(setup.folder), this);
    manager->setTable(&coming);
    manager->setHosts(hosts);
    manager->setTransferTimeout(setup.pieceTimeoutMs);
    manager->setRetryPolicy({setup.pieceRetryFirstMs, setup.pieceRetryMaxMs, setup.pieceRetryTotalMs});
    connect(manager, &XDManager::fileDownloadFinished, this, &PreDownload::fileFinished);
    connect(manager, &XDManager::allFileDownloadFinished, this, &PreDownload::allFinished);
    // An archive whose entries' plan failed is fetched whole: its staged update is out of date.
    connect(manager, &XDManager::fileFetchedWhole, this, [this](const QString &name) {
        if (byEntries.remove(name) > 0)
            ArchivePatchFiles::removeAll(PreDownloadFolder::path(setup.folder), name);
    });
    qint64 needed = 0;
    byEntries.clear();
    // Only what changed is fetched, from the installed copies as the game's update would.
    for (const QString &name : qAsConst(missing)) {
        const RemoteFileInfo &e = coming.value(name);
        const QString installed = config->installedVersion(name);
        const bool entries = PreDownloadSources::queue(manager, setup.folder, e, installed);
        if (entries)
            byEntries.insert(name, installed);
        needed += PreDownloadSources::bytesToWrite(setup.folder, e, entries);
    }
    failed.clear();
    writeFailed = false;
    shortBy = DiskRoom::shortBy(PreDownloadFolder::path(setup.folder), needed);
    if (shortBy > 0) {
        qWarning().noquote() << QStringLiteral(
                                    "not enough disk space to pre-download %1: %2 bytes more needed")
                                    .arg(comingVersion)
                                    .arg(shortBy);
        QJsonObject shortage = RoomShortage::event(shortBy);
        shortage.insert(QStringLiteral("predownload"), true);
        emit event(shortage);
        dropManager();
        setState(ShortOfRoom);
        // Room the player makes is found at the next check: soon.
        scheduleCheck(setup.preloadRetryMs);
        return true;
    }
    if (onlyIfShortOfRoom) {
        dropManager();
        return false;
    }
    qDebug().noquote() << QStringLiteral("pre-downloading %1: %2 files, %3 bytes")
                              .arg(comingVersion)
                              .arg(missing.size())
                              .arg(needed);
    QJsonObject started;
    started.insert(QStringLiteral("event"), QStringLiteral("predownload started"));
    started.insert(QStringLiteral("version"), comingVersion);
    started.insert(QStringLiteral("files"), missing.size());
    emit event(started);
    lastFetched = doneBytes();
    bytesPerSecond = 0;
    fetchStarted = false;
    return startUnlessWaiting();
}

bool PreDownload::holdsForGame() const {
    return gameRunning && GlobalSettings::instance()->value(PauseDownloadsWhilePlaying) == 1;
}

void PreDownload::fileFinished(ErrorCode code, const QString &name) {
    if (code == NoError) {
        const auto staged = byEntries.constFind(name);
        if (!(staged != byEntries.cend()
                  ? PreDownloadFolder::addStaged(setup.folder, coming.value(name), *staged)
                  : PreDownloadFolder::addComplete(setup.folder, coming.value(name)))) {
            failed << name;
            writeFailed = true;
        } else {
            completeBytes += coming.value(name).size;
        }
        return;
    }
    failed << name;
    if (code == WriteError)
        writeFailed = true;
    qWarning().noquote() << "pre-download of " + name +
                                " failed: " + (manager ? manager->failureReason(name) : QString());
}

void PreDownload::allFinished() {
    dropManager();
    tickTimer->stop();
    if (failed.isEmpty()) {
        qDebug().noquote() << "pre-download of " + comingVersion + " complete";
        QJsonObject done;
        done.insert(QStringLiteral("event"), QStringLiteral("predownload complete"));
        done.insert(QStringLiteral("version"), comingVersion);
        done.insert(QStringLiteral("bytes"), double(total));
        emit event(done);
        setState(Complete);
        scheduleCheck(setup.preloadCheckMs);
    } else {
        const int failedFiles = failed.size();
        // The disk filled up meanwhile: weighed again with what was kept, it waits for room like a
        // disk that was short from the start.
        if (writeFailed && startFetching(true)) {
            emit ended();
            return;
        }
        QJsonObject stopped;
        stopped.insert(QStringLiteral("event"), QStringLiteral("predownload failed"));
        stopped.insert(QStringLiteral("version"), comingVersion);
        stopped.insert(QStringLiteral("files"), failedFiles);
        emit event(stopped);
        setState(Idle);
        scheduleCheck(setup.preloadRetryMs);
    }
    emit ended();
}

void PreDownload::pause() {
    pausedByPlayer = true;
    if (current == Fetching && manager) {
        manager->pause();
        tickTimer->stop();
        setState(Paused);
    }
}

void PreDownload::resume() {
    pausedByPlayer = false;
    if (current == Paused && manager) {
        lastFetched = doneBytes();
        goOn();
        tickTimer->start();
        setState(Fetching);
    }
}

void PreDownload::goOn() {
    // Held before it ever started: the manager starts now.
    if (fetchStarted) {
        manager->resume();
    } else {
        fetchStarted = true;
        manager->start();
    }
}

void PreDownload::setGameRunning(bool running) {
    gameRunning = running;
    if (!manager)
        return;
    if (running && current == Fetching && holdsForGame()) {
        manager->pause();
        tickTimer->stop();
        setState(Held);
    } else if (!running && current == Held) {
        if (pausedByPlayer) {
            setState(Paused);
            return;
        }
        lastFetched = doneBytes();
        goOn();
        tickTimer->start();
        setState(Fetching);
    }
}

void PreDownload::stop() {
    checkTimer->stop();
    tickTimer->stop();
    if (reply) {
        QNetworkReply *asked = reply;
        reply = nullptr;
        asked->disconnect(this);
        asked->abort();
        asked->deleteLater();
    }
    checking = false;
    dropManager();
}

void PreDownload::dropManager() {
    if (!manager)
        return;
    // Deleting the manager writes and records what arrived; nothing it says meanwhile matters.
    XDManager *ending = manager;
    manager = nullptr;
    ending->disconnect(this);
    delete ending;
}

void PreDownload::scheduleCheck(int ms) {
    if (ms > 0)
        checkTimer->start(ms);
}

qint64 PreDownload::doneBytes() const {
    return completeBytes + (manager ? manager->resumedBytes() + manager->writtenBytes() : 0);
}

int PreDownload::percent() const {
    return total > 0 ? int(double(doneBytes()) * 100.0 / double(total)) : 0;
}

void PreDownload::tick() {
    const qint64 done = doneBytes();
    bytesPerSecond = ProgressText::smoothedSpeed(done, lastFetched, bytesPerSecond);
    lastFetched = done;
    showProgress();
    emit changed();
}

void PreDownload::setState(State state) {
    const State was = current;
    current = state;
    if (state == Idle && was != Idle) {
        // What the page said of the pre-download is over: the game is up to date.
        emit progress(WorkflowStatus::GameBar, 0.0f);
        emit status(WorkflowStatus::GameLine, WorkflowStatus::text(QStringLiteral("UPDATE_FINISHED")));
        emit status(WorkflowStatus::SpeedLine, WorkflowStatus::cleared());
        emit status(WorkflowStatus::TimeLine, WorkflowStatus::cleared());
    }
    showProgress();
    if (was != state || state == Fetching)
        emit changed();
}

void PreDownload::showProgress() {
    const QString version = comingVersion;
    switch (current) {
    case Idle:
        return;
    case Fetching:
    case Paused: {
        const qint64 done = doneBytes();
        emit progress(WorkflowStatus::GameBar,
                      total > 0 ? float(double(done) * 100.0 / double(total)) : 0.0f);
        emit status(
            WorkflowStatus::GameLine,
            WorkflowStatus::text(current == Fetching ? QStringLiteral("PREDOWNLOAD_TIP")
                                                     : QStringLiteral("PREDOWNLOAD_PAUSED_TIP"),
                                 {LabelArgs::text(version), LabelArgs::number(percent()),
                                  LabelArgs::text(sizeText(done)), LabelArgs::text(sizeText(total))}));
        if (current == Fetching) {
            emit status(WorkflowStatus::SpeedLine,
                        WorkflowStatus::text(QStringLiteral("DOWNLOADING_SPEED_TIP"),
                                             {LabelArgs::text(sizeText(bytesPerSecond))}));
            emit status(WorkflowStatus::TimeLine,
                        WorkflowStatus::text(QStringLiteral("ESTIMATED_TIME_TIP"),
                                             {LabelArgs::text(ProgressText::remainingTimeText(
                                                 total - done, bytesPerSecond))}));
            return;
        }
        break;
    }
    case Held:
        emit status(WorkflowStatus::GameLine,
                    WorkflowStatus::text(QStringLiteral("PREDOWNLOAD_WAITING"), {LabelArgs::text(version)}));
        break;
    case ShortOfRoom:
        emit status(WorkflowStatus::GameLine,
                    WorkflowStatus::text(QStringLiteral("PREDOWNLOAD_NO_ROOM"),
                                         {LabelArgs::text(version), LabelArgs::text(sizeText(shortBy))}));
        break;
    case Complete:
        emit status(WorkflowStatus::GameLine,
                    WorkflowStatus::text(QStringLiteral("PREDOWNLOAD_DONE"), {LabelArgs::text(version)}));
        break;
    case MeteredWaiting:
        emit status(WorkflowStatus::GameLine,
                    MeteredWait::line(QStringLiteral("PREDOWNLOAD_METERED"), total - doneBytes(),
                                      {LabelArgs::text(version)}));
        break;
    }
    emit status(WorkflowStatus::SpeedLine, WorkflowStatus::cleared());
    emit status(WorkflowStatus::TimeLine, WorkflowStatus::cleared());
}
