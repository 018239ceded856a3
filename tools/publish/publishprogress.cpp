#include "tools/publish/publishprogress.h"

#include <QByteArray>

#include <unistd.h>

namespace {

constexpr qint64 RefreshMs = 250;

QString sizeText(qint64 bytes) {
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B").arg(bytes)
                     : QStringLiteral("%1 %2").arg(value, 0, 'f', 2).arg(QLatin1String(units[unit]));
}

QString durationText(qint64 seconds) {
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg((seconds + 30) / 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg((seconds % 3600) / 60);
}

} // namespace

PublishProgress::PublishProgress(int files, qint64 bytes, FILE *stream)
    : stream(stream)
    , shown(stream && isatty(fileno(stream)))
    , totalFiles(files)
    , totalBytes(bytes) {
    clock.start();
}

PublishProgress::~PublishProgress() {
    clear();
}

QString PublishProgress::text(int filesDone, int files, qint64 bytesDone, qint64 bytes, qint64 elapsedMs) {
    QString line = QStringLiteral("%1/%2 files, %3 of %4")
                       .arg(filesDone)
                       .arg(files)
                       .arg(sizeText(bytesDone), sizeText(bytes));
    // The pace needs a second of work and some bytes behind it before it says anything.
    if (bytesDone > 0 && bytesDone < bytes && elapsedMs >= 1000) {
        const double left = double(bytes - bytesDone) * double(elapsedMs) / double(bytesDone) / 1000.0;
        line += QStringLiteral(", about %1 left").arg(durationText(qint64(left + 0.5)));
    }
    return line;
}

void PublishProgress::addBytes(qint64 bytes) {
    bytesDone += bytes;
    show(false);
}

void PublishProgress::fileDone() {
    ++filesDone;
    show(true);
}

void PublishProgress::show(bool now) {
    if (!shown)
        return;
    const qint64 elapsed = clock.elapsed();
    if (!now && lastShownMs >= 0 && elapsed - lastShownMs < RefreshMs)
        return;
    lastShownMs = elapsed;
    const QByteArray line =
        ("kv-publish: " + text(filesDone, totalFiles, bytesDone, totalBytes, elapsed)).toUtf8();
    // Shorter than the line before: blanks cover the rest of it.
    const int pad = qMax(0, lastWidth - line.size());
    std::fprintf(stream, "\r%s%*s", line.constData(), pad, "");
    std::fflush(stream);
    lastWidth = line.size();
}

void PublishProgress::clear() {
    if (!shown || lastWidth == 0)
        return;
    std::fprintf(stream, "\r%*s\r", lastWidth, "");
    std::fflush(stream);
    lastWidth = 0;
}
