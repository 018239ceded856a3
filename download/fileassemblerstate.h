#pragma once

#include "download/fileassembler.h"
#include "download/piecebuffer.h"
#include "download/resumerecord.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// What the lanes of one FileAssembler share. Members under "mutex" are read and changed with it
// held; the others belong to one lane at a time, as marked.
struct FileAssembler::State {
    QString path;
    QString partial;
    qint64 total = 0;
    int pieceCount = 0;
    QThreadPool *pool = nullptr;
    QObject *receiver = nullptr;
    std::function<void(DownloadResult)> finished;

    QMutex mutex;
    struct Part {
        int piece = 0;
        qint64 length = 0;
        PieceBuffer buffer;
    };
    std::map<int, PieceBuffer> pieces; // completed pieces that a lane still needs
    std::map<qint64, Part> parts;      // received ranges of partly present pieces, by offset, until written
    std::vector<int> partsLeft;        // per partly present piece: ranges not written yet
    std::map<qint64, QByteArray> kept; // received bytes of pieces under way, by offset, until written
    std::vector<char> onDisk;          // written by an earlier run, or by the write lane
    std::vector<char> fromDisk;        // hashed from the partial file (present when this run began,
                                       // or put together there from ranges)
    int hashNext = 0;                  // first piece not hashed yet
    int hashCurrent = -1;              // piece the hash lane is reading outside the lock
    int writeCurrent = -1;             // piece the write lane is writing outside the lock
    qint64 writeCurrentPart = -1;      // range the write lane is writing outside the lock
    bool hashRunning = false;
    bool writeRunning = false;
    bool syncRunning = false; // the record lane syncs and records, or a failed write waits for it
    bool finishing = false;
    bool finalizing = false;
    bool stopped = false;
    bool reported = false;     // a result is on its way to the receiver
    bool awaitingMove = false; // verified, but the move into place failed
    bool unsyncedLeft = false; // the write lane went idle with pieces not recorded yet
    bool syncDue = false;      // the batch's time is up
    bool syncTimerSet = false;
    bool handOverWanted = false;          // a batch is due while the record lane is busy
    bool writeHeld = false;               // the write lane waits for the record lane (full batch)
    bool failurePending = false;          // a failed write is reported once its batch is recorded
    QVector<ResumeRecord::Range> written; // handed to the record lane, not synced yet
    QString expectedMd5;
    bool checkDigest = true; // false: the caller checks the content itself

    // Hash lane only (then the final job).
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::unique_ptr<QFile> reader;
    QString readFailure;

    // Write lane only (then the final job).
    std::unique_ptr<QFile> out;
    QVector<ResumeRecord::Range> unsynced; // written since the last hand-over
    qint64 unsyncedBytes = 0;
    QElapsedTimer batchAge; // since the batch's first write
    bool writeFailed = false;
    QString writeFailure;
    std::atomic<bool> writesFailing{false}; // writeFailed, for any thread

    // Record lane only (then the final job).
    ResumeRecord record;                    // what the record on disk says
    std::atomic<qint64> recordedBytes{0};   // its completeBytes(), for any thread
    std::atomic<bool> recordPending{false}; // the record lists bytes not synced yet
    // A partial file was there when the work began, or a record was written since: a killed record
    // write may have left its temporary copy beside the file.
    bool mayLeaveCopies = false;

    bool hashable(int index) const {
        return index < pieceCount && (pieces.count(index) || fromDisk[size_t(index)]);
    }
    // Received bytes of a piece under way that the write lane has not written yet, or -1.
    qint64 nextKeptToWrite() const { return kept.empty() ? -1 : kept.begin()->first; }
    // A received range the write lane has not written yet (lowest first), or -1.
    qint64 nextPartToWrite() const {
        for (const auto &p : parts) {
            if (p.first != writeCurrentPart)
                return p.first;
        }
        return -1;
    }
    // A piece in memory the write lane has not written yet (lowest first), or -1.
    int nextToWrite() const {
        for (const auto &p : pieces) {
            if (!onDisk[size_t(p.first)] && p.first != writeCurrent)
                return p.first;
        }
        return -1;
    }
    // Lets the buffer of piece `index` go once it is on the disk and the hash lane is not about to
    // read it: a piece that waits for an earlier one is hashed from the partial file later (the
    // system's cache still has it, mostly), so that memory holds only pieces under way or waiting
    // for the disk. Mutex held.
    void releaseIfUnused(int index) {
        if (index == hashCurrent || index == writeCurrent || !onDisk[size_t(index)])
            return;
        if (!stopped && hashNext < index)
            fromDisk[size_t(index)] = 1;
        else if (!stopped && hashNext == index)
            return; // next in line: hashed from memory
        pieces.erase(index);
    }
    bool allOnDisk() const {
        for (char c : onDisk) {
            if (!c)
                return false;
        }
        return true;
    }
};
