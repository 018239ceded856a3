#include "workflow/updatemarks.h"

#include "core/atomicfile.h"

#include <QDebug>
#include <QFile>
#include <QRegularExpression>

namespace {

const char *const PendingMark = "update.pending";
const char *const ConfirmedMark = "update.confirmed";
const char *const FailedNote = "update.failed";
const char *const ReportedWord = "reported";
// A note is a version and a word; anything longer was not written by the scripts.
const qint64 MaxNoteBytes = 256;

QString pathOf(const QString &folder, const char *name) {
    return QStringLiteral("%1/%2").arg(folder, QLatin1String(name));
}

// The note's words: the version first, then "reported" once told. Empty for a note that is
// missing, too long or names no plain version.
QStringList readNote(const QString &folder) {
    QFile note(pathOf(folder, FailedNote));
    if (!note.open(QIODevice::ReadOnly))
        return {};
    const QByteArray raw = note.read(MaxNoteBytes + 1);
    if (raw.size() > MaxNoteBytes) {
        qWarning() << "ignoring an oversized update note" << note.fileName();
        return {};
    }
    const QStringList words =
        QString::fromLatin1(raw).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    static const QRegularExpression version(QStringLiteral("^[0-9][0-9A-Za-z.+-]{0,31}$"));
    if (words.isEmpty() || !version.match(words.first()).hasMatch()) {
        qWarning() << "ignoring an update note that names no version" << note.fileName();
        return {};
    }
    return words;
}

} // namespace

bool UpdateMarks::confirmStarted(const QString &folder) {
    const QString pending = pathOf(folder, PendingMark);
    if (!QFile::exists(pending))
        return false;
    const QString confirmed = pathOf(folder, ConfirmedMark);
    QFile::remove(confirmed);
    if (!QFile::rename(pending, confirmed)) {
        qWarning() << "cannot confirm the launcher update" << confirmed;
        return false;
    }
    qInfo() << "launcher update confirmed";
    return true;
}

QString UpdateMarks::failedVersion(const QString &folder) {
    const QStringList words = readNote(folder);
    return words.isEmpty() ? QString() : words.first();
}

bool UpdateMarks::takeUnreportedFailure(const QString &folder) {
    const QStringList words = readNote(folder);
    if (words.isEmpty() || words.contains(QLatin1String(ReportedWord)))
        return false;
    const QByteArray told = words.first().toLatin1() + ' ' + ReportedWord + '\n';
    const Result<AtomicFile::Error> written = AtomicFile::write(pathOf(folder, FailedNote), told);
    if (!written.ok())
        qWarning() << "cannot mark the failed launcher update as told" << written.reason();
    return true;
}

void UpdateMarks::forgetFailure(const QString &folder) {
    const QString note = pathOf(folder, FailedNote);
    if (QFile::exists(note) && !QFile::remove(note))
        qWarning() << "cannot remove the update note" << note;
}
