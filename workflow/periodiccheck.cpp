#include "workflow/periodiccheck.h"

#include "workflow/versioncheck.h"

#include <QDebug>
#include <QTimer>

PeriodicCheck::PeriodicCheck(const WorkflowSetup &setup, QNetworkAccessManager *manager,
                             LauncherConfig *config, CdnHosts *hosts, QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , manager(manager)
    , config(config)
    , hosts(hosts)
    , timer(new QTimer(this)) {
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &PeriodicCheck::check);
}

void PeriodicCheck::setActive(bool on) {
    active = on;
    if (!on) {
        timer->stop();
        return;
    }
    if (deferred)
        checkIfDeferred();
    else if (!checker && !timer->isActive() && setup.preloadCheckMs > 0)
        timer->start(setup.preloadCheckMs);
}

void PeriodicCheck::defer() {
    VersionTable::instance() = kept;
    deferred = true;
}

void PeriodicCheck::checkIfDeferred() {
    if (active && deferred && !checker)
        check();
}

void PeriodicCheck::check() {
    if (checker)
        return;
    timer->stop();
    deferred = false;
    kept = VersionTable::instance();
    qDebug() << "checking for a newer release while the game page is ready";
    checker = new VersionCheck(setup, manager, config, hosts, this);
    // Its failure events go out; its texts do not: the page stays as it is.
    connect(checker, &WorkflowPart::event, this, &WorkflowPart::event);
    connect(checker, &VersionCheck::upToDate, this, [this]() {
        const bool same = sameGameFiles(kept, VersionTable::instance());
        ended();
        if (same)
            qDebug() << "no newer release";
        else
            emit releaseFound();
    });
    connect(checker, &VersionCheck::launcherOutdated, this, [this](const RemoteFileInfo &entry) {
        ended();
        emit launcherFound(entry);
    });
    connect(checker, &VersionCheck::serverError, this, [this]() { failed("server error"); });
    connect(checker, &VersionCheck::gaveUp, this, [this]() { failed("no version file"); });
    connect(checker, &VersionCheck::releaseExpired, this, [this]() { failed("release expired"); });
    checker->retryVersionCheck(QString());
}

void PeriodicCheck::ended() {
    checker->disconnect(this);
    checker->deleteLater();
    checker = nullptr;
    if (active && setup.preloadCheckMs > 0)
        timer->start(setup.preloadCheckMs);
}

void PeriodicCheck::failed(const char *how) {
    qWarning() << "periodic version check failed, the game page stays as it was:" << how
               << checker->failureKey();
    VersionTable::instance() = kept;
    ended();
}

bool PeriodicCheck::sameGameFiles(const QMap<QString, RemoteFileInfo> &a,
                                  const QMap<QString, RemoteFileInfo> &b) {
    const auto lines = [](const QMap<QString, RemoteFileInfo> &table) {
        QStringList out;
        for (const RemoteFileInfo &e : table) {
            if (e.name != QLatin1String(LauncherFileName))
                out << QStringList{e.name, e.version, e.md5, QString::number(e.size), e.mapDigest}.join(
                    QLatin1Char(':'));
        }
        return out;
    };
    return lines(a) == lines(b);
}
