#pragma once

#include "archive/archivepatchplan.h"
#include "archive/unziparchive.h"
#include "core/result.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QFutureWatcher>
#include <QString>
#include <QStringList>

class LauncherConfig;

// Unpacks the downloaded archives into the launcher's folder, one at a time on a worker thread,
// and deletes each afterwards. An archive keeps its extraction mark in "config.ini" until its
// extraction ends, so one interrupted by closing the launcher is unpacked again at the next start;
// one that fails is forgotten as installed, so the next start downloads it again. One that finds
// too little room on the disk is no failure of its own: it stays, marked and recorded, and waits
// (with the archives after it) for the next try, which only unpacks. An archive whose changed
// entries alone were fetched is brought up to date from them (ArchivePatcher) instead; one that
// fails so is planned and patched again at the next try.
class ArchiveExtraction : public WorkflowPart {
    Q_OBJECT

public:
    ArchiveExtraction(const WorkflowSetup &setup, LauncherConfig *config, QObject *parent = nullptr);

    // The archives of this run, in the order their downloads ended, then those an earlier run
    // left marked; returns how many there are.
    int prepareExtraction(const QStringList &downloaded);
    // Unpacks the next archive, or ends with finished() when none is left. After shortOfRoom(),
    // the archive that lacked room is the next.
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
    // The disk lacks `missing` bytes to unpack the next archive: nothing is unpacked until
    // extractNextArchive() is called again.
    void shortOfRoom(qint64 missing);

private:
    struct Outcome {
        Result<ExtractError> result;
        qint64 missingRoom = 0;
        bool bringsGame = false; // the archive holds the game executable
        bool patched = false;    // brought up to date by its changed entries alone
        ArchivePatchPlan plan;   // then: what was kept, copied and fetched
    };
    void reportPatched(const QString &name, const ArchivePatchPlan &plan);
    void onArchiveExtracted(const QString &name, const QString &path, const Outcome &outcome);

    WorkflowSetup setup;
    bool roomShortShown = false; // KEEP UPDATE then says that it checked again
    LauncherConfig *config;
    QStringList archivesToExtract;
    int extracted = 0;
    int extractionTotal = 0;
};
