#pragma once

#include <QString>

// The marks a launcher update leaves in the launcher's folder, shared with the update scripts:
// - "update.pending": the script started a new launcher and waits for it to come up;
// - "update.confirmed": the new launcher came up (StartConfirmation says when); the script then
//   keeps it. A launcher that ends without it is replaced by the previous one at once;
// - "update.failed": no confirmation came, the script put the previous launcher back; the note
//   names the version that failed ("0.13", then "0.13 reported" once its event is sent), which is
//   not taken again until the version file lists another one.
class UpdateMarks {
public:
    // Called once this launcher is up: turns a pending update into a confirmed one. False when no
    // update waits or the mark cannot be made.
    static bool confirmStarted(const QString &folder);
    // The launcher version that failed to come up ("" when none did, or the note is unreadable).
    static QString failedVersion(const QString &folder);
    // Whether the failure still has to be told (the first start after the previous launcher came
    // back); marks it told.
    static bool takeUnreportedFailure(const QString &folder);
    // The version file lists another launcher: the failure no longer holds.
    static void forgetFailure(const QString &folder);
};
