// Extraction benchmark: builds an archive of mixed files (compressible text and random binary in
// nested folders), then unpacks it with unzipArchive, `unzip -o -q` and `bsdtar -xf` into fresh
// folders, several rounds interleaved, and prints the best wall time of each and the ratios. The
// wall time depends on free cores: unzipArchive uses all of them, the reference tools one.

#include "archive/unziparchive.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <zip.h>
#include <zlib.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

QTextStream out(stdout);

void figure(const QString &name, double value, const QString &unit, int precision = 3) {
    out << name << ": " << QString::number(value, 'f', precision) << ' ' << unit << '\n';
    out.flush();
}

QByteArray makeCorpus(QRandomGenerator &rng, int size) {
    std::vector<QByteArray> words;
    for (int i = 0; i < 4000; ++i) {
        QByteArray word;
        const int length = 2 + int(rng.bounded(9));
        for (int j = 0; j < length; ++j)
            word += char('a' + rng.bounded(26));
        words.push_back(word);
    }
    QByteArray corpus;
    corpus.reserve(size + 64);
    int column = 0;
    while (corpus.size() < size) {
        // A skewed pick keeps some words frequent, as in real text.
        const double r = rng.generateDouble();
        const QByteArray &word = words[size_t(r * r * r * double(words.size()))];
        corpus += word;
        column += word.size() + 1;
        if (column > 70) {
            corpus += '\n';
            column = 0;
        } else {
            corpus += ' ';
        }
    }
    corpus.resize(size);
    return corpus;
}

struct Generated {
    qint64 bytes = 0;
    int files = 0;
};

bool generateArchive(const QString &path, qint64 totalBytes, int fileCount, Generated *result) {
    QRandomGenerator rng(20240611);
    const QByteArray corpus = makeCorpus(rng, 8 * 1024 * 1024);

    // Log-uniform sizes between 1 KiB and 8 MiB, scaled to the wanted total.
    std::vector<double> raw(static_cast<size_t>(fileCount));
    double sum = 0;
    for (double &size : raw) {
        size = std::exp(std::log(1024.0) +
                        rng.generateDouble() * (std::log(8.0 * 1024 * 1024) - std::log(1024.0)));
        sum += size;
    }
    const double scale = double(totalBytes) / sum;

    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < fileCount; ++i) {
        const qint64 size = std::max<qint64>(1, qint64(raw[size_t(i)] * scale));
        const bool text = rng.bounded(2) == 0;
        QString name = QStringLiteral("game");
        const int depth = 1 + int(rng.bounded(3));
        for (int d = 0; d < depth; ++d)
            name += QStringLiteral("/dir%1").arg(rng.bounded(6));
        name += QStringLiteral("/file%1.%2").arg(i, 4, 10, QLatin1Char('0')).arg(text ? "txt" : "bin");

        zip_fileinfo info = {};
        info.external_fa = 0100644u << 16;
        const int level = text ? Z_DEFAULT_COMPRESSION : 1;
        if (zipOpenNewFileInZip4_64(zip, name.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                    nullptr, 0, (3u << 8) | 30, 0, size >= 0xffffffffLL ? 1 : 0) != ZIP_OK) {
            zipClose(zip, nullptr);
            return false;
        }
        qint64 left = size;
        qint64 offset = qint64(rng.bounded(corpus.size()));
        while (left > 0) {
            const int n = int(std::min<qint64>(left, chunk.size()));
            if (text) {
                for (int done = 0; done < n;) {
                    const int piece = int(std::min<qint64>(n - done, corpus.size() - offset));
                    memcpy(chunk.data() + done, corpus.constData() + offset, size_t(piece));
                    done += piece;
                    offset = (offset + piece) % corpus.size();
                }
            } else {
                rng.fillRange(reinterpret_cast<quint32 *>(chunk.data()), (n + 3) / 4);
            }
            if (zipWriteInFileInZip(zip, chunk.constData(), unsigned(n)) != ZIP_OK) {
                zipClose(zip, nullptr);
                return false;
            }
            left -= n;
        }
        if (zipCloseFileInZip(zip) != ZIP_OK) {
            zipClose(zip, nullptr);
            return false;
        }
        result->bytes += size;
        ++result->files;
    }
    return zipClose(zip, nullptr) == ZIP_OK;
}

// User plus system time of this process (who = RUSAGE_SELF) or of its finished children.
double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void settle() {
    // Let the previous round's dirty pages reach the disk so they do not slow the next one.
    QProcess::execute(QStringLiteral("sync"), {});
}

double runTool(const QString &program, const QStringList &arguments) {
    QElapsedTimer timer;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return -1;
    return double(timer.nsecsElapsed()) / 1e9;
}

// Compares two extracted trees file by file; returns the number of differences.
int compareTrees(const QString &a, const QString &b) {
    int differences = 0;
    int files = 0;
    QDirIterator it(a, QDir::Files, QDirIterator::Subdirectories);
    QByteArray bufferA(1 << 20, Qt::Uninitialized), bufferB(1 << 20, Qt::Uninitialized);
    while (it.hasNext()) {
        const QString pathA = it.next();
        ++files;
        QFile fileA(pathA), fileB(b + QLatin1Char('/') + QDir(a).relativeFilePath(pathA));
        if (!fileA.open(QIODevice::ReadOnly) || !fileB.open(QIODevice::ReadOnly) ||
            fileA.size() != fileB.size()) {
            ++differences;
            continue;
        }
        for (;;) {
            const qint64 na = fileA.read(bufferA.data(), bufferA.size());
            const qint64 nb = fileB.read(bufferB.data(), bufferB.size());
            if (na != nb ||
                memcmp(bufferA.constData(), bufferB.constData(), size_t(std::max<qint64>(na, 0))) != 0) {
                ++differences;
                break;
            }
            if (na <= 0)
                break;
        }
    }
    QDirIterator itB(b, QDir::Files, QDirIterator::Subdirectories);
    int filesB = 0;
    while (itB.hasNext()) {
        itB.next();
        ++filesB;
    }
    return differences + std::abs(files - filesB);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // The extraction's own log lines would only get in the way of the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(message));
    });
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Archive extraction benchmark"));
    parser.addHelpOption();
    QCommandLineOption sizeOption(QStringLiteral("size-mib"), QStringLiteral("Uncompressed size."),
                                  QStringLiteral("n"), QStringLiteral("500"));
    QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("Number of files."),
                                   QStringLiteral("n"), QStringLiteral("2000"));
    QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                    QStringLiteral("Rounds per tool (best is kept)."), QStringLiteral("n"),
                                    QStringLiteral("3"));
    QCommandLineOption workOption(
        QStringLiteral("work-dir"),
        QStringLiteral("Folder for the archive and the output (default: a temporary one)."),
        QStringLiteral("dir"));
    QCommandLineOption archiveOption(QStringLiteral("archive"),
                                     QStringLiteral("Archive to use; generated and kept there when missing."),
                                     QStringLiteral("file"));
    QCommandLineOption toolsOption(
        QStringLiteral("tools"), QStringLiteral("Reference tools to compare with: unzip,bsdtar or a subset."),
        QStringLiteral("list"), QStringLiteral("unzip,bsdtar"));
    parser.addOptions({sizeOption, filesOption, roundsOption, workOption, archiveOption, toolsOption});
    parser.process(app);

    const qint64 totalBytes = parser.value(sizeOption).toLongLong() * 1024 * 1024;
    const int fileCount = parser.value(filesOption).toInt();
    const int rounds = std::max(1, parser.value(roundsOption).toInt());
    if (totalBytes <= 0 || fileCount <= 0) {
        out << "invalid size or file count\n";
        return 2;
    }

    QTemporaryDir tmp(parser.isSet(workOption)
                          ? parser.value(workOption) + QStringLiteral("/bench-extract-XXXXXX")
                          : QDir::tempPath() + QStringLiteral("/bench-extract-XXXXXX"));
    if (!tmp.isValid()) {
        out << "cannot create work folder\n";
        return 2;
    }
    QString archive = tmp.filePath(QStringLiteral("bench.zip"));
    if (parser.isSet(archiveOption))
        archive = parser.value(archiveOption);

    QElapsedTimer timer;
    timer.start();
    if (!QFileInfo::exists(archive)) {
        Generated generated;
        if (!generateArchive(archive, totalBytes, fileCount, &generated)) {
            out << "cannot write the archive\n";
            return 1;
        }
        figure(QStringLiteral("generate_time"), double(timer.elapsed()) / 1000.0, QStringLiteral("s"), 1);
    }
    figure(QStringLiteral("archive_size"), double(QFileInfo(archive).size()) / 1048576.0,
           QStringLiteral("MiB"), 1);

    const QStringList tools = parser.value(toolsOption).split(QLatin1Char(','));
    const bool haveUnzip = tools.contains(QStringLiteral("unzip")) &&
                           !QStandardPaths::findExecutable(QStringLiteral("unzip")).isEmpty();
    const bool haveBsdtar = tools.contains(QStringLiteral("bsdtar")) &&
                            !QStandardPaths::findExecutable(QStringLiteral("bsdtar")).isEmpty();

    // Read the archive once so every tool starts with it in the page cache.
    {
        QFile file(archive);
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray block(1 << 20, Qt::Uninitialized);
            while (file.read(block.data(), block.size()) > 0) {
            }
        }
    }

    enum Tool { Ours, Unzip, Bsdtar };
    QList<Tool> lineUp{Ours};
    if (haveUnzip)
        lineUp << Unzip;
    if (haveBsdtar)
        lineUp << Bsdtar;
    const QString outputDirs[3] = {tmp.filePath(QStringLiteral("ours")),
                                   tmp.filePath(QStringLiteral("unzip")),
                                   tmp.filePath(QStringLiteral("bsdtar"))};
    double best[3] = {1e9, 1e9, 1e9};
    double bestCpu[3] = {1e9, 1e9, 1e9};
    qint64 uncompressedBytes = 0;

    // First a checked run: our output must match unzip's file for file.
    {
        QDir().mkpath(outputDirs[Ours]);
        if (!unzipArchive(archive, outputDirs[Ours])) {
            out << "unzipArchive failed\n";
            return 1;
        }
        int fileTotal = 0;
        QDirIterator it(outputDirs[Ours], QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            uncompressedBytes += it.fileInfo().size();
            ++fileTotal;
        }
        figure(QStringLiteral("archive_files"), fileTotal, QStringLiteral("files"), 0);
        figure(QStringLiteral("uncompressed_size"), double(uncompressedBytes) / 1048576.0,
               QStringLiteral("MiB"), 1);
        if (haveUnzip) {
            QDir().mkpath(outputDirs[Unzip]);
            runTool(QStringLiteral("unzip"), {QStringLiteral("-o"), QStringLiteral("-q"), archive,
                                              QStringLiteral("-d"), outputDirs[Unzip]});
            const int differences = compareTrees(outputDirs[Ours], outputDirs[Unzip]);
            figure(QStringLiteral("files_differing_from_unzip"), differences, QStringLiteral("files"), 0);
            if (differences != 0)
                return 1;
        }
        QDir(outputDirs[Ours]).removeRecursively();
        QDir(outputDirs[Unzip]).removeRecursively();
    }

    // Timed rounds; the order turns each round so no tool always follows the same one.
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < lineUp.size(); ++k) {
            const Tool tool = lineUp[(k + round) % lineUp.size()];
            const QString &dir = outputDirs[tool];
            QDir().mkpath(dir);
            settle();
            double seconds = -1;
            const int who = tool == Ours ? RUSAGE_SELF : RUSAGE_CHILDREN;
            const double cpuBefore = cpuSeconds(who);
            if (tool == Ours) {
                timer.restart();
                if (unzipArchive(archive, dir))
                    seconds = double(timer.nsecsElapsed()) / 1e9;
            } else if (tool == Unzip) {
                seconds = runTool(QStringLiteral("unzip"), {QStringLiteral("-o"), QStringLiteral("-q"),
                                                            archive, QStringLiteral("-d"), dir});
            } else {
                seconds = runTool(QStringLiteral("bsdtar"),
                                  {QStringLiteral("-xf"), archive, QStringLiteral("-C"), dir});
            }
            if (seconds < 0) {
                out << "extraction failed\n";
                return 1;
            }
            best[tool] = std::min(best[tool], seconds);
            bestCpu[tool] = std::min(bestCpu[tool], cpuSeconds(who) - cpuBefore);
            QDir(dir).removeRecursively();
        }
    }
    const double bestOurs = best[Ours], bestUnzip = best[Unzip], bestBsdtar = best[Bsdtar];

    const double mib = double(uncompressedBytes) / 1048576.0;
    figure(QStringLiteral("unzipArchive_time"), bestOurs, QStringLiteral("s"));
    figure(QStringLiteral("unzipArchive_throughput"), mib / bestOurs, QStringLiteral("MiB/s"), 1);
    figure(QStringLiteral("unzipArchive_cpu"), bestCpu[Ours], QStringLiteral("s"));
    // unzipArchive inflates on one thread per core; the reference tools use one.
    figure(QStringLiteral("unzipArchive_threads"), QThread::idealThreadCount(), QStringLiteral("threads"), 0);
    if (haveUnzip)
        figure(QStringLiteral("unzip_time"), bestUnzip, QStringLiteral("s"));
    if (haveUnzip)
        figure(QStringLiteral("unzip_cpu"), bestCpu[Unzip], QStringLiteral("s"));
    if (haveBsdtar)
        figure(QStringLiteral("bsdtar_time"), bestBsdtar, QStringLiteral("s"));
    if (haveBsdtar)
        figure(QStringLiteral("bsdtar_cpu"), bestCpu[Bsdtar], QStringLiteral("s"));
    if (haveBsdtar)
        figure(QStringLiteral("ratio_unzipArchive_to_bsdtar"), bestOurs / bestBsdtar, QStringLiteral("x"));
    if (haveUnzip)
        figure(QStringLiteral("ratio_unzipArchive_to_unzip"), bestOurs / bestUnzip, QStringLiteral("x"));
    return 0;
}
