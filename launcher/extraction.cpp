// Extraction of the downloaded archives, one at a time on a worker thread.
#include "launcher/launcherupdater.h"

void LauncherUpdater::prepareExtraction() {}

void LauncherUpdater::extractNextArchive() {}

void LauncherUpdater::onArchiveExtracted(const QString &name, const QString &path,
                                         QFutureWatcher<bool> *watcher) {
    Q_UNUSED(name);
    Q_UNUSED(path);
    Q_UNUSED(watcher);
}

void LauncherUpdater::clearExtractionMark(const QString &name) {
    Q_UNUSED(name);
}
