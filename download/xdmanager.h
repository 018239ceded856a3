#pragma once

#include "download/errorcode.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QVector>

struct DownloadTask;
struct DownloadTaskPiece;
class FileAssembler;
class TaskPieceDownloader;

// Downloads a queue of files from the CDN in 4 MiB pieces with ten downloaders at once, assembles
// each file in memory (its VersionTable entry's `data`), checks its MD5 against the version table
// and writes it into the launcher directory. Every file ends with one fileDownloadFinished; the run
// ends with allFileDownloadFinished once every queued file has ended.
//
// Use: addFile() for every file, start() once, pause()/resume() at will.
class XDManager : public QObject {
    Q_OBJECT
public:
    static constexpr int DownloaderCount = 10;

    explicit XDManager(QObject *parent = nullptr);
    ~XDManager() override;

    void addFile(const QString &remotePath, const QString &localName);
    DownloadTaskPiece *nextPiece();
    // Bytes received for pieces that have not completed yet.
    qint64 bufferedBytes() const;
    // Replaces launcherDir()/name with data in one go (atomically). False on any failure.
    bool writeDataToFile(const QByteArray &data, const QString &name);

    TaskPieceDownloader *downloader(int i) const { return downloaders.value(i); }
    bool isPaused() const { return paused; }

public slots:
    void start();
    void pause();
    void resume();

signals:
    void downloadStart();
    void allFileDownloadFinished();
    void fileDownloadingStart(QString);
    void fileDownloadFinished(ErrorCode, QString);

private slots:
    void pieceDownloadFinished(bool success, DownloadTaskPiece *task);

private:
    void splitNextFile();
    void endFileNow(DownloadTask *t, ErrorCode code, const QString &name);
    void fileImageDone(DownloadTask *t);
    void fileAssembled(DownloadTask *t, ErrorCode code);
    void assign(TaskPieceDownloader *d, DownloadTaskPiece *p);
    void refill(TaskPieceDownloader *first);
    bool runComplete() const;
    void reportRunEndIfComplete();

    QList<DownloadTask *> pendingTasks;
    QList<DownloadTaskPiece *> pendingPieces;
    QMap<DownloadTask *, QList<DownloadTaskPiece *>> openPieces;
    QVector<TaskPieceDownloader *> downloaders;

    QHash<DownloadTask *, FileAssembler *> assemblers;
    QThreadPool workers;
    bool started = false;
    bool paused = false;
    bool runEndReported = false;
};
