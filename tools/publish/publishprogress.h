#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// What a long publication has done, shown on one line of a terminal that is rewritten at most four
// times a second: files, bytes and the time left at the pace so far. Silent when the stream is not a
// terminal (a script, a log file, CI), so that only the result lines are written there.
class PublishProgress {
public:
    PublishProgress(int files, qint64 bytes, FILE *stream = stderr);
    ~PublishProgress(); // clears the line

    // Bytes of the current file read.
    void addBytes(qint64 bytes);
    // The current file is published whole.
    void fileDone();
    // Clears the line before other output.
    void clear();

    bool isShown() const { return shown; }
    // "3/120 files, 1.20 GB of 40.00 GB, about 5 min left"
    static QString text(int filesDone, int files, qint64 bytesDone, qint64 bytes, qint64 elapsedMs);

private:
    void show(bool now);

    FILE *stream;
    bool shown;
    int totalFiles;
    qint64 totalBytes;
    int filesDone = 0;
    qint64 bytesDone = 0;
    int lastWidth = 0;
    QElapsedTimer clock;
    qint64 lastShownMs = -1;
};
