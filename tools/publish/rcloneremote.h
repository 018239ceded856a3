#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// One origin reached through rclone ("remote:path", a remote of rclone's configuration or of its
// RCLONE_CONFIG_* environment), run as a program for each operation. Files are read from and written
// to a local folder under the same names; nothing here deletes but remove(), which prune alone uses.
class RcloneRemote {
public:
    enum class Error { None = 0, CannotRun, Failed };

    struct Entry {
        qint64 size = -1;
        QDateTime modified;
    };

    // The headers the storage keeps with each file, where it takes them.
    static constexpr const char *ImmutableHeader = "Cache-Control: public, max-age=31536000, immutable";
    static constexpr const char *NoCacheHeader = "Cache-Control: no-cache";

    explicit RcloneRemote(const QString &remote);
    QString name() const { return remote; }
    // remote joined with a file name, as rclone takes it.
    QString pathOf(const QString &fileName) const;

    // The files at the top of the remote's folder (a missing folder is empty).
    Result<Error> list(QMap<QString, Entry> *files) const;
    // Uploads every one of names from folder, each whether or not the remote has it, with header.
    // progress hears of the bytes sent so far in this call.
    Result<Error> upload(const QString &folder, const QStringList &names, const char *header,
                         const std::function<void(qint64)> &progress = {}) const;
    // count bytes of the remote file from offset (a negative offset counts from its end).
    Result<Error> read(const QString &fileName, qint64 offset, qint64 count, QByteArray *bytes) const;
    Result<Error> remove(const QString &fileName) const;

private:
    Result<Error> run(const QStringList &args, QByteArray *out, const std::function<void(qint64)> &progress,
                      const QString &what) const;

    QString remote;
};
