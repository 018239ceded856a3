#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QFile;

// Writes the entries of one extraction on its own thread, in the order they were handed over, so
// that inflating the next block overlaps with writing the previous one. Every change to the file
// system (folders, files, permissions) happens here, in order; after the first failure the rest
// is dropped. Data travels in a fixed set of buffers: the archive is never held in memory.
//
// No installed file is touched while the archive is read: each entry goes to a staging file beside
// its target (target + stagingSuffix). Only when every entry has been read and checked does
// commit() move the staged files onto their targets, each old file first set aside as target +
// backupSuffix so that a failed move can put everything back; discard() instead removes the
// staged files and the folders this extraction created. Either way the targets end up all old or
// all new (a process killed during commit() leaves both suffixes behind; the next extraction of
// the archive replaces them).
//
// Used by one extraction at a time from one thread; owned by that extraction. finish() (or the
// destructor) ends the thread after the commands handed over; commit() and discard() come after it.
class ExtractionWriter {
public:
    ExtractionWriter(int bufferCount, int bufferSize);
    ~ExtractionWriter();
    ExtractionWriter(const ExtractionWriter &) = delete;
    ExtractionWriter &operator=(const ExtractionWriter &) = delete;

    void start();

    // A free buffer to fill (blocks until one is back from the writer); -1 once the writer failed.
    int takeBuffer();
    char *bufferData(int buffer) { return m_buffers[size_t(buffer)].data(); }
    int bufferSize() const { return m_bufferSize; }

    void makeDirectory(const QString &dir);
    void openFile(const QString &path);
    void write(int buffer, int length); // hands the buffer back to the writer
    void closeFile(unsigned long versionMadeBy, unsigned long externalAttributes);

    // Waits until everything handed over is written; false when anything failed.
    bool finish();
    bool failed() const { return m_failed.load(); }
    // What failed first, once failed() or after finish()/commit() returned false.
    QString failureReason() const;

    // After finish(): moves every staged file onto its target, all or nothing. False (with a log
    // line) when a target could not be replaced; every target is then as it was before.
    bool commit();
    // After finish(): removes the staged files and the folders created for them.
    void discard();

    static const QLatin1String stagingSuffix;
    static const QLatin1String backupSuffix;
    // Whether an entry name ends in one of the two suffixes, which the extraction keeps for itself.
    static bool isReservedName(const QString &name);

private:
    void run();

    struct Command {
        enum Type { MakeDirectory, Open, Data, Close, Stop };
        Command() = default;
        explicit Command(Type t)
            : type(t) {}
        Type type = Stop;
        QString path;
        int buffer = -1;
        int length = 0;
        unsigned long versionMadeBy = 0;
        unsigned long externalAttributes = 0;
    };

    void push(Command command);
    bool execute(const Command &command);
    bool makeDirectory(const QString &dir, std::vector<QString> *created);
    void restore(size_t count, const std::vector<bool> &hadTarget);

    const int m_bufferSize;
    std::vector<QByteArray> m_buffers;
    mutable std::mutex m_mutex;
    std::condition_variable m_commandReady;
    std::condition_variable m_roomReady;
    std::deque<Command> m_commands;
    std::deque<int> m_freeBuffers;
    std::thread m_thread;
    std::atomic<bool> m_failed{false};
    QString m_failure; // under m_mutex

    // Writer thread only until finish(), then the caller's.
    std::unique_ptr<QFile> m_file;
    QString m_filePath;            // target of the open file
    std::vector<QString> m_staged; // targets whose staging file is complete, in order
    QSet<QString> m_stagedSet;
    std::vector<QString> m_created; // folders created by this extraction, outermost first
};
