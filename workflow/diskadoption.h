#pragma once

#include "workflow/installcheck.h"
#include "workflow/workflowpart.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

class LauncherConfig;
class QTimer;
class UnpackRoom;

// Files already on the disk that "config.ini" records nothing of (a folder copied from another
// machine, a lost "config.ini"): before any of them is fetched, what is there is looked at. A file
// with the listed size and MD5 is recorded as installed, fetching nothing (an archive found whole
// also gets its extraction mark); one that differs is kept as the copy an update by its block map
// reads. For an archive whose line lists an entry index, the index (fetched through the update's
// UnpackRoom, so once a run) names the files it unpacks: when all of them hold their entries the
// archive is recorded as unpacked with the record of those files; when some do, a record of what
// they hold is written, so that the update fetches only the other entries without hashing again.
// Files no line or index names are never opened. Hashing runs on the global pool, one file a job.
class DiskAdoption : public WorkflowPart {
    Q_OBJECT
public:
    DiskAdoption(const QString &folder, LauncherConfig *config, UnpackRoom *room, int refreshMs,
                 QObject *parent = nullptr);
    ~DiskAdoption() override; // cancels

    // Looks at the listed files without a record, but those named in `skip` (found damaged in this
    // run: fetched again). False when there is nothing to look at; else finished() follows.
    bool start(const QSet<QString> &skip);
    // Stops looking; nothing is recorded and finished() does not follow.
    void cancel();

    // After finished(): listed files on the disk whose bytes differ from their line.
    QSet<QString> differingCopies() const { return differing; }
    // The entry index of an archive partly found, for its update (once); empty when none.
    QByteArray takeIndex(const QString &archive) { return indexes.take(archive); }

    // One file to hash: a listed file (MD5) or a file an archive's index names (BLAKE2b).
    struct Job {
        QString name;  // as listed: for an archive's file, the archive
        QString entry; // below the folder, for an archive's file; empty for a listed file
        QString path;
        qint64 size = 0;
        qint64 seenMs = -1; // modification time before the hashing; -1 when it was not read
        QByteArray digest;  // MD5 as lower-case hex, or BLAKE2b-256; empty when it was not read
        std::shared_ptr<InstallCheck::Progress> progress;
    };
    // A file an archive's index says it unpacks.
    struct Entry {
        QString name; // below the folder
        QByteArray hash;
    };
    struct Named; // what the indexes name, made on a worker

signals:
    void finished();

private:
    void indexesCounted();
    void hashFiles(const Named &found);
    void hashed();
    void showProgress();
    enum Found { NotRecorded, Partly, Whole };
    // Records what of the archive is on the disk.
    Found adoptArchive(const QString &name, const QList<Job> &files);

    QString folder;
    LauncherConfig *config;
    UnpackRoom *room;
    QTimer *refresh;
    QList<QString> archives; // waiting for their indexes
    QList<Job> plain;        // listed files found at their listed size
    QHash<QString, QByteArray> indexes;
    QHash<QString, QVector<Entry>> entries; // of each archive whose index was had, in its order
    QSet<QString> bringingGame;             // archives whose index names the game's program
    QSet<QString> differing;
    QMetaObject::Connection counting;
    QFutureWatcher<Named> *finding = nullptr;
    QFutureWatcher<Job> *hashing = nullptr;
    std::shared_ptr<InstallCheck::Progress> progressShared;
    qint64 totalBytes = 0;
};
