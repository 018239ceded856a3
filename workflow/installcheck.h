#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

// Checks of a file the launcher recorded as installed against its line of the version file: by
// size at every start (a stat, so the start stays fast), by MD5 on request (--verify). Nothing here
// touches a widget or the settings: the MD5 check runs on worker threads.
class InstallCheck {
public:
    // Shared by the workers of one check and the update that waits for them.
    struct Progress {
        std::atomic<qint64> hashedBytes{0};
        std::atomic<bool> cancelled{false};
    };

    struct File {
        QString name; // as the version file lists it: for a file an archive installed, the archive
        QString path;
        qint64 size = 0;
        QString md5;
        QString damage; // why the file on disk is not the listed one; empty when it is
        std::shared_ptr<Progress> progress;
        QString entry;      // a file an archive installed, by its name below the folder; empty for others
        QByteArray blake2b; // for such a file, the digest its record gives, checked instead of the MD5
    };

    // Why the file at path is not the listed one by its size ("missing", "size 5 on disk, 9
    // listed"); empty when the sizes agree.
    static QString sizeDamage(const QString &path, qint64 listedSize);

    // The file with `damage` filled in from its size and then its MD5 (or BLAKE2b), read in blocks of 1 MiB.
    // Stops early, with "check cancelled", once the progress is cancelled.
    static File hashCheck(File file);
};
