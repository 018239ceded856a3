#include "archive/extractionjob.h"

#include "archive/extractionwriter.h"
#include "archive/zipreader.h"
#include "core/diskroom.h"
#include "patch/zipindex.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <memory>

#include <sodium.h>

namespace {

// Bytes inflated per read. Large blocks keep the number of write calls low; the whole archive is
// never held in memory.
constexpr int blockSize = 256 * 1024;

QDebug log() {
    return qDebug().noquote().nospace();
}

} // namespace

ExtractionJob::ExtractionJob(const QString &archive, ExtractionWriter *writer, qint64 blockSize)
    : archivePath(archive)
    , stagingWriter(writer)
    , diskBlockSize(qMax<qint64>(blockSize, 1)) {}

void ExtractionJob::add(Entry entry) {
    // Sizes come from the archive's directory: the sum stops growing long before it could overflow.
    totalRoom = qMin(totalRoom + roomOf(entry), qint64(1) << 62);
    // The same name twice in one archive: the later entry wins, as it would on disk.
    const auto earlier = byTarget.constFind(entry.target);
    if (earlier != byTarget.constEnd())
        entries[*earlier].shadowed = true;
    byTarget.insert(entry.target, entries.size());
    entries.push_back(std::move(entry));
}

qint64 ExtractionJob::roomOf(const Entry &entry) const {
    // A size from the archive's directory, bounded so that adding one cannot overflow.
    return DiskRoom::onDisk(qint64(qMin<quint64>(entry.size, quint64(1) << 50)), diskBlockSize);
}

void ExtractionJob::fail(quint64 index, ExtractError code, const QString &why, qint64 missingRoom) {
    std::lock_guard<std::mutex> lock(mutex);
    if (hasFailure && stopAt.load() <= index)
        return;
    hasFailure = true;
    error = code;
    reason = why;
    missingBytes = code == ExtractError::NoRoom ? missingRoom : 0;
    stopAt.store(index);
}

bool ExtractionJob::writeFailed(const Entry &entry, const QString &what) {
    // Room for the whole extraction was there when it began: a disk that has less left now than
    // the rest needs was filled meanwhile (or its folder is another, smaller disk).
    const qint64 left = qMax<qint64>(totalRoom - stagedRoom.load(), 1);
    const qint64 free = DiskRoom::available(what);
    if (free < 0 || free >= left) {
        fail(entry.index, ExtractError::CannotWrite, QStringLiteral("cannot write %1").arg(what));
        return false;
    }
    log() << "not enough disk space to uncompress " << what << ", " << left << " bytes still to write, "
          << free << " free";
    fail(entry.index, ExtractError::NoRoom,
         QStringLiteral("the disk holding %1 is full: %2 more bytes are needed (%3 bytes still to write, %4 "
                        "free)")
             .arg(what)
             .arg(left - free)
             .arg(left)
             .arg(free),
         left - free);
    return false;
}

bool ExtractionJob::run(int threads) {
    if (sodium_init() < 0) {
        fail(0, ExtractError::CannotOpen, QStringLiteral("the cryptography library failed to start"));
        return false;
    }
    digests.assign(entries.size(), QByteArray());
    const size_t count = std::min(size_t(std::max(threads, 1)), entries.size());
    // A helper that cannot be started leaves its entries to the others, which take them from the
    // same index.
    std::vector<std::unique_ptr<QThread>> helpers;
    for (size_t i = 1; i < count; ++i) {
        helpers.emplace_back(QThread::create([this] { work(); }));
        helpers.back()->start();
    }
    if (count > 0)
        work();
    for (const auto &helper : helpers)
        helper->wait();
    std::lock_guard<std::mutex> lock(mutex);
    return !hasFailure;
}

void ExtractionJob::work() {
    unzFile zip = nullptr;
    QByteArray buffer(blockSize, Qt::Uninitialized);
    for (;;) {
        const size_t next = nextEntry.fetch_add(1);
        if (next >= entries.size())
            break;
        const Entry &entry = entries[next];
        // Entries come in the archive's order: once one is stopped, so is every later one.
        if (stopped(entry.index))
            break;
        if (!zip && !(zip = ZipReader::open(archivePath))) {
            log() << "failed to open zip file: " << archivePath;
            fail(entry.index, ExtractError::CannotOpen, QStringLiteral("not a readable zip archive"));
            break;
        }
        if (!extract(zip, entry, buffer.data(), &digests[next]))
            break;
    }
    if (zip)
        unzClose(zip);
}

bool ExtractionJob::extract(unzFile zip, const Entry &entry, char *buffer, QByteArray *digest) {
    const auto failed = [&](ExtractError code, const QString &why) {
        fail(entry.index, code, why);
        return false;
    };
    if (!entry.parent.isEmpty() && !stagingWriter->makeDirectory(entry.parent))
        return writeFailed(entry, entry.parent);
    if (unzGoToFilePos64(zip, &entry.position) != UNZ_OK) {
        log() << "can not read file info";
        return failed(ExtractError::Damaged, QStringLiteral("entry %1 cannot be read").arg(entry.index));
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        log() << "cannot open file in zip " << entry.name;
        return failed(ExtractError::Damaged, QStringLiteral("entry %1 cannot be opened").arg(entry.name));
    }
    std::unique_ptr<QFile> file;
    if (!ExtractionWriter::canReplace(entry.target)) {
        unzCloseCurrentFile(zip);
        return failed(ExtractError::CannotWrite, QStringLiteral("cannot write %1").arg(entry.target));
    }
    if (!entry.shadowed && !(file = ExtractionWriter::openStaging(entry.target))) {
        unzCloseCurrentFile(zip);
        return writeFailed(entry, entry.target);
    }
    const auto giveUp = [&](ExtractError code, const QString &why) {
        unzCloseCurrentFile(zip);
        ExtractionWriter::drop(std::move(file));
        return failed(code, why);
    };

    // The digest of what the file receives (the one entry indexes list), so that the installed copy
    // can be checked later.
    crypto_generichash_state hash;
    crypto_generichash_init(&hash, nullptr, 0, ZipIndex::HashLength);
    quint64 written = 0;
    for (;;) {
        if (stopped(entry.index)) { // an earlier entry failed
            unzCloseCurrentFile(zip);
            ExtractionWriter::drop(std::move(file));
            return false;
        }
        const int count = unzReadCurrentFile(zip, buffer, unsigned(blockSize));
        if (count < 0) {
            log() << "cannot read zip file " << entry.name << ", error code is " << count;
            return giveUp(
                ExtractError::Damaged,
                QStringLiteral("entry %1 cannot be inflated (zip error %2)").arg(entry.name).arg(count));
        }
        if (count == 0)
            break;
        if (file && file->write(buffer, count) != count) {
            log() << "cannot write target file " << entry.target << ", " << file->errorString();
            unzCloseCurrentFile(zip);
            ExtractionWriter::drop(std::move(file));
            return writeFailed(entry, entry.target);
        }
        crypto_generichash_update(&hash, reinterpret_cast<const unsigned char *>(buffer),
                                  static_cast<unsigned long long>(count));
        written += quint64(count);
    }
    // A damaged stream can end early without an error; its checksum is then never compared.
    if (written != entry.size) {
        log() << "size mismatch in zip file " << entry.name << ", " << written << " of " << entry.size
              << " bytes";
        return giveUp(ExtractError::Damaged, QStringLiteral("entry %1 holds %2 bytes, its header says %3")
                                                 .arg(entry.name)
                                                 .arg(written)
                                                 .arg(entry.size));
    }

    // Closing an entry that was read to its end compares its checksum.
    const int closed = unzCloseCurrentFile(zip);
    if (closed != UNZ_OK) {
        ExtractionWriter::drop(std::move(file));
        if (closed == UNZ_CRCERROR) {
            log() << "crc error in zip file " << entry.name;
            return failed(ExtractError::Damaged,
                          QStringLiteral("entry %1 fails its checksum").arg(entry.name));
        }
        log() << "cannot close file in zip " << entry.name << ", error code is " << closed;
        return failed(ExtractError::Damaged,
                      QStringLiteral("entry %1 cannot be closed (zip error %2)").arg(entry.name).arg(closed));
    }
    digest->resize(ZipIndex::HashLength);
    crypto_generichash_final(&hash, reinterpret_cast<unsigned char *>(digest->data()), ZipIndex::HashLength);
    // A shadowed entry installs nothing; the list holds the digest of the entry that wins.
    if (expected && !entry.shadowed && expected->value(entry.name) != *digest) {
        log() << "entry unpacks to other bytes than expected " << entry.name;
        ExtractionWriter::drop(std::move(file));
        return failed(ExtractError::Damaged,
                      QStringLiteral("entry %1 unpacks to other bytes than its index lists").arg(entry.name));
    }
    if (file && !stagingWriter->stage(std::move(file), entry.target, entry.index, entry.versionMadeBy,
                                      entry.externalAttributes))
        return writeFailed(entry, entry.target);
    stagedRoom.fetch_add(roomOf(entry));
    return true;
}

std::vector<InstalledEntry> ExtractionJob::installed() const {
    std::vector<InstalledEntry> files;
    files.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        if (e.shadowed || i >= digests.size())
            continue;
        files.push_back({e.name, e.size, digests[i]});
    }
    return files;
}
