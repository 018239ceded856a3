#pragma once

#include "download/downloadtask.h"
#include "trust/versiontable.h"

#include <QObject>
#include <QString>
#include <QVector>

class CdnHosts;
class QNetworkAccessManager;
class QThreadPool;

// Decides, when a queued file's turn comes, which spans of the remote file to fetch and where they
// go, for a caller that knows what the bytes are for (the changed entries of an archive, say); the
// engine fetches what it plans and knows nothing more of it. A planner that cannot plan leaves the
// file to be fetched whole, as does a failure of the spans' fetch other than an outage; the manager
// then says so with fileFetchedWhole().
class SpanPlanner : public QObject {
    Q_OBJECT
public:
    // What the engine lends a planner for its own fetches and work (not owned).
    struct Means {
        QNetworkAccessManager *network = nullptr;
        CdnHosts *hosts = nullptr;
        QThreadPool *pool = nullptr; // shared with other preparations, one at a time
        int transferTimeoutMs = 0;
    };
    // The spans to fetch, one after another into `target`, listed as `listed` (their size, an id in
    // place of a digest: the caller checks the content itself). No span: an empty file at `target`
    // stands for them.
    struct Plan {
        QString target;
        RemoteFileInfo listed;
        QVector<RemoteSpan> spans;
        qint64 savedBytes = 0; // of the whole file, what need not be fetched
    };

    using QObject::QObject;

    // Starts planning for the file as the version table lists it; false when no plan can be made
    // (finished() is then never emitted).
    virtual bool start(const RemoteFileInfo &listed, const Means &means) = 0;
    // Stops the planning; nothing is emitted after it.
    virtual void cancel() = 0;
    // After finished(true).
    virtual const Plan &plan() const = 0;

signals:
    void finished(bool ok);
};
