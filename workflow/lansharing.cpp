#include "workflow/lansharing.h"

#include "lan/laninterfaces.h"
#include "lan/lanpeerfinder.h"
#include "lan/lanpeerserver.h"
#include "platform/platform.h"
#include "workflow/installedgame.h"
#include "workflow/launcherconfig.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <utility>

LanSharing::LanSharing(LauncherConfig *config, bool enabled, QObject *parent)
    : QObject(parent)
    , config(config)
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
    qDebug() << "files offered to the local network:" << offered;
}
