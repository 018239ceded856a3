#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>

#include <functional>

// Digests of files on disk, read in blocks so that a file of any size costs one block of memory.
namespace FileDigest {

enum class Error {
    None = 0,
    CannotOpen, // the file is missing or not readable
    CannotRead, // the disk failed part way through
    Stopped     // the progress callback asked to stop
};

// Called after every block with its size; returning false stops the reading.
using Progress = std::function<bool(qint64 blockBytes)>;

// Reads the whole file in blocks of 1 MiB, handing each to `consume` before `progress` hears of it.
Result<Error> readBlocks(const QString &path,
                         const std::function<void(const char *data, qint64 size)> &consume,
                         const Progress &progress = Progress());

// MD5 of the whole file as 32 lower-case hexadecimal digits in *hex; *hex is left empty on failure.
Result<Error> md5Hex(const QString &path, QByteArray *hex, const Progress &progress = Progress());

} // namespace FileDigest
