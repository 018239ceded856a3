// The version file as the CDN may serve it: any bytes. Every accepted record must name a file
// inside the launcher folder (also as Windows would read the name), carry the size its line
// states or 0, and survive the publishing tool's writer unchanged.

#include "fuzz/fuzzcheck.h"
#include "trust/versiontable.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <cstdint>
#include <cstring>

namespace {

// The name as a Windows file system would use it: trailing dots and spaces dropped.
QString windowsSpelling(QString name) {
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    return name;
}

// Names Windows opens as devices in every folder, whatever the extension ("nul.txt", "COM¹").
bool isWindowsDevice(const QString &name) {
    QString base = name.section(QLatin1Char('.'), 0, 0).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList fixed = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                      QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                      QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (fixed.contains(base))
        return true;
    static const QString digits = QStringLiteral("123456789\u00b9\u00b2\u00b3");
    return base.size() == 4 &&
           (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           digits.contains(base.at(3));
}

// The launcher's own files: a listed file of that name would replace them.
bool isLauncherFile(const QString &name) {
    for (const char *own : {"config.ini", "settings.ini", "update.vbs", "update.sh"}) {
        if (name.compare(QLatin1String(own), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool hasControlCharacter(const QString &name) {
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

bool staysInside(const QString &name) {
    const QString base = QStringLiteral("/launcher");
    for (const QString &spelling : {name, windowsSpelling(name)}) {
        if (spelling.isEmpty())
            return false;
        const QString joined = QDir::cleanPath(base + QLatin1Char('/') + spelling);
        // One level below the folder, never the folder itself nor anything above it.
        if (joined.section(QLatin1Char('/'), 0, -2) != base || joined == base)
            return false;
        // A backslash is a separator on Windows, a colon a drive or a stream.
        if (spelling.contains(QLatin1Char('\\')) || spelling.contains(QLatin1Char(':')))
            return false;
    }
    return true;
}

// The size rule: a decimal number in 1..MaxListedFileSize is the size, a larger one refuses the line
// (-1 here: no record may carry it), anything else is 0.
qint64 expectedSize(const QString &field) {
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    if (!decimal.match(field).hasMatch())
        return 0;
    QString digits = field;
    bool negative = false;
    if (digits.startsWith(QLatin1Char('+')) || digits.startsWith(QLatin1Char('-'))) {
        negative = digits.startsWith(QLatin1Char('-'));
        digits.remove(0, 1);
    }
    if (negative)
        return 0;
    qint64 value = 0;
    for (const QChar c : digits) {
        value = value * 10 + (c.unicode() - '0');
        if (value > VersionTable::MaxListedFileSize)
            return -1;
    }
    return value;
}

} // namespace

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QMap<QString, RemoteFileInfo> table;
    QString refused;
    const bool ok = VersionTable::parseFile(bytes, &table, &refused);
    FUZZ_CHECK(ok || !refused.isEmpty());

    // The size rule: one byte over the limit and nothing of the file is taken, whatever it holds.
    if (size > 0 && data[0] == 0xFF) {
        // One buffer for the whole run: the input is written over its start and wiped afterwards.
        static QByteArray oversized(int(VersionTable::MaxVersionFileSize) + 1, '\n');
        std::memcpy(oversized.data(), data, size);
        QMap<QString, RemoteFileInfo> none;
        QString line;
        FUZZ_CHECK(!VersionTable::parseFile(oversized, &none, &line) && none.isEmpty() && line.isEmpty());
        std::memset(oversized.data(), '\n', size);
    }

    // The fields of the line each record came from: the last one of its name before any refused line.
    QMap<QString, QStringList> sourceFields;
    for (const QString &line : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        if (line.isEmpty())
            continue;
        if (!ok && line == refused)
            break;
        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.size() >= 4)
            sourceFields.insert(fields.at(0), fields);
    }

    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &r = it.value();
        FUZZ_CHECK(it.key() == r.name);
        FUZZ_CHECK(staysInside(r.name));
        FUZZ_CHECK(windowsSpelling(r.name) == r.name);
        FUZZ_CHECK(!isWindowsDevice(r.name) && !isLauncherFile(r.name));
        // A control character could forge lines of the download configuration or the log.
        FUZZ_CHECK(!hasControlCharacter(r.name));
        FUZZ_CHECK(r.downloadedBytes == 0 && r.data.isEmpty());
        FUZZ_CHECK(r.size >= 0);
        FUZZ_CHECK(sourceFields.contains(r.name));
        const QStringList &fields = sourceFields[r.name];
        FUZZ_CHECK(fields.at(1) == r.version && fields.at(2) == r.md5);
        // A Windows line end leaves its carriage return in the size field (0), unless it is dropped.
        const QString &sizeField = fields.at(3);
        FUZZ_CHECK(r.size == expectedSize(sizeField) ||
                   (fields.size() == 4 && sizeField.endsWith(QLatin1Char('\r')) &&
                    r.size == expectedSize(sizeField.chopped(1))));
    }

    // Windows line ends read like line feeds: the same file saved with CR LF gives the same records.
    if (!bytes.contains('\r')) {
        QByteArray crlf = bytes;
        crlf.replace("\n", "\r\n");
        QMap<QString, RemoteFileInfo> fromCrlf;
        FUZZ_CHECK(VersionTable::parseFile(crlf, &fromCrlf) == ok ||
                   crlf.size() > VersionTable::MaxVersionFileSize);
        if (crlf.size() <= VersionTable::MaxVersionFileSize) {
            FUZZ_CHECK(fromCrlf.keys() == table.keys());
            for (auto it = table.cbegin(); it != table.cend(); ++it) {
                const RemoteFileInfo &r = fromCrlf.value(it.key());
                FUZZ_CHECK(r.version == it->version && r.md5 == it->md5 && r.size == it->size);
            }
        }
    }

    // What the publishing tool writes from these records reads back as the same records.
    QMap<QString, RemoteFileInfo> again;
    FUZZ_CHECK(VersionTable::parseFile(VersionTable::format(table.values()), &again));
    FUZZ_CHECK(again.size() == table.size());
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const RemoteFileInfo &r = again.value(it.key());
        FUZZ_CHECK(r.name == it->name && r.version == it->version && r.md5 == it->md5 && r.size == it->size &&
                   r.mapDigest == it->mapDigest);
    }
    return 0;
}
