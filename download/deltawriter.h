#pragma once

#include "core/result.h"
#include "download/blockmatcher.h"

#include <QString>

#include <atomic>
#include <functional>

// Puts the blocks an old copy holds into the partial file of the new version, at their offsets in the
// new file. The partial file takes the new file's size; what is still to be fetched stays a hole.
class DeltaWriter {
public:
    enum class Error { None = 0, CannotRead, CannotWrite, Cancelled };
    // Bytes of the new file written so far, and all that the plan reuses.
    using Progress = std::function<void(qint64 written, qint64 total)>;

    // Every block is read back from the old copy and checked against the map before it is written: one
    // that no longer matches (the old copy changed since the scan) is left out and moves to the plan's
    // requests. The partial file is on the disk when this returns ok, so a record may then list the
    // reused blocks. Runs on a worker thread; *cancel may be set from any thread.
    static Result<Error> write(const QString &oldPath, const QString &partialPath, const BlockMap &map,
                               DeltaPlan *plan, const std::atomic<bool> *cancel = nullptr,
                               const Progress &progress = Progress());
};
