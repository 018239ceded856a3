#include "platform/filenamerules.h"

#include <QStringList>
#include <QVector>

namespace {

// Windows opens these names as devices in every folder, whatever the extension ("nul.txt").
bool isDeviceName(const QStringRef &segment) {
    const int dot = segment.indexOf(QLatin1Char('.'));
    QString base = (dot < 0 ? segment : segment.left(dot)).toString().toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1); // "nul .txt" is the device too
    static const QStringList fixed = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                      QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                      QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (fixed.contains(base))
        return true;
    // Windows also takes the superscript digits one to three for port numbers ("COM¹").
    static const QString portDigits = QStringLiteral("123456789\u00b9\u00b2\u00b3");
    return base.size() == 4 &&
           (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           portDigits.contains(base.at(3));
}

bool isSafeSegment(const QStringRef &segment) {
    if (segment.isEmpty())
        return false;
    for (const QChar c : segment) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':'))
            return false;
        // A name carrying control characters could also forge lines in config.ini or the log.
        if (c.category() == QChar::Other_Control)
            return false;
    }
    const QChar last = segment.at(segment.size() - 1);
    if (last == QLatin1Char('.') || last == QLatin1Char(' '))
        return false; // also catches ".", ".." and "..."
    return !isDeviceName(segment);
}

} // namespace

bool FileNameRules::isLauncherOwnedName(const QString &name) {
    static const QStringList owned = {QStringLiteral("config.ini"),
                                      QStringLiteral("settings.ini"),
                                      QStringLiteral("update.vbs"),
                                      QStringLiteral("update.sh"),
                                      QStringLiteral("update.pending"),
                                      QStringLiteral("update.confirmed"),
                                      QStringLiteral("update.failed"),
                                      QStringLiteral("Kestrivane.previous"),
                                      QStringLiteral("Kestrivane.previous.exe")};
    return owned.contains(name, Qt::CaseInsensitive);
}

bool FileNameRules::isSafeEntryName(const QString &path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    QStringRef rest(&path);
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    QString first;
    const QVector<QStringRef> segments = rest.split(QLatin1Char('/'));
    for (const QStringRef &segment : segments) {
        // Zip writers may put "./" in front or double a separator; both stay in the same folder.
        if (segment.isEmpty() || segment == QLatin1String("."))
            continue;
        if (!isSafeSegment(segment))
            return false;
        if (first.isNull())
            first = segment.toString();
    }
    // A folder of that name would block the launcher's file as surely as replacing it would.
    return !first.isNull() && !isLauncherOwnedName(first);
}

QString FileNameRules::normalizedEntryName(const QString &path) {
    QStringList kept;
    for (const QStringRef &segment : path.splitRef(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment != QLatin1String("."))
            kept << segment.toString();
    }
    QString name = kept.join(QLatin1Char('/'));
    if (!name.isEmpty() && path.endsWith(QLatin1Char('/')))
        name += QLatin1Char('/');
    return name;
}

bool FileNameRules::isFolderItself(const QString &path) {
    return path == QLatin1String("./") || path == QLatin1String(".");
}

QString FileNameRules::printable(QString name) {
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return QLatin1Char('"') + name + QLatin1Char('"');
}

bool FileNameRules::isSafeFileName(const QString &name) {
    return !name.contains(QLatin1Char('/')) && isSafeEntryName(name);
}
