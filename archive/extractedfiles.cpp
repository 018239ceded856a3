#include "archive/extractedfiles.h"

#include "core/atomicfile.h"
#include "platform/filenamerules.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

namespace {

const QByteArray Magic("KVEF 1");
const QByteArray VersionWord("version ");
const QByteArray IndexWord("index ");
const QByteArray NoIndex("-");
constexpr int DigestBytes = 32;

Result<ExtractedFiles::Error> malformed(const QString &path, const QString &why) {
    qWarning().noquote() << "ignoring the record of extracted files" << path << "-" << why;
    return {ExtractedFiles::Error::Malformed, QStringLiteral("%1: %2").arg(path, why)};
}

bool isIndexDigest(const QByteArray &d) {
    if (d.size() != 64)
        return false;
    for (const char c : d) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool isVersion(const QByteArray &v) {
    if (v.isEmpty() || v.size() > 64)
        return false;
    for (const char c : v) {
        if (c <= ' ' || c > '~')
            return false;
    }
    return true;
}

} // namespace

const QLatin1String ExtractedFiles::Suffix(".kestrivane-entries");

QString ExtractedFiles::recordPath(const QString &folder, const QString &archive) {
    return QStringLiteral("%1/%2%3").arg(folder, archive, Suffix);
}

ExtractedFiles ExtractedFiles::of(const QString &version, const QString &indexDigest,
                                  const std::vector<InstalledEntry> &installed, const QString &folder) {
    ExtractedFiles record;
    record.archiveVersion = version;
    if (isIndexDigest(indexDigest.toLatin1()))
        record.listedIndex = indexDigest;
    record.installedFiles.reserve(int(installed.size()));
    for (const InstalledEntry &e : installed) {
        const QFileInfo info(QStringLiteral("%1/%2").arg(folder, e.name));
        qint64 time = info.exists() ? info.lastModified().toMSecsSinceEpoch() : 0;
        // Changed since it was checked: the time vouches for nothing, so the next look hashes it.
        if (e.checkedMs >= 0 && time != e.checkedMs)
            time = 0;
        record.installedFiles.append({e.name, e.size, time, e.blake2b});
    }
    return record;
}

QByteArray ExtractedFiles::toBytes() const {
    QByteArray text = Magic + '\n' + VersionWord + archiveVersion.toUtf8() + '\n' + IndexWord +
                      (listedIndex.isEmpty() ? NoIndex : listedIndex.toLatin1()) + '\n';
    for (const File &f : installedFiles) {
        text += f.blake2b.toHex() + '\t' + QByteArray::number(f.size) + '\t' +
                QByteArray::number(f.modifiedMs) + '\t' + f.name.toUtf8() + '\n';
    }
    return text;
}

Result<ExtractedFiles::Error> ExtractedFiles::save(const QString &path) const {
    const Result<AtomicFile::Error> written = AtomicFile::write(path, toBytes());
    if (!written.ok())
        qWarning().noquote() << "cannot write the record of extracted files" << path << written.reason();
    return written.as(Error::CannotWrite);
}

Result<ExtractedFiles::Error> ExtractedFiles::load(const QString &path, ExtractedFiles *record) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Error::Missing, QStringLiteral("%1: %2").arg(path, file.errorString())};
    if (file.size() > MaxRecordBytes)
        return malformed(path, QStringLiteral("%1 bytes, more than a record holds").arg(file.size()));
    return fromBytes(file.read(MaxRecordBytes + 1), record, path);
}

Result<ExtractedFiles::Error> ExtractedFiles::fromBytes(const QByteArray &text, ExtractedFiles *record,
                                                        const QString &origin) {
    const QString &path = origin;
    if (text.size() > MaxRecordBytes)
        return malformed(path, QStringLiteral("more bytes than a record holds"));
    if (!text.endsWith('\n'))
        return malformed(path, QStringLiteral("cut short"));
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    constexpr int HeaderLines = 3;
    if (lines.size() < HeaderLines || lines.at(0) != Magic || !lines.at(1).startsWith(VersionWord) ||
        !isVersion(lines.at(1).mid(VersionWord.size())) || !lines.at(2).startsWith(IndexWord))
        return malformed(path, QStringLiteral("no record header"));
    const QByteArray index = lines.at(2).mid(IndexWord.size());
    if (index != NoIndex && !isIndexDigest(index))
        return malformed(path, QStringLiteral("no index digest"));
    if (lines.size() - HeaderLines > MaxFiles)
        return malformed(path, QStringLiteral("more files than a record holds"));
    ExtractedFiles read;
    read.archiveVersion = QString::fromUtf8(lines.at(1).mid(VersionWord.size()));
    if (index != NoIndex)
        read.listedIndex = QString::fromLatin1(index);
    read.installedFiles.reserve(lines.size() - HeaderLines);
    for (int i = HeaderLines; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split('\t');
        bool sizeOk = false;
        bool timeOk = false;
        File f;
        if (fields.size() == 4) {
            f.blake2b = QByteArray::fromHex(fields.at(0));
            f.size = fields.at(1).toULongLong(&sizeOk);
            f.modifiedMs = fields.at(2).toLongLong(&timeOk);
            f.name = QString::fromUtf8(fields.at(3));
        }
        // Only a name an archive could have installed: nothing outside the folder is ever looked at.
        if (fields.size() != 4 || fields.at(0).size() != 2 * DigestBytes || f.blake2b.size() != DigestBytes ||
            f.blake2b.toHex() != fields.at(0) || !sizeOk || !timeOk ||
            QByteArray::number(f.size) != fields.at(1) || QByteArray::number(f.modifiedMs) != fields.at(2) ||
            f.name.toUtf8() != fields.at(3) || !FileNameRules::isSafeEntryName(f.name) ||
            f.name.endsWith(QLatin1Char('/')) || FileNameRules::normalizedEntryName(f.name) != f.name)
            return malformed(path, QStringLiteral("line %1 is not a file of the record").arg(i + 1));
        read.installedFiles.append(f);
    }
    *record = read;
    return {};
}

void ExtractedFiles::remove(const QString &folder, const QString &archive) {
    const QString path = recordPath(folder, archive);
    if (QFileInfo::exists(path) && !QFile::remove(path))
        qWarning() << "cannot remove the record of extracted files" << path;
}

Result<FileDigest::Error> ExtractedFiles::digestOf(const QString &path, QByteArray *digest,
                                                   const FileDigest::Progress &progress) {
    digest->clear();
    if (sodium_init() < 0)
        return {FileDigest::Error::CannotRead, QStringLiteral("the cryptography library failed to start")};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, DigestBytes);
    const Result<FileDigest::Error> read = FileDigest::readBlocks(
        path,
        [&state](const char *data, qint64 size) {
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(data),
                                      static_cast<unsigned long long>(size));
        },
        progress);
    if (!read.ok())
        return read;
    QByteArray out(DigestBytes, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(out.data()), DigestBytes);
    *digest = out;
    return {};
}
