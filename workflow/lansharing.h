#pragma once

#include "trust/versiontable.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

template <typename T>
class QFutureWatcher;
class LanPeerFinder;
class LanPeerServer;
class LauncherConfig;

// Sharing the game's files with launchers on the local network. While the setting is on it searches
// for launchers that have the release this run's version check verified (their base URLs go to the
// game-file download as hosts), and it serves the installed files to them while the game is current
// and not running: only plain files this run checked against their listed MD5, under the CDN's
// versioned names, and the files unpacked archives installed, under "entry/<64 hex digits>" of the
// BLAKE2b-256 their entry index lists (PeerEntryFetch::remoteName), each only after this run
// hashed it and found the digest its extraction record lists for the archive's listed version and
// index. Off, it sends nothing, answers nothing and holds no port. Files installed by an earlier run
// are checked in the background while serving, one plain file or one archive at a time, and
// offered as each passes.
class LanSharing : public QObject {
    Q_OBJECT

public:
    // Answers come within this long of a search: a download waits no longer for them.
    static constexpr int AnswerWaitMs = 1000;

    // folder: the launcher's folder, where the game's files are installed.
    LanSharing(LauncherConfig *config, const QString &folder, bool enabled, QObject *parent = nullptr);
    ~LanSharing() override;

    // The player's setting ("share_with_local_network"); takes effect at once.
    void setEnabled(bool on);
    bool isEnabled() const { return enabled; }
    // The digest of the version file whose signature this run's check verified; empty while there
    // is none (also while a check runs again).
    void setRelease(const QByteArray &versionFileDigest);
    // The game is installed in the listed release and not running: only then is anything served.
    void setGameCurrent(bool current);
    // A file of the listed release that this run checked against its MD5, now at path.
    void fileChecked(const RemoteFileInfo &entry, const QString &path);

    bool isServing() const { return servingPort != 0; }
    quint16 port() const { return servingPort; }
    QStringList peers() const;
    // Calls `then` (unless `context` is gone) once the launchers nearby have had their chance to
    // answer: at once when sharing is off or a launcher is known, else at the first answer or
    // AnswerWaitMs after the first search, whichever comes first.
    void whenAnswered(QObject *context, std::function<void()> then);

    // The name a file is requested by: the CDN's remote path of the listed version.
    static QString versionedName(const RemoteFileInfo &entry);

signals:
    void peerFound(const QString &baseUrl);

private:
    struct Checked {
        QString version;
        QString md5;
        QString path;
        qint64 size = 0;
        qint64 modifiedMs = 0;
    };

    // A file an archive installed, found to hold the content of its entry.
    struct Entry {
        QByteArray digest;
        QString path;
        qint64 size = 0;
        qint64 modifiedMs = 0;
    };

    // One installed file, or the files of one unpacked archive, hashed in the background.
    struct Hashed {
        RemoteFileInfo entry;
        QVector<Entry> entries; // of an archive
        QString path;
        qint64 size = 0;
        qint64 modifiedMs = 0;
        QString fault; // why it is not offered; empty when it matched and stayed unchanged
        bool stopped = false;
    };

    // The background check of installed files not yet checked this run.
    void startInstalledCheck();
    void stopInstalledCheck();
    void hashNextInstalled();
    void installedHashed();
    void endInstalledCheck(bool stopped);
    static Hashed hashInstalled(const RemoteFileInfo &entry, const QString &path,
                                const std::shared_ptr<std::atomic<bool>> &cancel);
    static Hashed hashUnpacked(const RemoteFileInfo &archive, const QString &folder,
                               const std::shared_ptr<std::atomic<bool>> &cancel);
    // The archive is listed as it was checked, and installed at that version.
    bool stillInstalled(const RemoteFileInfo &archive) const;
    void offerEntries(const QVector<Entry> &entries);

    // Starts or stops the search and the serving after a change.
    void update();
    void startSearching();
    void stopSearching();
    void startServing();
    void stopServing();
    // Offers every checked file still listed, recorded and unchanged on disk.
    void offerCheckedFiles();
    bool mayServe() const;

    LauncherConfig *config;
    QString folder;
    LanPeerFinder *finder;
    LanPeerServer *server;
    bool enabled;
    bool searching = false;
    bool gameCurrent = false;
    QByteArray release;
    quint16 servingPort = 0;
    QElapsedTimer sinceSearch; // the first search with the current release
    QHash<QString, Checked> checked;
    QHash<QString, QPair<RemoteFileInfo, QVector<Entry>>> checkedArchives; // as checked, by name

    QList<RemoteFileInfo> toHash; // installed files left for the background check
    QSet<QString> hashTried;      // "name:md5" hashed this run, matched or not
    QFutureWatcher<Hashed> *hashWatcher = nullptr;
    std::shared_ptr<std::atomic<bool>> hashCancel;
    QElapsedTimer hashTime;
    int hashOffered = 0;
    qint64 hashBytes = 0;
};
