// A translation catalogue file: any bytes. Keys and texts never hold what would end a line or
// a key, and writing the catalogue back out reads back as the same catalogue.

#include "fuzz/fuzzcheck.h"
#include "i18n/translation.h"

#include <cstdint>

FUZZ_QUIET_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QMap<QString, QString> texts = Translation::parseTexts(bytes);

    const int lineCount = bytes.count('\n') + 1;
    FUZZ_CHECK(texts.size() <= lineCount);
    bool plain = true;
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        const QString &key = it.key();
        FUZZ_CHECK(!key.contains(QLatin1Char('\n')) && !key.contains(QLatin1Char('=')));
        FUZZ_CHECK(!key.contains(QChar(0)) && !it->contains(QChar(0)));
        // "\n" pairs become line breaks; only a line without "=" (its own key and text) keeps them.
        FUZZ_CHECK(!it->contains(QStringLiteral("\\n")) || it.value() == key);
        plain = plain && !key.contains(QLatin1Char('\r')) && !it->contains(QLatin1Char('\r'));
    }

    // Written back with "\n" pairs for line breaks, the catalogue parses to itself. Carriage
    // returns are left out: one before a line end is dropped by design.
    if (plain) {
        QByteArray written;
        for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
            if (!it.key().isEmpty() && it.value() == it.key()) {
                written += (it.key() + QLatin1Char('\n')).toUtf8();
                continue;
            }
            QString text = it.value();
            text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
            written += (it.key() + QLatin1Char('=') + text + QLatin1Char('\n')).toUtf8();
        }
        FUZZ_CHECK(Translation::parseTexts(written) == texts);
    }
    return 0;
}
