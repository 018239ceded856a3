#pragma once

#include "core/result.h"

#include <QMetaType>

// Result of one file download.
enum ErrorCode {
    NoError = 0,  // all pieces received, digest equal, file written
    VerifyError,  // MD5 digest of the assembled file differs from the version file
    NetworkError, // a piece failed every attempt (or the file is unknown to the version table)
    WriteError    // the target file could not be written
};

Q_DECLARE_METATYPE(ErrorCode)

// A file download's outcome with the sentence that says why it failed.
using DownloadResult = Result<ErrorCode>;
