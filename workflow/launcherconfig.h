#pragma once

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVector>

// The download configuration "config.ini" in the launcher's folder, the one object that reads and
// writes it: the installed version of every file, the archives waiting to be unpacked, whether the
// next start offers KEEP UPDATE instead of downloading, which archive brought the game, and the
// newest signed release accepted and the release keys revoked. Every change is on disk when the call returns
// (the launcher may be killed at any moment), except staged downloads: they go on disk together, with the
// next recordStaged() or any other change, and count as installed only from then on.
class LauncherConfig {
public:
    explicit LauncherConfig(const QString &folder);
    ~LauncherConfig(); // records what is staged
    LauncherConfig(const LauncherConfig &) = delete;
    LauncherConfig &operator=(const LauncherConfig &) = delete;

    QString path() const { return settings.fileName(); }

    // The version recorded for a file; empty when none is.
    QString installedVersion(const QString &name) const;
    QStringList installedNames() const;
    // A file downloaded in `version`; an archive also gets its extraction mark, in the same rewrite
    // of the file, so a recorded archive is never left without its mark.
    void recordDownloaded(const QString &name, const QString &version, bool markForExtraction);
    // The same, kept in memory until the batch is recorded: one rewrite of the file for many
    // downloads, where the file grows with every file installed.
    void stageDownloaded(const QString &name, const QString &version, bool markForExtraction);
    int stagedCount() const { return staged.size(); }
    // Puts the staged downloads on disk in one rewrite; false (and logged) when it fails.
    bool recordStaged();
    // Forgets the installed version and the extraction mark of a file, in one rewrite.
    void forget(const QString &name);
    // Forgets only the installed version.
    void forgetVersion(const QString &name);

    // Archive names marked for extraction, in the order the file lists them.
    QStringList extractionMarks() const;
    bool hasExtractionMark(const QString &name) const;
    void clearExtractionMark(const QString &name);

    bool hasManualResume() const;
    bool manualResume() const; // false when absent
    void setManualResume(bool manualResume);

    // The update under way: the release it fetches (a digest of its version file) and the listed
    // sizes of the files it had to fetch when it began, so that a later start counts the files it
    // finished as done. Read back checked: none (an empty release) when absent or malformed.
    struct UpdateRun {
        QByteArray release;
        qint64 bytes = 0;
    };
    UpdateRun updateRun() const;
    bool setUpdateRun(const UpdateRun &run);
    // Written only when one is recorded.
    void clearUpdateRun();

    // The archive that brought the game executable; empty when not known.
    QString gameArchive() const;
    void setGameArchive(const QString &name);

    // Signing time of the newest release accepted; -1 when none is recorded.
    qint64 newestAcceptedRelease() const;
    bool setNewestAcceptedRelease(qint64 timestamp);
    // Signing time of the newest coming release's list accepted (pre-downloads keep their own
    // order); -1 when none is recorded.
    qint64 newestAcceptedComing() const;
    bool setNewestAcceptedComing(qint64 timestamp);
    // Signing time of the last coming release's list that named nothing newer than the installed
    // release (one left on the CDN after its day is told of once); -1 when none is recorded.
    qint64 staleComing() const;
    bool setStaleComing(qint64 timestamp);

    // Release keys whose revocation was seen, refused from then on. Read back bounded and checked: at
    // most MaxRevokedKeys, entries that are not key ids skipped.
    static constexpr int MaxRevokedKeys = 16;
    QList<QByteArray> revokedKeys() const;
    // Adds key ids (8 bytes each) to them, up to the bound; false (and logged) when the write fails.
    bool addRevokedKeys(const QList<QByteArray> &keyIds);

private:
    // A signed time kept under `key`; -1 when there is none or it is not a number.
    qint64 timestamp(const QString &key) const;
    bool setTimestamp(const QString &key, qint64 time);
    QStringList keysOf(const QString &group) const;
    bool sync();
    void applyStaged();

    struct Staged {
        QString name;
        QString version;
        bool mark = false;
    };
    QVector<Staged> staged;
    // mutable: reading a group's keys enters and leaves the group.
    mutable QSettings settings;
    bool unsynced = false; // the last write failed: what it held is only in memory
};
