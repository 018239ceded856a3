#pragma once

#include <QFileDevice>
#include <QString>

// Applies the permission bits stored with a zip entry made on a Unix host (the high 16 bits of the
// external attributes) to an extracted file, so that programs stay executable. Entries made on other
// hosts carry no such bits and are left with the default permissions, and so are entries that are
// not regular files (symbolic links are never created). The owner always keeps read
// and write access so a later update can replace the file.
// Returns false only when the bits were meant to be applied and could not be.
bool applyEntryPermissions(const QString &filePath, unsigned long versionMadeBy,
                           unsigned long externalAttributes);

// The mode bits (0777) an entry gives its file; 0 when it gives none (see above).
unsigned long entryMode(unsigned long versionMadeBy, unsigned long externalAttributes);

// The mode bits of a file's permissions, as an entry made on Unix stores them.
unsigned long modeOfPermissions(QFileDevice::Permissions permissions);
