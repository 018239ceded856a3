#pragma once

#include "core/result.h"

#include <QBitArray>
#include <QByteArray>
#include <QString>
#include <QStringList>

struct RemoteFileInfo;

// What an unfinished download left on disk: the partial file beside the target
// ("<name>.kestrivane-download", received pieces at their offsets) and this record beside it
// ("<name>.kestrivane-resume"), which lists the pieces complete in the partial file and the listed
// name, version, size and MD5 they belong to. The record is replaced atomically and only after
// the bytes it adds are on the disk, so it never claims a byte the partial file does not hold.
class ResumeRecord {
public:
    enum class Error {
        None = 0,
        Missing,    // no record (and maybe a partial file without one)
        Unreadable, // not a record this launcher wrote, or damaged
        Mismatch    // for another listed file, or the partial file lacks bytes it claims
    };

    static constexpr const char *PartialSuffix = ".kestrivane-download";
    static constexpr const char *RecordSuffix = ".kestrivane-resume";
    // A record of a file of 1 TiB lists 262144 pieces in 64 KiB; anything larger is not ours.
    static constexpr qint64 MaxRecordSize = 256 * 1024;

    ResumeRecord() = default;
    // A record of no complete piece for the listed file.
    ResumeRecord(const QString &name, const QString &version, qint64 size, const QString &md5);

    const QString &name() const { return fileName; }
    qint64 size() const { return fileSize; }
    int pieceCount() const { return int(complete.size()); }
    bool isComplete(int index) const {
        return index >= 0 && index < complete.size() && complete.testBit(index);
    }
    void setComplete(int index) { complete.setBit(index); }
    int completeCount() const { return complete.count(true); }
    qint64 completeBytes() const;
    bool isFor(const RemoteFileInfo &listed) const;

    QByteArray toBytes() const;
    static Result<Error> fromBytes(const QByteArray &bytes, ResumeRecord *out);

    // Reads the record beside `target` and checks it against the listed file and the partial
    // file: Missing when there is none, otherwise ok only when everything it claims is there.
    // Either of them being a link or anything but a plain file makes the record unusable.
    static Result<Error> load(const QString &target, const RemoteFileInfo &listed, ResumeRecord *out);
    // Replaces the record beside `target` in one step.
    Result<Error> save(const QString &target) const;
    // Removes the partial file and the record of `target` (whatever of them exists).
    static void discard(const QString &target);
    // Whether a partial file or a record of `target` exists (as a link to nothing, too).
    static bool exists(const QString &target);

    static QString partialPath(const QString &target);
    static QString recordPath(const QString &target);
    // Leftovers of record writes that a killed launcher could not finish, beside `target`.
    static QStringList strayRecordCopies(const QString &target);

private:
    QString fileName;
    QString fileVersion;
    QString fileMd5;
    qint64 fileSize = 0;
    QBitArray complete;
};
