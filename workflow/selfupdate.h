#pragma once

#include "trust/versiontable.h"
#include "workflow/workflowpart.h"
#include "workflow/workflowsetup.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QString>
#include <QStringList>

class CdnHosts;
class QNetworkAccessManager;

// Downloads the newer launcher the version file lists, checks its MD5, stores it beside the
// running one as "v<version>_Kestrivane.exe" and starts the installation's update script, which
// puts it in place once this launcher has ended. A download that fails (no answer, the wrong bytes)
// is asked of the next CDN host before it fails.
class SelfUpdate : public WorkflowPart {
    Q_OBJECT

public:
    SelfUpdate(const WorkflowSetup &setup, QNetworkAccessManager *manager, CdnHosts *hosts,
               QObject *parent = nullptr);

    // Fetches the release of the launcher entry.
    void start(const RemoteFileInfo &entry);

    // Writes data to a file of the launcher's folder, atomically; false for a name outside it or
    // when the write fails.
    bool writeAppDirFile(const QByteArray &data, const QString &fileName);

public slots:
    void launcherFileDownloadFinished();
    void launcherDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void launcherDownloadNetworkError(QNetworkReply::NetworkError code);

signals:
    // The download failed: the version check runs again, counting the attempt.
    void networkFailed();
    // Final: the download is not the listed launcher or cannot be stored (the status says which).
    void failed();
    // The update script has the new launcher: this one ends now.
    void handedOver(const QString &fileName);

private:
    void requestFrom(const QString &baseUrl);
    // Asks the first usable host this download has not asked yet; false when none is left.
    bool tryNextHost();
    void runUpdateScript(const QString &fileName);

    WorkflowSetup setup;
    QNetworkAccessManager *manager;
    CdnHosts *hosts;
    RemoteFileInfo release;
    QStringList askedHosts;
    QString host; // the one the current request goes to
    QNetworkReply *currentReply = nullptr;
};
