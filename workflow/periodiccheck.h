#pragma once

#include "trust/versiontable.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QMap>
#include <QString>

class CdnHosts;
class LauncherConfig;
class QNetworkAccessManager;
class QTimer;
class VersionCheck;

// While the game page is ready, the version file is fetched again every preloadCheckMs (the
// coming list's period) without a word on the page: a check that fails is a log line, and the
// version table the page stands on is put back as it was. A check that got through hands on what it
// found: a newer game release or a newer launcher, with the table holding the new version file. The
// workflow may put the table back (defer) when it cannot act on it now; the check is made again
// as soon as it is active, or asked, with nothing else in between.
class PeriodicCheck : public WorkflowPart {
    Q_OBJECT

public:
    PeriodicCheck(const WorkflowSetup &setup, QNetworkAccessManager *manager, LauncherConfig *config,
                  CdnHosts *hosts, QObject *parent = nullptr);

    // The game page is ready (and the game not running): the period runs; a deferred check is made now.
    void setActive(bool active);
    // What was found cannot be acted on now: the table goes back and the check is made again later.
    void defer();
    // A deferred check is made now, if the period runs.
    void checkIfDeferred();

signals:
    // The version file lists other game files than the ones the page stands on.
    void releaseFound();
    void launcherFound(const RemoteFileInfo &entry);

private:
    void check();
    void ended();
    void failed(const char *how);
    static bool sameGameFiles(const QMap<QString, RemoteFileInfo> &a, const QMap<QString, RemoteFileInfo> &b);

    WorkflowSetup setup;
    QNetworkAccessManager *manager;
    LauncherConfig *config;
    CdnHosts *hosts;
    QTimer *timer;
    VersionCheck *checker = nullptr;
    QMap<QString, RemoteFileInfo> kept; // the table before the check
    bool active = false;
    bool deferred = false;
};
