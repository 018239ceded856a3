#pragma once

#include "i18n/labelarg.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

// One line of text the workflow wants shown: a catalogue key (translated again on every language
// change) or a literal pattern, with its arguments. An empty key clears the line.
struct WorkflowStatus {
    Q_GADGET

public:
    // Where it goes: the launcher page's line, or the game page's progress, time and speed lines.
    enum Line { LauncherLine, GameLine, TimeLine, SpeedLine };
    // The two progress bars, percent 0 to 100.
    enum Bar { LauncherBar, GameBar };
    Q_ENUM(Line)
    Q_ENUM(Bar)

    QString key;
    bool keyIsTranslated = true;
    QList<LabelArg> args;

    static WorkflowStatus text(const QString &key, const QList<LabelArg> &args = {}) {
        return {key, true, args};
    }
    static WorkflowStatus pattern(const QString &pattern, const QList<LabelArg> &args) {
        return {pattern, false, args};
    }
    static WorkflowStatus cleared() { return {}; }
};

Q_DECLARE_METATYPE(WorkflowStatus)
