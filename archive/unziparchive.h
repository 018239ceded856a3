#pragma once

#include <QString>

// Unpacks a zip archive into the launcher directory (Platform::launcherDir()). Blocking; meant to run
// on a worker thread (QtConcurrent::run). Thread-safe: it keeps no state between calls and touches
// neither widgets nor settings. Returns false on the first entry that cannot be extracted; entries
// written before the failure stay on disk.
bool unzipArchive(const QString &path);

// Same, into an explicit directory (which must exist).
bool unzipArchive(const QString &path, const QString &targetDir);
