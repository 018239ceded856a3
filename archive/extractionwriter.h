#pragma once

#include <QSet>
#include <QString>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class QFile;

// The file-system side of one extraction. No installed file is touched while the archive is read:
// each entry goes to a staging file beside its target (target + stagingSuffix). Only when every
// entry has been read and checked does commit() move the staged files onto their targets, each old
// file first set aside as target + backupSuffix so that a failed move can put everything back;
// discard() instead removes the staged files and the folders this extraction created. Either way
// the targets end up all old or all new (a process killed during commit() leaves both suffixes
// behind; the next extraction of the archive replaces them).
//
// Entries are staged from several threads at once, each writing its own files; the bookkeeping is
// under a lock. commit() and discard() come after every staging thread has finished.
class ExtractionWriter {
public:
    ExtractionWriter() = default;
    ~ExtractionWriter();
    ExtractionWriter(const ExtractionWriter &) = delete;
    ExtractionWriter &operator=(const ExtractionWriter &) = delete;

    // Creates a folder and its missing parents, noting the ones it made. False (with a log line)
    // when that fails. Each folder is looked at once.
    bool makeDirectory(const QString &dir);

    // Whether an installed file may be replaced: no folder in its way, and writable by this user
    // when it exists (not read-only, not held open by another program on Windows). Logs when not.
    static bool canReplace(const QString &target);
    // The staging file of a target, open for writing; null (with a log line) when it cannot be.
    static std::unique_ptr<QFile> openStaging(const QString &target);
    // Closes a staging file that was written whole, applies the entry's permissions and keeps it
    // for commit(), which moves the files in the order given. False (with a log line, the file
    // removed) when its last bytes could not be written.
    bool stage(std::unique_ptr<QFile> file, const QString &target, quint64 order, unsigned long versionMadeBy,
               unsigned long externalAttributes);
    // Removes a staging file that was cut short.
    static void drop(std::unique_ptr<QFile> file);

    // Moves every staged file onto its target, all or nothing. False (with a log line) when a target
    // could not be replaced; every target is then as it was before.
    bool commit();
    // Removes the staged files and the folders created for them.
    void discard();
    // Why commit() failed.
    QString failureReason() const { return failure; }

    static const QLatin1String stagingSuffix;
    static const QLatin1String backupSuffix;
    // Whether an entry name ends in one of the two suffixes, which the extraction keeps for itself.
    static bool isReservedName(const QString &name);

private:
    void restore(size_t count, const std::vector<bool> &hadTarget);

    std::mutex mutex;
    std::vector<std::pair<quint64, QString>> stagedFiles; // order and target of every complete staging file
    std::vector<QString> created; // folders created by this extraction, outermost first
    QSet<QString> folders;        // folders known to be there
    QString failure;
};
