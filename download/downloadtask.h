#pragma once

#include <QString>

// One queued file: where it lies below the CDN base URL and under which name it is stored.
// localName is also the key of the file's entry in VersionTable.
struct DownloadTask {
    QString remotePath;
    QString localName;
};
