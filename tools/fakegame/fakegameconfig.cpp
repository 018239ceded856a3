#include "tools/fakegame/fakegameconfig.h"

#include <QFile>
#include <QStringList>

namespace {

struct Key {
    const char *ini;
    const char *env;
};

const Key keys[] = {
    {"exit_code", "KV_FAKEGAME_EXIT_CODE"},
    {"crash", "KV_FAKEGAME_CRASH"},
    {"crash_zips", "KV_FAKEGAME_CRASH_ZIPS"},
    {"crash_zip_name", "KV_FAKEGAME_CRASH_ZIP_NAME"},
    {"crash_zip_size", "KV_FAKEGAME_CRASH_ZIP_SIZE"},
    {"wait_ms", "KV_FAKEGAME_WAIT_MS"},
    {"headless", "KV_FAKEGAME_HEADLESS"},
};

bool toInt(const QString &text, qint64 min, qint64 max, qint64 *out) {
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

void apply(FakeGameConfig *c, const QString &key, const QString &value, QString *errors) {
    qint64 n = 0;
    bool ok = true;
    if (key == QLatin1String("exit_code")) {
        ok = toInt(value, 0, 255, &n);
        c->exitCode = int(n);
    } else if (key == QLatin1String("crash")) {
        ok = toInt(value, 0, 1, &n);
        c->crash = n != 0;
    } else if (key == QLatin1String("crash_zips")) {
        ok = toInt(value, 0, 16, &n);
        c->crashZips = int(n);
    } else if (key == QLatin1String("crash_zip_name")) {
        c->crashZipName = value.trimmed();
        ok = !c->crashZipName.contains(QLatin1Char('/')) && !c->crashZipName.contains(QLatin1Char('\\')) &&
             c->crashZipName != QLatin1String("..") && c->crashZipName != QLatin1String(".");
    } else if (key == QLatin1String("crash_zip_size")) {
        ok = toInt(value, 0, 256LL * 1024 * 1024, &n);
        c->crashZipSize = n;
    } else if (key == QLatin1String("wait_ms")) {
        ok = toInt(value, -1, 24LL * 3600 * 1000, &n);
        c->waitMs = int(n);
    } else if (key == QLatin1String("headless")) {
        ok = toInt(value, 0, 1, &n);
        c->headless = n != 0;
    } else {
        *errors += QStringLiteral("unknown setting %1\n").arg(key);
        return;
    }
    if (!ok)
        *errors += QStringLiteral("bad value for %1: %2\n").arg(key, value);
}

} // namespace

FakeGameConfig FakeGameConfig::load(const QString &dir, QString *errors) {
    FakeGameConfig c;
    QFile ini(dir + QLatin1String("/fakegame.ini"));
    if (ini.open(QIODevice::ReadOnly) && ini.size() < 65536) {
        const QStringList lines = QString::fromUtf8(ini.readAll()).split(QLatin1Char('\n'));
        for (QString line : lines) {
            line = line.trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')) ||
                line.startsWith(QLatin1Char('[')))
                continue;
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq < 0) {
                *errors += QStringLiteral("fakegame.ini: expected key=value, got %1\n").arg(line);
                continue;
            }
            apply(&c, line.left(eq).trimmed(), line.mid(eq + 1), errors);
        }
    }
    for (const Key &k : keys) {
        if (qEnvironmentVariableIsSet(k.env))
            apply(&c, QString::fromLatin1(k.ini), qEnvironmentVariable(k.env), errors);
    }
    return c;
}
