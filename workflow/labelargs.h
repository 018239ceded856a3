#pragma once

// Short constructors for the arguments of a status text.

#include "i18n/labelarg.h"

#include <QList>
#include <QString>
#include <QVariant>

namespace LabelArgs {

inline LabelArg text(const QString &value) {
    return LabelArg(QVariant(value), ArgText);
}

inline LabelArg number(int value) {
    return LabelArg(QVariant(value), ArgInt);
}

// A count with the digit grouping of the catalogue's language ("1,204", "1.204").
inline LabelArg count(qint64 value) {
    return LabelArg(QVariant(value), ArgCount);
}

// A byte count as a size ("4.77MB"), with the decimal sign of the catalogue's language.
inline LabelArg size(qint64 value) {
    return LabelArg(QVariant(value), ArgSize);
}

inline LabelArg key(const QString &value) {
    return LabelArg(QVariant(value), ArgKey);
}

} // namespace LabelArgs
