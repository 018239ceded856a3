#include "tools/publish/publishinput.h"

#include "core/filedigest.h"
#include "core/result.h"
#include "platform/filenamerules.h"

#include <QFile>

namespace PublishInput {

QTextStream &err() {
    static QTextStream s(stderr);
    return s;
}

QTextStream &out() {
    static QTextStream s(stdout);
    return s;
}

bool safeField(const QString &text) {
    return FileNameRules::isSafeFileName(text) && !text.contains(QLatin1Char('\n')) &&
           !text.contains(QLatin1Char('\r'));
}

bool parseAssignment(const QString &text, QList<Entry> *entries, const QString &where) {
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq < 0) {
        err() << "kv-publish: " << where << ": expected name=version, got \"" << text << "\"\n";
        return false;
    }
    Entry e;
    e.name = text.left(eq);
    e.version = text.mid(eq + 1);
    entries->append(e);
    return true;
}

// The lines of the text file at path, without Windows line ends (a hand-edited file may have them);
// false, with a message, when it cannot be read or is larger than maxSize. `what` names the file in
// the messages ("manifest " or empty), `tooLarge` ends the one about its size.
bool readLines(const QString &path, const char *what, qint64 maxSize, const char *tooLarge,
               QStringList *lines) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        err() << "kv-publish: cannot read " << what << path << ": " << f.errorString() << "\n";
        return false;
    }
    if (f.size() > maxSize) {
        err() << "kv-publish: " << what << path << " is larger than " << tooLarge << "\n";
        return false;
    }
    *lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (QString &line : *lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    return true;
}

bool readManifest(const QString &path, QList<Entry> *entries) {
    QStringList lines;
    if (!readLines(path, "manifest ", 1024 * 1024, "1 MiB", &lines))
        return false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        if (!parseAssignment(line.trimmed(), entries, QStringLiteral("%1:%2").arg(path).arg(i + 1)))
            return false;
    }
    return true;
}

QString fileMd5(const QString &path) {
    QByteArray md5;
    const Result<FileDigest::Error> read = FileDigest::md5Hex(path, &md5);
    if (!read.ok())
        err() << "kv-publish: " << read.reason() << "\n";
    return QString::fromLatin1(md5);
}

bool readVersionFile(const QString &path, QMap<QString, RemoteFileInfo> *records) {
    if (!QFile::exists(path))
        return true;
    QStringList lines;
    if (!readLines(path, "", VersionTable::MaxVersionFileSize, "the launcher accepts", &lines))
        return false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.isEmpty())
            continue;
        RemoteFileInfo info;
        if (!VersionTable::parseLine(line, &info)) {
            err() << "kv-publish: " << path << " line " << (i + 1) << " is not a valid entry: \"" << line
                  << "\"; fix or remove it first\n";
            return false;
        }
        records->insert(info.name, info);
    }
    return true;
}

} // namespace PublishInput
