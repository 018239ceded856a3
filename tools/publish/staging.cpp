#include "tools/publish/staging.h"

#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdlib>

namespace {

const QString StagedPrefix = QStringLiteral(".kv-publish-");
constexpr qint64 CopyBlock = 1 << 20;

// The CDN serves the files to everyone.
constexpr QFileDevice::Permissions PublicFile =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

Result<Staging::Error> writeFailed(const QFile &file) {
    return {Staging::Error::CannotWrite,
            QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString())};
}

// All of data or a failure: unbuffered, so a full disk shows here and not in a close() nobody checks.
bool writeAll(QFile *file, const char *data, qint64 size) {
    while (size > 0) {
        const qint64 n = file->write(data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// Opens the staged file for a new content; an existing one (left by an earlier run) is emptied.
bool openStaged(QFile *file) {
    return file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

// Closes the staged file, the last chance for the system to report a failed write.
Result<Staging::Error> finish(QFile *file) {
    file->close();
    if (file->error() != QFileDevice::NoError)
        return writeFailed(*file);
    if (!file->setPermissions(PublicFile))
        return writeFailed(*file);
    return {};
}

} // namespace

Staging::Staging(const QString &folder)
    : folder(folder) {}

Staging::~Staging() {
    if (started)
        return;
    for (const QString &name : qAsConst(staged))
        QFile::remove(stagedPath(folder, name));
}

QString Staging::stagedPath(const QString &folder, const QString &fileName) {
    return QDir(folder).filePath(StagedPrefix + fileName);
}

void Staging::removeLeftovers(const QString &folder) {
    const QDir dir(folder);
    const QStringList names =
        dir.entryList({StagedPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names)
        QFile::remove(dir.filePath(name));
}

Result<Staging::Error> Staging::copy(const QString &source, const QString &fileName, qint64 maxSize,
                                     QString *md5, qint64 *size, const std::function<void(qint64)> &copied) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return {Error::CannotRead, QStringLiteral("cannot read %1: %2").arg(source, in.errorString())};
    QFile out(stagedPath(folder, fileName));
    if (!openStaged(&out))
        return writeFailed(out);
    staged.append(fileName);
    QCryptographicHash hash(QCryptographicHash::Md5);
    qint64 total = 0;
    for (;;) {
        const QByteArray block = in.read(CopyBlock);
        if (block.isEmpty()) {
            if (in.error() != QFileDevice::NoError)
                return {Error::CannotRead,
                        QStringLiteral("cannot read %1: %2").arg(source, in.errorString())};
            break;
        }
        total += block.size();
        if (total > maxSize)
            return {
                Error::TooLarge,
                QStringLiteral("%1 grew past %2 bytes while copying").arg(source, QString::number(maxSize))};
        hash.addData(block);
        if (!writeAll(&out, block.constData(), block.size()))
            return writeFailed(out);
        if (copied)
            copied(block.size());
    }
    const Result<Error> finished = finish(&out);
    if (!finished.ok())
        return finished;
    *md5 = QString::fromLatin1(hash.result().toHex());
    *size = total;
    return {};
}

Result<Staging::Error> Staging::write(const QString &fileName, const QByteArray &data) {
    QFile out(stagedPath(folder, fileName));
    if (!openStaged(&out))
        return writeFailed(out);
    staged.append(fileName);
    if (!writeAll(&out, data.constData(), data.size()))
        return writeFailed(out);
    return finish(&out);
}

Result<Staging::Error> Staging::putInPlace() {
    // For tests: ends the process on the spot, as a kill would, just before the named file takes its name.
    const QString stopBefore = qEnvironmentVariable("KV_PUBLISH_STOP_BEFORE");
    started = true;
    while (!staged.isEmpty()) {
        const QString name = staged.first();
        if (name == stopBefore)
            std::_Exit(9);
        const QString target = QDir(folder).filePath(name);
        if (!Platform::replaceFile(stagedPath(folder, name), target))
            return {Error::CannotPutInPlace,
                    QStringLiteral("cannot put %1 in place of %2").arg(stagedPath(folder, name), target)};
        staged.removeFirst();
    }
    return {};
}
