#include "tools/publish/rcloneremote.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>

namespace {

// rclone's exit code for a folder that does not exist.
constexpr int DirectoryNotFound = 3;
// A listing of a release folder is far below this; anything larger is refused.
constexpr qint64 MaxListing = 64 * 1024 * 1024;

QString program() {
    const QString given = qEnvironmentVariable("KV_PUBLISH_RCLONE");
    return given.isEmpty() ? QStringLiteral("rclone") : given;
}

// The last error rclone logged (its JSON log lines), else the last line it wrote.
QString lastError(const QByteArray &log) {
    QString last;
    for (const QByteArray &line : log.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty()) {
            if (!line.trimmed().isEmpty())
                last = QString::fromUtf8(line.trimmed());
            continue;
        }
        if (o.value(QStringLiteral("level")).toString() == QLatin1String("error")) {
            const QString object = o.value(QStringLiteral("object")).toString();
            last = (object.isEmpty() ? QString() : object + QStringLiteral(": ")) +
                   o.value(QStringLiteral("msg")).toString().trimmed();
        }
    }
    return last.left(500);
}

} // namespace

RcloneRemote::RcloneRemote(const QString &remote)
    : remote(remote) {}

QString RcloneRemote::pathOf(const QString &fileName) const {
    if (remote.endsWith(QLatin1Char(':')) || remote.endsWith(QLatin1Char('/')))
        return remote + fileName;
    return remote + QLatin1Char('/') + fileName;
}

Result<RcloneRemote::Error> RcloneRemote::run(const QStringList &args, QByteArray *out,
                                              const std::function<void(qint64)> &progress,
                                              const QString &what) const {
    QProcess p;
    p.start(program(),
            QStringList{QStringLiteral("--use-json-log"), QStringLiteral("--retries"), QStringLiteral("1"),
                        QStringLiteral("--low-level-retries"), QStringLiteral("2")} +
                args);
    if (!p.waitForStarted(30000))
        return {Error::CannotRun,
                QStringLiteral("cannot run %1 for %2: %3").arg(program(), what, p.errorString())};
    QByteArray log;
    QByteArray pending;
    // Reads as it goes: a listing may be larger than a pipe holds, and the stats lines give progress.
    while (p.state() != QProcess::NotRunning) {
        p.waitForReadyRead(250);
        if (out) {
            out->append(p.readAllStandardOutput());
            if (out->size() > MaxListing) {
                p.kill();
                p.waitForFinished(5000);
                return {Error::Failed,
                        QStringLiteral("%1 wrote more than expected for %2").arg(program(), what)};
            }
        }
        pending += p.readAllStandardError();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            if (log.size() < 256 * 1024)
                log += line + '\n';
            if (progress && line.contains("\"stats\"")) {
                const QJsonObject stats =
                    QJsonDocument::fromJson(line).object().value(QStringLiteral("stats")).toObject();
                if (!stats.isEmpty())
                    progress(static_cast<qint64>(stats.value(QStringLiteral("bytes")).toDouble()));
            }
        }
    }
    if (out)
        out->append(p.readAllStandardOutput());
    log += pending + p.readAllStandardError();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (p.exitCode() == DirectoryNotFound && out) {
            out->clear();
            return {};
        }
        return {
            Error::Failed,
            QStringLiteral("%1 failed (exit code %2): %3").arg(what).arg(p.exitCode()).arg(lastError(log))};
    }
    return {};
}

Result<RcloneRemote::Error> RcloneRemote::list(QMap<QString, Entry> *files) const {
    QByteArray json;
    const Result<Error> listed = run(
        {QStringLiteral("lsjson"), remote, QStringLiteral("--files-only"), QStringLiteral("--no-mimetype")},
        &json, {}, QStringLiteral("listing %1").arg(remote));
    if (!listed.ok())
        return listed;
    files->clear();
    if (json.trimmed().isEmpty())
        return {};
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (!doc.isArray())
        return {Error::Failed,
                QStringLiteral("cannot read the listing of %1: %2").arg(remote, parseError.errorString())};
    for (const QJsonValue &v : doc.array()) {
        const QJsonObject o = v.toObject();
        Entry e;
        e.size = static_cast<qint64>(o.value(QStringLiteral("Size")).toDouble(-1));
        e.modified = QDateTime::fromString(o.value(QStringLiteral("ModTime")).toString(), Qt::ISODateWithMs);
        files->insert(o.value(QStringLiteral("Name")).toString(), e);
    }
    return {};
}

Result<RcloneRemote::Error> RcloneRemote::upload(const QString &folder, const QStringList &names,
                                                 const char *header,
                                                 const std::function<void(qint64)> &progress) const {
    if (names.isEmpty())
        return {};
    QTemporaryFile listFile;
    if (!listFile.open() || listFile.write(names.join(QLatin1Char('\n')).toUtf8() + '\n') < 0 ||
        !listFile.flush())
        return {Error::CannotRun,
                QStringLiteral("cannot write the list of files for rclone: %1").arg(listFile.errorString())};
    const QString what = names.size() == 1
                             ? QStringLiteral("uploading %1 to %2").arg(names.first(), remote)
                             : QStringLiteral("uploading %1 files to %2").arg(names.size()).arg(remote);
    // No skipping by size or time: every name given goes up.
    return run({QStringLiteral("copy"), folder, remote, QStringLiteral("--files-from-raw"),
                listFile.fileName(), QStringLiteral("--no-traverse"), QStringLiteral("--no-check-dest"),
                QStringLiteral("--header-upload"), QString::fromLatin1(header), QStringLiteral("--stats"),
                QStringLiteral("250ms"), QStringLiteral("--stats-log-level"), QStringLiteral("NOTICE")},
               nullptr, progress, what);
}

Result<RcloneRemote::Error> RcloneRemote::read(const QString &fileName, qint64 offset, qint64 count,
                                               QByteArray *bytes) const {
    bytes->clear();
    return run({QStringLiteral("cat"), pathOf(fileName), QStringLiteral("--offset"), QString::number(offset),
                QStringLiteral("--count"), QString::number(count)},
               bytes, {}, QStringLiteral("reading %1").arg(pathOf(fileName)));
}

Result<RcloneRemote::Error> RcloneRemote::remove(const QString &fileName) const {
    return run({QStringLiteral("deletefile"), pathOf(fileName)}, nullptr, {},
               QStringLiteral("removing %1").arg(pathOf(fileName)));
}
