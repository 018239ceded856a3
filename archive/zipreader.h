#pragma once

#include <QString>

#include <unzip.h>

// Opening archives and reading their entries with the zip library.
namespace ZipReader {

// Opens the archive through QFile, so any path Qt can name opens, also one that the local 8-bit
// encoding cannot spell (an install folder below a user name in another script on Windows).
// Null when it cannot be opened or is no zip archive. A handle serves one thread at a time.
unzFile open(const QString &path);

// Reads the current entry's information and its whole name, whatever its length.
bool currentEntry(unzFile zip, unz_file_info64 *info, QString *name);

} // namespace ZipReader
