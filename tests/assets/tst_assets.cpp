// Checks the embedded translation catalogue files and artwork as the program reads them: through
// the ":/" resource paths that every test links in.
#include "support/teststep.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const QStringList kLanguages = {"Chinese", "English",  "Dutch",   "French",
                                "German",  "Japanese", "Spanish", "Turkish"};

struct Entry {
    QString key;
    QString text;
};

// Reads one translation file byte-exactly and splits it into entries. Anything the catalogue
// would silently tolerate but that means a broken file (BOM, CR, missing final LF, invalid
// UTF-8, empty lines, lines without "=") is reported as an error.
bool readCatalogue(const QString &language, QList<Entry> *entries, QString *error) {
    QFile file(QStringLiteral(":/Translation/Translation_%1.txt").arg(language));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open ") + file.fileName();
        return false;
    }
    const QByteArray data = file.readAll();
    if (data.startsWith("\xEF\xBB\xBF")) {
        *error = QStringLiteral("starts with a byte-order mark");
        return false;
    }
    if (data.contains('\r')) {
        *error = QStringLiteral("contains a carriage return");
        return false;
    }
    if (data.contains('\0')) {
        *error = QStringLiteral("contains a NUL byte");
        return false;
    }
    if (!data.endsWith('\n')) {
        *error = QStringLiteral("does not end with a line feed");
        return false;
    }
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(data.constData(), data.size(), &state);
    if (state.invalidChars != 0 || state.remainingChars != 0) {
        *error = QStringLiteral("is not valid UTF-8");
        return false;
    }
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeLast(); // after the final line feed
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const int eq = line.indexOf(QLatin1Char('='));
        if (line.isEmpty() || eq <= 0) {
            *error = QStringLiteral("line %1 is not KEY=TEXT: \"%2\"").arg(i + 1).arg(line);
            return false;
        }
        entries->append({line.left(eq), line.mid(eq + 1)});
    }
    return true;
}

QStringList keysOf(const QList<Entry> &entries) {
    QStringList keys;
    for (const Entry &e : entries)
        keys << e.key;
    return keys;
}

QHash<QString, QString> textsOf(const QList<Entry> &entries) {
    QHash<QString, QString> texts;
    for (const Entry &e : entries)
        texts.insert(e.key, e.text);
    return texts;
}

// "%1", "%2", ... in order of appearance, sorted so that reordering in a translation is allowed.
QStringList placeholders(const QString &text) {
    static const QRegularExpression re(QStringLiteral("%\\d+"));
    QStringList found;
    auto it = re.globalMatch(text);
    while (it.hasNext())
        found << it.next().captured();
    found.sort();
    return found;
}

bool usesCjkFont(const QString &language) {
    return language == QLatin1String("Chinese") || language == QLatin1String("Japanese");
}

double luma(QRgb c) {
    return (0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c)) / 255.0;
}

enum class Kind { Background, Emblem, Logo, Glyph, Indicator, Ornament };

struct ImageSpec {
    const char *name; // below :/images/images/
    Kind kind;
};

const ImageSpec kImages[] = {
    {"bg1.png", Kind::Background},
    {"bg2.png", Kind::Background},
    {"icon.png", Kind::Emblem},
    {"Chinese/logo.png", Kind::Logo},
    {"English/logo.png", Kind::Logo},
    {"Japanese/logo.png", Kind::Logo},
    {"close_normal.png", Kind::Glyph},
    {"minimize_normal.png", Kind::Glyph},
    {"setting_normal.png", Kind::Glyph},
    {"pause.png", Kind::Glyph},
    {"continue.png", Kind::Glyph},
    {"close.png", Kind::Glyph},
    {"down_arrow.png", Kind::Glyph},
    {"square.png", Kind::Ornament},
    {"check_button_checked.png", Kind::Indicator},
    {"check_button_unchecked.png", Kind::Indicator},
    {"radio_button_checked.png", Kind::Indicator},
    {"radio_button_unchecked.png", Kind::Indicator},
};

QString imagePath(const QString &name) {
    return QStringLiteral(":/images/images/") + name;
}

QImage loadImage(const QString &name) {
    return QImage(imagePath(name)).convertToFormat(QImage::Format_ARGB32);
}

// Mean luma over a rectangle given in fractions of the picture.
double meanLuma(const QImage &img, double x0, double y0, double x1, double y1) {
    const int l = int(x0 * img.width()), r = int(x1 * img.width());
    const int t = int(y0 * img.height()), b = int(y1 * img.height());
    double sum = 0;
    int n = 0;
    for (int y = t; y < b; y += 2)
        for (int x = l; x < r; x += 2, ++n)
            sum += luma(img.pixel(x, y));
    return n ? sum / n : 0;
}

int differingPixels(const QImage &a, const QImage &b) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (qAbs(qAlpha(p) - qAlpha(q)) > 24 || qAbs(qRed(p) - qRed(q)) > 24 ||
                qAbs(qGreen(p) - qGreen(q)) > 24 || qAbs(qBlue(p) - qBlue(q)) > 24)
                ++n;
        }
    return n;
}

} // namespace

class TestAssets : public QObject {
    Q_OBJECT

private:
    QList<Entry> english;
    QString latinFamily;
    QString cjkFamily;

    // One row per language (column "language").
    static void languageRows(bool withEnglish = true) {
        QTest::addColumn<QString>("language");
        for (const QString &language : kLanguages)
            if (withEnglish || language != QLatin1String("English"))
                QTest::newRow(qPrintable(language)) << language;
    }

    static void load(const QString &language, QList<Entry> *entries) {
        QString error;
        QVERIFY2(readCatalogue(language, entries, &error), qPrintable(language + QLatin1Char(' ') + error));
    }

private slots:
    void initTestCase() {
        QString error;
        QVERIFY2(readCatalogue(QStringLiteral("English"), &english, &error), qPrintable(error));
        QCOMPARE(english.size(), 97);

        const int latin = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/Neuron Heavy.otf"));
        const int cjk = QFontDatabase::addApplicationFont(QStringLiteral(":/font/font/FZY4K.TTF"));
        QVERIFY(latin >= 0 && cjk >= 0);
        latinFamily = QFontDatabase::applicationFontFamilies(latin).value(0);
        cjkFamily = QFontDatabase::applicationFontFamilies(cjk).value(0);
        QVERIFY(!latinFamily.isEmpty() && !cjkFamily.isEmpty());
    }

    void catalogueFileFormat_data() { languageRows(); }

    void catalogueFileFormat() {
        QFETCH(QString, language);
        QList<Entry> entries;
        STEP(load(language, &entries));
        QSet<QString> seen;
        for (const Entry &e : entries) {
            QVERIFY2(!seen.contains(e.key), qPrintable(QStringLiteral("duplicate key ") + e.key));
            seen.insert(e.key);
            QVERIFY2(!e.text.trimmed().isEmpty(), qPrintable(QStringLiteral("empty text for ") + e.key));
            QVERIFY2(e.text == e.text.trimmed(), qPrintable(QStringLiteral("stray blanks around ") + e.key));
            QVERIFY2(!e.text.contains(QChar(0xFFFD)),
                     qPrintable(QStringLiteral("replacement char in ") + e.key));
        }
    }

    void translationMatchesEnglish_data() { languageRows(false); }

    void translationMatchesEnglish() {
        QFETCH(QString, language);
        QList<Entry> entries;
        STEP(load(language, &entries));
        QCOMPARE(keysOf(entries), keysOf(english));

        const QHash<QString, QString> texts = textsOf(entries);
        const bool cased = !usesCjkFont(language);
        for (const Entry &en : qAsConst(english)) {
            const QString tr = texts.value(en.key);
            const QByteArray where = (language + QLatin1Char(' ') + en.key).toUtf8();

            QVERIFY2(placeholders(tr) == placeholders(en.text), where + " placeholders differ");
            // "%1%" (a number followed by a literal percent sign) must survive as written.
            QCOMPARE(tr.count(QStringLiteral("%1%")), en.text.count(QStringLiteral("%1%")));
            QVERIFY2(tr.count(QStringLiteral("\\n")) == en.text.count(QStringLiteral("\\n")),
                     where + " line breaks differ");
            if (kLanguages.contains(en.key))
                QVERIFY2(tr == en.text, where + " language names must be the same in every file");
            // Capitals stay capitals (button and heading look) where the script has case.
            if (cased && en.text == en.text.toUpper() && en.text != en.text.toLower())
                QVERIFY2(tr == tr.toUpper(), where + " should be upper-case like English");
        }

        // The brand keeps its Latin spelling except in the scripts that transliterate it.
        const QString appName = texts.value(QStringLiteral("APP_NAME"));
        if (usesCjkFont(language)) {
            QVERIFY(appName != textsOf(english).value(QStringLiteral("APP_NAME")));
            for (const QChar c : appName)
                QVERIFY2(c.unicode() > 0x2E80,
                         "localised name should be written in the language's own script");
        } else {
            QCOMPARE(appName, textsOf(english).value(QStringLiteral("APP_NAME")));
        }
    }

    // The pill buttons have room for about the widest English caption; a translation may be a
    // little wider but must not run over the rounded ends.
    void buttonCaptionsFit_data() { languageRows(); }

    void buttonCaptionsFit() {
        QFETCH(QString, language);
        QList<Entry> entries;
        STEP(load(language, &entries));
        const QHash<QString, QString> texts = textsOf(entries);
        const QHash<QString, QString> en = textsOf(english);

        auto width = [](const QString &family, int pixelSize, const QString &text) {
            QFont font(family);
            font.setBold(true);
            font.setPixelSize(pixelSize);
            return QFontMetrics(font).horizontalAdvance(text);
        };
        const QString family = usesCjkFont(language) ? cjkFamily : latinFamily;

        // Start button: 40 px for Japanese and Spanish, 47 px otherwise.
        const int startSize =
            (language == QLatin1String("Japanese") || language == QLatin1String("Spanish")) ? 40 : 47;
        const int startRoom =
            int(1.1 * qMax(width(latinFamily, 47, en.value(QStringLiteral("START_GAME"))),
                           width(latinFamily, 47, en.value(QStringLiteral("RESUME_DOWNLOADING")))));
        const auto fits = [&](const char *key, int size, int room) {
            const int w = width(family, size, texts.value(QLatin1String(key)));
            QVERIFY2(w <= room, qPrintable(QStringLiteral("%1 %2 is %3 px wide, room %4")
                                               .arg(language, QLatin1String(key))
                                               .arg(w)
                                               .arg(room)));
        };
        for (const char *key : {"START_GAME", "RESUME_DOWNLOADING"})
            STEP(fits(key, startSize, startRoom));

        // Confirmation dialog: 35 px captions with the CJK font, 45 px otherwise.
        const int dialogSize = usesCjkFont(language) ? 35 : 45;
        const int dialogRoom = int(1.1 * qMax(width(latinFamily, 45, en.value(QStringLiteral("CONFIRM"))),
                                              width(latinFamily, 45, en.value(QStringLiteral("CANCEL")))));
        for (const char *key : {"CONFIRM", "CANCEL"})
            STEP(fits(key, dialogSize, dialogRoom));
    }

    void imageResource_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        for (const ImageSpec &image : kImages)
            QTest::newRow(image.name) << QString::fromLatin1(image.name) << int(image.kind);
    }

    void imageResource() {
        QFETCH(QString, name);
        QFETCH(int, kind);

        QFile file(imagePath(name));
        QVERIFY2(file.exists(), qPrintable(file.fileName()));
        QVERIFY2(file.size() < 1500 * 1024, "keep the executable small");

        const QImage raw(imagePath(name));
        QVERIFY2(!raw.isNull(), "does not decode");
        const QImage img = raw.convertToFormat(QImage::Format_ARGB32);
        const int w = img.width(), h = img.height();

        if (Kind(kind) == Kind::Background) {
            QVERIFY2(w >= 1280 && h >= 720, qPrintable(QStringLiteral("%1x%2").arg(w).arg(h)));
            // Scaled to the 1300x731 window: the aspect ratio must match or the scene is distorted.
            QVERIFY(qAbs(double(w) / h - 1300.0 / 731.0) < 0.01);
            for (int y = 0; y < h; y += 7)
                for (int x = 0; x < w; x += 7)
                    QVERIFY2(qAlpha(img.pixel(x, y)) == 255, "backgrounds must be opaque");
            // White outlined status text and the progress bar sit in the lower left and middle.
            const double textArea = meanLuma(img, 0.0, 0.82, 0.68, 0.98);
            QVERIFY2(textArea < 0.2, qPrintable(QStringLiteral("status area too bright: %1").arg(textArea)));
            return;
        }

        QVERIFY2(raw.hasAlphaChannel(), "needs transparency");
        // Nothing clipped: glows and strokes fade out before the edge.
        int edgeAlpha = 0;
        for (int x = 0; x < w; ++x)
            edgeAlpha = qMax(edgeAlpha, qMax(qAlpha(img.pixel(x, 0)), qAlpha(img.pixel(x, h - 1))));
        for (int y = 0; y < h; ++y)
            edgeAlpha = qMax(edgeAlpha, qMax(qAlpha(img.pixel(0, y)), qAlpha(img.pixel(w - 1, y))));
        QVERIFY2(edgeAlpha <= 40, qPrintable(QStringLiteral("touches the edge (alpha %1)").arg(edgeAlpha)));

        int opaque = 0, brightOpaque = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const QRgb p = img.pixel(x, y);
                if (qAlpha(p) > 200) {
                    ++opaque;
                    if (luma(p) > 0.9)
                        ++brightOpaque;
                }
            }
        QVERIFY2(opaque >= w * h / 50, "almost empty");

        switch (Kind(kind)) {
        case Kind::Emblem:
            QVERIFY(w == h && w >= 256);
            break;
        case Kind::Logo:
            // Drawn at half size under the title band: about 500x180 on screen.
            QVERIFY2(w >= 800 && w <= 1400 && h >= 250 && h <= 500,
                     qPrintable(QStringLiteral("%1x%2").arg(w).arg(h)));
            QVERIFY2(brightOpaque >= w * h / 100, "lettering should be luminous");
            break;
        case Kind::Glyph:
            // Drawn scaled down to at most 35 px; the glyph itself is light on a dark or violet face.
            QVERIFY(w == h && w >= 48);
            QVERIFY2(brightOpaque >= w * h / 100, "glyph should be white");
            QVERIFY2(opaque <= w * h / 2, "a glyph, not a filled tile");
            break;
        case Kind::Indicator:
            // Drawn at natural size left of 15 pt text.
            QVERIFY(w == h && w >= 16 && w <= 40);
            break;
        case Kind::Ornament:
            QVERIFY(w >= 12 && w <= 40 && h >= 12 && h <= 40);
            break;
        case Kind::Background:
            break;
        }
    }

    void noUnlistedImages() {
        QSet<QString> listed;
        for (const ImageSpec &image : kImages)
            listed.insert(imagePath(QString::fromLatin1(image.name)));
        QDirIterator it(QStringLiteral(":/images/images"), QDir::Files, QDirIterator::Subdirectories);
        int count = 0;
        while (it.hasNext()) {
            const QString path = it.next();
            QVERIFY2(listed.contains(path), qPrintable(QStringLiteral("unchecked image ") + path));
            ++count;
        }
        QCOMPARE(count, listed.size());
    }

    void checkedStatesAreDistinct() {
        for (const char *base : {"check_button", "radio_button"}) {
            const QImage on = loadImage(QStringLiteral("%1_checked.png").arg(QLatin1String(base)));
            const QImage off = loadImage(QStringLiteral("%1_unchecked.png").arg(QLatin1String(base)));
            QCOMPARE(on.size(), off.size());
            QVERIFY2(differingPixels(on, off) >= on.width() * on.height() / 10, base);
        }
        QVERIFY(differingPixels(loadImage(QStringLiteral("pause.png")),
                                loadImage(QStringLiteral("continue.png"))) > 64 * 64 / 20);
    }

    void picturesAreNotCopies() {
        const QStringList logos = {QStringLiteral("Chinese/logo.png"), QStringLiteral("English/logo.png"),
                                   QStringLiteral("Japanese/logo.png")};
        for (int i = 0; i < logos.size(); ++i)
            for (int j = i + 1; j < logos.size(); ++j) {
                const QImage a = loadImage(logos.at(i)), b = loadImage(logos.at(j));
                QVERIFY2(a.size() != b.size() || differingPixels(a, b) > a.width() * a.height() / 50,
                         qPrintable(logos.at(i) + QStringLiteral(" vs ") + logos.at(j)));
            }
        const QImage bg1 = loadImage(QStringLiteral("bg1.png")), bg2 = loadImage(QStringLiteral("bg2.png"));
        QVERIFY(bg1.size() != bg2.size() || differingPixels(bg1, bg2) > bg1.width() * bg1.height() / 10);
    }

    // Every picture has its drawing source, rendered at the size the source declares, so a
    // changed source that was not rendered again shows up here.
    void renderedFromSources() {
        const QString sourceDir = qEnvironmentVariable("KESTRIVANE_SOURCE_DIR");
        if (sourceDir.isEmpty())
            QSKIP("KESTRIVANE_SOURCE_DIR not set");
        const QString svgDir = sourceDir + QStringLiteral("/assets/svg/");

        QSet<QString> expected;
        for (const ImageSpec &image : kImages) {
            QString rel = QString::fromLatin1(image.name);
            rel.replace(QStringLiteral(".png"), QStringLiteral(".svg"));
            expected.insert(rel);

            QFile svg(svgDir + rel);
            QVERIFY2(svg.open(QIODevice::ReadOnly),
                     qPrintable(QStringLiteral("no source ") + svg.fileName()));
            QXmlStreamReader xml(&svg);
            while (!xml.atEnd() && !xml.isStartElement())
                xml.readNext();
            QCOMPARE(xml.name().toString(), QStringLiteral("svg"));
            const int sw = xml.attributes().value(QStringLiteral("width")).toInt();
            const int sh = xml.attributes().value(QStringLiteral("height")).toInt();
            const QImage img(imagePath(QString::fromLatin1(image.name)));
            QVERIFY2(img.size() == QSize(sw, sh), qPrintable(QStringLiteral("%1: source %2x%3, picture %4x%5")
                                                                 .arg(rel)
                                                                 .arg(sw)
                                                                 .arg(sh)
                                                                 .arg(img.width())
                                                                 .arg(img.height())));
        }
        QDirIterator it(svgDir, {QStringLiteral("*.svg")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString rel = it.next().mid(svgDir.size());
            QVERIFY2(expected.contains(rel), qPrintable(QStringLiteral("source without resource: ") + rel));
        }
    }
};

QTEST_MAIN(TestAssets)
#include "tst_assets.moc"
