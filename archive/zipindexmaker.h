#pragma once

#include "core/result.h"
#include "patch/zipindex.h"

#include <QString>

// Makes the entry index of a zip archive, as the publisher lists it beside the archive: reads the
// central directory with the zip library, each entry's local header from the file, and hashes what
// every entry unpacks to (checking its CRC on the way).
namespace ZipIndexMaker {

Result<ZipIndex::Error> make(const QString &path, ZipIndex *out);

} // namespace ZipIndexMaker
