#pragma once

#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QFutureWatcher>
#include <QString>
#include <QStringList>

class LauncherConfig;

// Unpacks the downloaded archives into the launcher's folder, one at a time on a worker thread,
// and deletes each afterwards. An archive keeps its extraction mark in "config.ini" until its
// extraction ends, so one interrupted by closing the launcher is unpacked again at the next start;
// one that fails is forgotten as installed, so the next start downloads it again.
class ArchiveExtraction : public WorkflowPart {
    Q_OBJECT

public:
    ArchiveExtraction(const WorkflowSetup &setup, LauncherConfig *config, QObject *parent = nullptr);

    // The archives of this run, in the order their downloads ended, then those an earlier run
    // left marked; returns how many there are.
    int prepareExtraction(const QStringList &downloaded);
    // Unpacks the next archive, or ends with finished() when none is left.
    void extractNextArchive();

    int extractedCount() const { return extracted; }
    int extractTotal() const { return extractionTotal; }

    // The game executable, in the launcher's folder.
    static QString gameExecutableName() { return QStringLiteral("Quelvane.exe"); }

signals:
    // Every archive is in place: the game may start.
    void finished();
    // An archive could not be unpacked; nothing further is unpacked in this run.
    void failed();

private:
    void onArchiveExtracted(const QString &name, const QString &path, bool ok, const QString &failure);

    WorkflowSetup setup;
    LauncherConfig *config;
    QStringList archivesToExtract;
    int extracted = 0;
    int extractionTotal = 0;
};
