#pragma once

#include "workflow/workflowstatus.h"

#include <QJsonObject>
#include <QObject>

// A part of the workflow (version check, self-update, game resources, extraction, game session):
// what it wants shown and the events it reports go out through these signals, which the workflow
// relays.
class WorkflowPart : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void status(WorkflowStatus::Line line, const WorkflowStatus &status);
    void progress(WorkflowStatus::Bar bar, float percent);
    void event(const QJsonObject &event);
};
