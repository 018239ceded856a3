#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

// One argument of a translatable text, filled into the lowest remaining "%n" placeholder.
struct LabelArg {
    enum Kind {
        ArgInt = 0,   // the value as a 32-bit integer, decimal
        ArgReal = 1,  // the value as a single-precision float, shortest form
        ArgText = 2,  // the value as text
        ArgKey = 3,   // the value is a catalogue key, translated at every re-translation
        ArgCount = 4, // the value as a 64-bit integer grouped as the catalogue's language groups digits
        ArgSize = 5   // the value as a byte count: "%1B", "%1KB", "%1MB" or "%1GB", 1024-based, two
                      // decimals at most, with the language's decimal sign
    };

    LabelArg() = default;
    LabelArg(const QVariant &v, int k)
        : value(v)
        , kind(k) {}

    QVariant value;
    int kind = ArgText;

    // The text this argument stands for now (ArgKey in the catalogue's current language).
    QString toText() const;
};

// So owners can write LabelArg{3, ArgInt} as well as LabelArg::ArgInt.
constexpr int ArgInt = LabelArg::ArgInt;
constexpr int ArgReal = LabelArg::ArgReal;
constexpr int ArgText = LabelArg::ArgText;
constexpr int ArgKey = LabelArg::ArgKey;
constexpr int ArgCount = LabelArg::ArgCount;
constexpr int ArgSize = LabelArg::ArgSize;

// Fills the placeholders %1..%99 of pattern in one pass: the lowest-numbered placeholder gets the
// first value, the next lowest the second, and so on. Substituted text is never scanned again, so a
// value that itself contains "%1" stays as it is. Placeholders without a value stay in place.
QString substituteArgs(const QString &pattern, const QStringList &values);

// Pattern with every argument's current text substituted.
QString substituteArgs(const QString &pattern, const QList<LabelArg> &args);
