#pragma once

#include <QByteArray>
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
// Used by one extraction at a time from one thread; owned by that extraction. finish() (or the
// destructor) ends the thread after the commands handed over.
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

    const int m_bufferSize;
    std::vector<QByteArray> m_buffers;
    std::mutex m_mutex;
    std::condition_variable m_commandReady;
    std::condition_variable m_roomReady;
    std::deque<Command> m_commands;
    std::deque<int> m_freeBuffers;
    std::thread m_thread;
    std::atomic<bool> m_failed{false};

    // Writer thread only.
    std::unique_ptr<QFile> m_file;
    QString m_filePath;
};
