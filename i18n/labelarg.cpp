#include "i18n/labelarg.h"

#include "i18n/translation.h"

#include <QLocale>
#include <QVector>

#include <algorithm>
#include <cmath>

namespace {

// The fewest significant digits that give the same float back (0.1f shows as 0.1, not as the
// double 0.10000000149011612).
QString shortestFloat(float f) {
    if (!qIsFinite(f))
        return QString::number(double(f), 'g');
    for (int precision = 1; precision < 9; ++precision) {
        const QString text = QString::number(double(f), 'g', precision);
        if (text.toFloat() == f)
            return text;
    }
    return QString::number(double(f), 'g', 9);
}

// Numbers are written as the catalogue's language writes them.
QLocale catalogueLocale() {
    static const QLocale::Language languages[Translation::LanguageCount] = {
        QLocale::Chinese, QLocale::English,  QLocale::Dutch,   QLocale::French,
        QLocale::German,  QLocale::Japanese, QLocale::Spanish, QLocale::Turkish};
    const int index = Translation::instance()->languageIndex();
    return QLocale(index >= 0 && index < Translation::LanguageCount ? languages[index] : QLocale::English);
}

QString sizeText(qint64 bytes) {
    static const char *const units[] = {"B", "KB", "MB", "GB"};
    double value = double(qMax<qint64>(0, bytes));
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    const double rounded = std::round(value * 100.0) / 100.0;
    // Shortest form: 1.5KB, 1MB, 4.77MB.
    QString number = QString::number(rounded, 'f', 2);
    while (number.contains(QLatin1Char('.')) &&
           (number.endsWith(QLatin1Char('0')) || number.endsWith(QLatin1Char('.'))))
        number.chop(1);
    number.replace(QLatin1Char('.'), catalogueLocale().decimalPoint());
    return number + QLatin1String(units[unit]);
}

} // namespace

QString LabelArg::toText() const {
    switch (kind) {
    case ArgInt:
        return QString::number(value.toInt());
    case ArgReal:
        return shortestFloat(value.toFloat());
    case ArgKey:
        return Translation::instance()->tr(value.toString());
    case ArgCount:
        return catalogueLocale().toString(value.toLongLong());
    case ArgSize:
        return sizeText(value.toLongLong());
    case ArgText:
    default:
        return value.toString();
    }
}

QString substituteArgs(const QString &pattern, const QStringList &values) {
    if (values.isEmpty())
        return pattern;

    struct Placeholder {
        int pos;
        int length;
        int number;
    };
    QVector<Placeholder> found;
    for (int i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != QLatin1Char('%'))
            continue;
        const int d1 = pattern[i + 1].digitValue();
        if (d1 < 0)
            continue;
        int number = d1;
        int length = 2;
        if (i + 2 < pattern.size() && pattern[i + 2].digitValue() >= 0) {
            number = number * 10 + pattern[i + 2].digitValue();
            length = 3;
        }
        if (number == 0)
            continue;
        found.append({i, length, number});
        i += length - 1;
    }

    QVector<int> numbers;
    for (const Placeholder &p : qAsConst(found))
        numbers.append(p.number);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());

    QString out;
    int last = 0;
    for (const Placeholder &p : qAsConst(found)) {
        const int rank = int(std::lower_bound(numbers.begin(), numbers.end(), p.number) - numbers.begin());
        if (rank >= values.size())
            continue;
        out += pattern.midRef(last, p.pos - last);
        out += values.at(rank);
        last = p.pos + p.length;
    }
    out += pattern.midRef(last);
    return out;
}

QString substituteArgs(const QString &pattern, const QList<LabelArg> &args) {
    QStringList values;
    values.reserve(args.size());
    for (const LabelArg &a : args)
        values << a.toText();
    return substituteArgs(pattern, values);
}
