#pragma once

#include "download/errorcode.h"
#include "trust/versiontable.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

class CdnHosts;
class LauncherConfig;
class MeteredWait;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class SignatureLookup;
class XDManager;

// The next release, fetched in the background before its day while the game is ready (and while it
// is played). The publisher lists it ahead in a coming release's list beside the version file,
// signed with the release keys; the files whose coming line differs from the release installed are
// fetched into a folder of their own (PreDownloadFolder) with their own resume records, never
// touching the installed game: as the game's update would fetch them, only the blocks a file's map
// does not find in its installed copy, and only the changed entries of an unpacked archive. On
// release day the game's update takes them from there (PreDownloadFolder::handOver): a copy is
// checked against the version file's MD5 again, an archive's staged update is unpacked as its own. A list
// that is missing on every host that answers means the release was withdrawn: what was fetched goes; a list
// that names other versions replaces what was fetched for the old ones. A list that is not newer than the
// installed release, badly signed or unreadable is refused and changes nothing; one left on the CDN after its
// day (naming nothing newer) is told of once, not at every start.
class PreDownload : public WorkflowPart {
    Q_OBJECT

public:
    enum State {
        Idle,          // nothing coming, or not checked yet
        Fetching,      // files are being fetched
        Paused,        // the player paused it
        Held,          // waiting while the game runs (the player's setting)
        ShortOfRoom,   // the disk lacks room for it: it waits, and play goes on
        Complete,      // everything the coming release needs is here
        MeteredWaiting // the connection is metered: it waits for the player
    };
    Q_ENUM(State)

    PreDownload(const WorkflowSetup &setup, QNetworkAccessManager *network, LauncherConfig *config,
                CdnHosts *hosts, QObject *parent = nullptr);
    ~PreDownload() override;

    // Asks the hosts for the coming release's list and goes on from what they say. The installed
    // release is the one the version table lists now (the game is ready). Does nothing while a check
    // or a fetch is under way.
    void check();
    // Asked before the fetch starts: on a metered connection it waits (none: it never waits).
    void setMeteredWait(const MeteredWait *wait) { metered = wait; }
    // The player downloads anyway what waits on a metered connection.
    void downloadAnyway();
    // The player's pause and continue.
    void pause();
    void resume();
    // The game started or ended: with "pause_downloads_while_playing" the fetch waits meanwhile.
    void setGameRunning(bool running);
    // The launcher leaves: what arrived is written and recorded before this returns.
    void stop();

    State state() const { return current; }
    // Fetching or waiting for the game to end: there is more to come in this run.
    bool isUnderWay() const { return current == Fetching || current == Held; }
    // The version the coming release brings (its game's, else the newest of its files').
    QString version() const { return comingVersion; }
    qint64 totalBytes() const { return total; }
    qint64 doneBytes() const;
    qint64 speed() const { return bytesPerSecond; }
    int percent() const;

signals:
    // The state or the progress changed.
    void changed();
    // A fetch that was under way ended (complete, or failed and waiting for the next check).
    void ended();

private:
    // The files of a list newer than the release installed (the version table).
    static QStringList newerThanInstalled(const QMap<QString, RemoteFileInfo> &listed);
    void askHost();
    void listArrived(QNetworkReply *reply);
    void askSignature(const QByteArray &list);
    void signatureArrived(QNetworkReply *reply, const QByteArray &list);
    // What a host said of the list: no answer, that it lacks it, or a list that was refused.
    enum HostAnswer { Unreachable, Missing, Refused };
    void hostDone(const QString &why, HostAnswer answer);
    // A list from a host, verified when releases are signed (signedAt -1 otherwise).
    void accept(const QByteArray &list, qint64 signedAt);
    void refuse(const QString &why);
    // A list that names nothing newer than the installed release (signedAt -1: unsigned).
    void refuseStale(qint64 signedAt);
    // Fetches what is missing, unless the disk lacks room for it. After a write failed
    // (`onlyIfShortOfRoom`) it only says whether the disk is short, and fetches nothing either way.
    // True when the pre-download waits for room.
    bool startFetching(bool onlyIfShortOfRoom = false);
    void fileFinished(ErrorCode code, const QString &name);
    void allFinished();
    void tick();
    void setState(State state);
    void scheduleCheck(int ms);
    void dropManager();
    void showProgress();
    bool holdsForGame() const;
    // Fetches now, unless it waits on a metered connection, for the game's end or for the player
    // (predownloadwaits.cpp). False.
    bool startUnlessWaiting();
    bool goOnUnlessHeld();
    // Starts the manager, or resumes it once started.
    void goOn();

    WorkflowSetup setup;
    QNetworkAccessManager *network;
    LauncherConfig *config;
    CdnHosts *hosts;
    const MeteredWait *metered = nullptr;
    QTimer *checkTimer;
    QTimer *tickTimer;
    XDManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QStringList askedHosts;
    int hostIndex = 0;
    int missingHosts = 0;
    QString firstRefusal;
    std::unique_ptr<SignatureLookup> lookup; // of the list on this host
    bool askedAgain = false;                 // this host was asked again after a mismatch
    qint64 staleTold = -2; // signed time of the list naming nothing newer this run has told of
    bool checking = false;

    QMap<QString, RemoteFileInfo> coming; // the accepted list
    QStringList wanted;                   // its files that differ from the installed release
    QStringList failed;                   // of those, the ones that failed in this fetch
    // Archives fetched as their changed entries, by the installed version they are planned from.
    QMap<QString, QString> byEntries;
    QString comingVersion;
    qint64 total = 0;
    qint64 completeBytes = 0; // of the wanted files that are here
    qint64 bytesPerSecond = 0;
    qint64 lastFetched = 0;
    qint64 shortBy = 0;
    State current = Idle;
    bool pausedByPlayer = false;
    bool gameRunning = false;
    bool fetchStarted = false; // the manager was started (it may be paused since)
    bool writeFailed = false;  // a file of this fetch could not be written
};
