// A downloaded archive: any bytes, unpacked into a folder deep inside a scratch folder that already
// holds an installed game. Whether it unpacks or fails, nothing appears or changes outside the
// target folder and no link is made. A failed archive leaves the target exactly as it was; one
// that unpacks leaves every file entry on disk with its listed size, the other installed files as
// they were, and nothing else (no staging leftovers). An entry index the publisher makes of the
// same bytes is one a launcher accepts.

#include "archive/unziparchive.h"
#include "archive/zipindexmaker.h"
#include "fuzz/fuzzcheck.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <unzip.h>

#include <cstdint>

namespace {

QTemporaryDir *scratch = nullptr;
const QByteArray SentinelText = "left alone\n";

// The scratch folder: a RAM disk when there is one, the files come and go thousands of times a second.
QString scratchBase() {
    const QString fromEnvironment = qEnvironmentVariable("KESTRIVANE_FUZZ_TMP");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
}

// File entries of the archive (name, uncompressed size of the last entry of that name), read
// with the zip library directly; empty when the directory cannot be read.
QMap<QString, quint64> listFiles(const QString &path, bool *readable) {
    QMap<QString, quint64> files;
    *readable = false;
    unzFile zip = unzOpen64(QFile::encodeName(path).constData());
    if (!zip)
        return files;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK) {
        unzClose(zip);
        return files;
    }
    int status = global.number_entry == 0 ? UNZ_END_OF_LIST_OF_FILE : unzGoToFirstFile(zip);
    while (status == UNZ_OK) {
        unz_file_info64 info;
        char name[65536 + 1];
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        const QString entry =
            QString::fromUtf8(QByteArray(name, int(std::min<quint64>(info.size_filename, sizeof name - 1))));
        // "." with no data names the target folder itself, as "./" does.
        if (!entry.endsWith(QLatin1Char('/')) && entry != QLatin1String("."))
            files.insert(QDir::cleanPath(entry), info.uncompressed_size);
        status = unzGoToNextFile(zip);
    }
    *readable = status == UNZ_END_OF_LIST_OF_FILE;
    unzClose(zip);
    return files;
}

// What the target folder holds before the archive: an installed game it may update.
const QMap<QString, QByteArray> &installed() {
    static const QMap<QString, QByteArray> files = {{QStringLiteral("keep.txt"), "installed\n"},
                                                    {QStringLiteral("Quelvane.exe"), "old game"},
                                                    {QStringLiteral("data/level1.dat"), "old level\n"}};
    return files;
}

// The target's files (relative path and size, with the contents of the installed ones) and folders.
struct Snapshot {
    QMap<QString, qint64> sizes;
    QMap<QString, QByteArray> installedContents;
    QStringList folders;
    bool operator==(const Snapshot &o) const {
        return sizes == o.sizes && installedContents == o.installedContents && folders == o.folders;
    }
};

Snapshot snapshot(const QString &target) {
    Snapshot s;
    QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = it.next().mid(target.size() + 1);
        if (it.fileInfo().isDir()) {
            s.folders << relative;
            continue;
        }
        s.sizes.insert(relative, it.fileInfo().size());
        if (installed().contains(relative)) {
            QFile file(it.filePath());
            FUZZ_CHECK(file.open(QIODevice::ReadOnly));
            s.installedContents.insert(relative, file.read(1 << 20));
        }
    }
    s.folders.sort();
    return s;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quietQtLog();
    QDir(scratchBase()).mkpath(QStringLiteral("."));
    scratch = new QTemporaryDir(scratchBase() + QStringLiteral("/kv-fuzz-archive-XXXXXX"));
    FUZZ_CHECK(scratch->isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // scratch/archive.zip, scratch/sentinel, scratch/a/b/c/d/e/target: a climb of up to six
    // levels lands inside the scratch folder, where it is seen.
    const QString root = scratch->path();
    QDir(root).removeRecursively();
    const QString target = root + QStringLiteral("/a/b/c/d/e/target");
    FUZZ_CHECK(QDir().mkpath(target));
    const QString archive = root + QStringLiteral("/archive.zip");
    const QString sentinel = root + QStringLiteral("/a/b/sentinel");
    {
        QFile file(archive);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        FUZZ_CHECK(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
        QFile mark(sentinel);
        FUZZ_CHECK(mark.open(QIODevice::WriteOnly) && mark.write(SentinelText) == SentinelText.size());
    }

    for (auto it = installed().cbegin(); it != installed().cend(); ++it) {
        const QString path = target + QLatin1Char('/') + it.key();
        FUZZ_CHECK(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(it.value()) == it.value().size());
    }
    const Snapshot before = snapshot(target);

    const bool unpacked = unzipArchive(archive, target);

    // The publisher's index of the same bytes: whatever it makes, a launcher accepts, with every
    // entry inside the archive.
    ZipIndex index;
    if (ZipIndexMaker::make(archive, &index).ok()) {
        const QByteArray bytes = index.toBytes();
        ZipIndex read;
        FUZZ_CHECK(ZipIndex::parse(bytes, qint64(size), ZipIndex::digestHex(bytes), &read).ok());
        for (const ZipIndex::Entry &e : read.entries())
            FUZZ_CHECK(e.end() <= qint64(size));
    }

    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        FUZZ_CHECK(!it.fileInfo().isSymLink());
        if (path.startsWith(target + QLatin1Char('/')))
            continue;
        // Outside the target only what was there before.
        if (!(path == archive || path == sentinel || path == target ||
              target.startsWith(path + QLatin1Char('/'))))
            std::fprintf(stderr, "unexpected: %s\n", QFile::encodeName(path).constData());
        FUZZ_CHECK(path == archive || path == sentinel || path == target ||
                   target.startsWith(path + QLatin1Char('/')));
    }
    QFile mark(sentinel);
    FUZZ_CHECK(mark.open(QIODevice::ReadOnly) && mark.readAll() == SentinelText);
    QFile self(archive);
    FUZZ_CHECK(self.size() == qint64(size));

    const Snapshot after = snapshot(target);
    if (!unpacked) {
        FUZZ_CHECK(after == before);
        return 0;
    }
    bool readable = false;
    const QMap<QString, quint64> entries = listFiles(archive, &readable);
    // An archive of nothing but its end record unpacks to nothing, though the zip library
    // cannot open it.
    if (!readable) {
        FUZZ_CHECK(after == before);
        return 0;
    }
    for (auto e = entries.cbegin(); e != entries.cend(); ++e)
        FUZZ_CHECK(after.sizes.contains(e.key()) && quint64(after.sizes.value(e.key())) == e.value());
    for (auto f = after.sizes.cbegin(); f != after.sizes.cend(); ++f) {
        if (entries.contains(f.key()))
            continue;
        FUZZ_CHECK(installed().contains(f.key()));
        FUZZ_CHECK(after.installedContents.value(f.key()) == installed().value(f.key()));
    }
    return 0;
}
