#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>

#include <QStringList>
#include <functional>

// The new files of one publishing run. Each is written completely, every write checked, under a
// hidden name in the CDN folder; only when all of them are on disk do they take their names, in the
// order they were staged. A run that fails while staging leaves the folder as it was.
class Staging {
public:
    enum class Error { None = 0, CannotRead, TooLarge, CannotWrite, CannotPutInPlace };

    explicit Staging(const QString &folder);
    // Removes what is staged, unless some file has taken its name already: then the rest is left for
    // the next run, which puts it in place or removes it.
    ~Staging();
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;

    // Where fileName is staged in folder.
    static QString stagedPath(const QString &folder, const QString &fileName);
    // Removes whatever an earlier run left staged in folder.
    static void removeLeftovers(const QString &folder);

    // Copies source as fileName, at most maxSize bytes (a file may grow after it was looked at),
    // giving the MD5 (lower-case hex) and size of what was copied; `copied` hears of every block.
    Result<Error> copy(const QString &source, const QString &fileName, qint64 maxSize, QString *md5,
                       qint64 *size, const std::function<void(qint64)> &copied = {});
    Result<Error> write(const QString &fileName, const QByteArray &data);

    // Renames every staged file onto its name, in order, each after its bytes are synced to the disk.
    Result<Error> putInPlace();

private:
    QString folder;
    QStringList staged; // names, in the order they take them
    bool started = false;
};
