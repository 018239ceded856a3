#include "trust/versiontable.h"

#include "patch/blockmap.h"
#include "platform/filenamerules.h"

#include <QCryptographicHash>
#include <QStringList>

static QMap<QString, RemoteFileInfo> *g_table = nullptr;

QMap<QString, RemoteFileInfo> &VersionTable::instance() {
    if (!g_table)
        g_table = new QMap<QString, RemoteFileInfo>();
    return *g_table;
}

bool VersionTable::exists() {
    return g_table != nullptr;
}

void VersionTable::release() {
    delete g_table;
    g_table = nullptr;
}

bool VersionTable::parseLine(const QString &text, RemoteFileInfo *out) {
    // A file saved with Windows line ends: the carriage return belongs to the line end, not to the
    // size (which would read as 0 and make the file impossible to download).
    const QString line = text.endsWith(QLatin1Char('\r')) ? text.left(text.size() - 1) : text;
    const QStringList fields = line.split(QLatin1Char(':'));
    if (fields.size() < 4)
        return false;
    if (!FileNameRules::isSafeFileName(fields.at(0)))
        return false;
    RemoteFileInfo info;
    info.name = fields.at(0);
    info.version = fields.at(1);
    info.md5 = fields.at(2);
    qint64 size = 0;
    if (!parseSize(fields.at(3), &size))
        return false;
    info.size = size;
    if (fields.size() > 4 && BlockMap::isDigest(fields.at(4)))
        info.mapDigest = fields.at(4);
    *out = info;
    return true;
}

bool VersionTable::parseSize(const QString &field, qint64 *size) {
    *size = 0;
    // Digits only, with an optional sign: Qt's own conversion would also take surrounding white
    // space, which must read as 0 here.
    int i = 0;
    const bool negative = field.startsWith(QLatin1Char('-'));
    if (negative || field.startsWith(QLatin1Char('+')))
        i = 1;
    if (i == field.size())
        return true;
    qint64 value = 0;
    bool tooLarge = false;
    for (; i < field.size(); ++i) {
        const ushort c = field.at(i).unicode();
        if (c < '0' || c > '9')
            return true;
        // Checked before it can overflow: MaxListedFileSize * 10 + 9 fits in 64 bits.
        if (!tooLarge) {
            value = value * 10 + (c - '0');
            tooLarge = value > MaxListedFileSize;
        }
    }
    if (negative)
        return true;
    if (tooLarge)
        return false;
    *size = value;
    return true;
}

bool VersionTable::parseFile(const QByteArray &bytes, QMap<QString, RemoteFileInfo> *table,
                             QString *refusedLine) {
    if (bytes.size() > MaxVersionFileSize)
        return false;
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    for (const QString &line : lines) {
        // An empty line of a file with Windows line ends is only its carriage return.
        if (line.isEmpty() || line == QLatin1String("\r"))
            continue;
        RemoteFileInfo info;
        if (!parseLine(line, &info)) {
            if (refusedLine)
                *refusedLine = line;
            return false;
        }
        table->insert(info.name, info);
    }
    return true;
}

QByteArray VersionTable::format(const QList<RemoteFileInfo> &records) {
    QByteArray text;
    for (const RemoteFileInfo &r : records)
        // Joined, not formatted: a field holding "%1" must not be taken for a place marker.
        text += (r.name + QLatin1Char(':') + r.version + QLatin1Char(':') + r.md5 + QLatin1Char(':') +
                 QString::number(r.size) +
                 (r.mapDigest.isEmpty() ? QString() : QLatin1Char(':') + r.mapDigest) + QLatin1Char('\n'))
                    .toUtf8();
    return text;
}

QString VersionTable::md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}
