#pragma once

// Short constructors for the arguments of the window's translatable labels.

#include "i18n/translatablelabel.h"

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
