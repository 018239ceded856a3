#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>

// Every write that replaces a whole file goes through here: the bytes go to a temporary file
// beside the target, which takes the target's name only once all of them are on disk, so a failed
// or interrupted write never leaves a half file under the final name and the old file stays.
namespace AtomicFile {

enum class Error {
    None = 0,
    CannotCreateFolder, // the parent folder is missing and cannot be made
    CannotOpen,         // the temporary file cannot be created
    CannotWrite,        // the disk refused some of the bytes
    CannotCommit        // the temporary file could not be flushed or renamed onto the target
};

// Writes data as the whole content of path; with createFolder, makes the parent folder first.
Result<Error> write(const QString &path, const QByteArray &data, bool createFolder = false);

} // namespace AtomicFile
