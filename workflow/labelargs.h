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

inline LabelArg key(const QString &value) {
    return LabelArg(QVariant(value), ArgKey);
}

} // namespace LabelArgs
