#include "workflow/versioncheck.h"

#include "download/cdnhosts.h"
#include "i18n/translation.h"
#include "trust/keyrevocation.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"
#include "trust/signaturelookup.h"
#include "workflow/labelargs.h"
#include "workflow/launcherconfig.h"
#include "workflow/updatemarks.h"
#include "workflow/workflowsetup.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace {

QString trKey(const char *key) {
    return Translation::instance()->tr(QLatin1String(key));
}

} // namespace

QNetworkReply *CdnRequest::get(QNetworkAccessManager *manager, const QUrl &url, int timeoutMs) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A server that sends the headers and then nothing is a failed attempt, not an endless wait.
    request.setTransferTimeout(timeoutMs);
    return manager->get(request);
}

QNetworkReply *CdnRequest::takeFinished(QObject *sender, QNetworkReply **current) {
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender);
    if (!reply)
        reply = *current;
    if (reply == *current)
        *current = nullptr;
    return reply;
}

bool CdnRequest::saysMissing(const QNetworkReply *reply) {
    const int status = reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    return status == 404 || status == 410;
}

VersionCheck::VersionCheck(const WorkflowSetup &setup, QNetworkAccessManager *manager, LauncherConfig *config,
                           CdnHosts *hosts, QObject *parent)
    : WorkflowPart(parent)
    , setup(setup)
    , manager(manager)
    , config(config)
    , hosts(hosts) {}

VersionCheck::~VersionCheck() = default;

void VersionCheck::retryVersionCheck(const QString &error) {
    ++attempts;
    if (attempts > 3) {
        emit status(WorkflowStatus::LauncherLine,
                    WorkflowStatus::text(QStringLiteral("FATAL_ERROR"), {LabelArgs::text(error)}));
        emit gaveUp();
        return;
    }
    if (!error.isEmpty())
        emit status(WorkflowStatus::LauncherLine,
                    WorkflowStatus::text(QStringLiteral("DETAILED_ERROR"),
                                         {LabelArgs::text(error), LabelArgs::number(attempts)}));
    QTimer::singleShot(setup.versionRetryMs, this, [this]() { startVersionFileRequest(); });
}

void VersionCheck::startVersionFileRequest() {
    // Every attempt asks the hosts not left out, the build's CDN first.
    attemptHosts = hosts->usable();
    hostIndex = 0;
    askedAgain = false;
    expiredSeen = false;
    refusedSeen = false;
    unreadableSeen = false;
    verifiedDigest.clear();
    requestVersionFile();
}

void VersionCheck::requestVersionFile() {
    host = attemptHosts.value(hostIndex, setup.cdnBaseUrl);
    QNetworkReply *reply =
        CdnRequest::get(manager, QUrl(host + setup.versionFile), setup.versionFileTimeoutMs);
    currentReply = reply;
    connect(reply, SIGNAL(finished()), this, SLOT(versionFileDownloadFinished()));
    connect(reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(versionFileDownloadNetworkError(QNetworkReply::NetworkError)));
    // The CDN is not trusted to send a sane amount: an oversized version file is cut off and
    // handled as a network error of this request.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > VersionTable::MaxVersionFileSize || total > VersionTable::MaxVersionFileSize) {
            qDebug() << "version file too large, aborting" << received << total;
            reply->abort();
        }
    });
}

void VersionCheck::versionFileDownloadFinished() {
    qDebug() << "version file download finished.";
    QNetworkReply *reply = CdnRequest::takeFinished(sender(), &currentReply);
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        // The error slot has already counted the attempt; only the reply is left to release.
        reply->deleteLater();
        return;
    }
    if (reply->bytesAvailable() > VersionTable::MaxVersionFileSize) {
        // The whole body may arrive before the progress check could abort it.
        qDebug() << "version file too large" << reply->bytesAvailable();
        reply->deleteLater();
        versionFileDownloadNetworkError(QNetworkReply::OperationCanceledError);
        return;
    }
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    // Not a line is read before the signature has been checked.
    if (!setup.releasePublicKey.isEmpty())
        startSignatureRequest(body);
    else
        acceptVersionFile(body);
}

void VersionCheck::acceptVersionFile(const QByteArray &body) {
    QString refused;
    // Each attempt starts from an empty table: a line of a refused file must not be taken for a
    // line of the next one (a name no longer listed would be fetched and installed).
    VersionTable::instance().clear();
    if (!VersionTable::parseFile(body, &VersionTable::instance(), &refused)) {
        // Quoted, so control characters in a hostile line are escaped in the log.
        qDebug() << "version file line refused:" << refused.left(200);
        unreadableSeen = true;
        verifiedDigest.clear();
        hostFailed(trKey("VERSION_PARSE_ERROR"), QStringLiteral("version file line refused"));
        return;
    }
    hosts->succeeded(host);
    checkLauncherVersion();
}

void VersionCheck::versionFileDownloadNetworkError(QNetworkReply::NetworkError code) {
    QJsonObject failure;
    failure.insert(QStringLiteral("event"), QStringLiteral("version file download network error"));
    failure.insert(QStringLiteral("code"), static_cast<int>(code));
    hostFailed(trKey("NETWORK_ERROR"), QStringLiteral("version file network error %1").arg(int(code)),
               failure, !CdnRequest::saysMissing(qobject_cast<QNetworkReply *>(sender())));
}

void VersionCheck::hostFailed(const QString &error, const QString &why, QJsonObject failure,
                              bool hostAtFault) {
    const QString failedHost = host;
    if (hostAtFault)
        hosts->failed(failedHost, why);
    if (!failure.isEmpty())
        failure.insert(QStringLiteral("host"), CdnHosts::hostName(failedHost));
    if (hostIndex + 1 < attemptHosts.size()) {
        ++hostIndex;
        askedAgain = false;
        qDebug().noquote() << "version file attempt failed on CDN host, asking the next: " +
                                  CdnHosts::hostName(failedHost) + ": " + why;
        // Queued: the failed reply finishes first, and the next request starts from a clean stack.
        QTimer::singleShot(0, this, [this]() { requestVersionFile(); });
    } else if (expiredSeen) {
        // Authentic but stale: the game that is installed stays usable, and the workflow asks again
        // later rather than counting towards the fatal error.
        qWarning() << "no host serves a release within its validity period";
        VersionTable::instance().clear();
        emit releaseExpired();
    } else {
        retryVersionCheck(error);
    }
    if (!failure.isEmpty())
        emit event(failure);
}

void VersionCheck::checkLauncherVersion() {
    const RemoteFileInfo info = VersionTable::instance().value(QString::fromLatin1(LauncherFileName));
    const int r = compareVersions(setup.launcherVersion, info.version);
    // The event goes first: what follows may end this launcher (its own update) at once.
    const bool failedBefore = r == -1 && info.version == UpdateMarks::failedVersion(setup.folder);
    QString result;
    if (r == -2)
        result = QStringLiteral("server error");
    else if (failedBefore)
        result = QStringLiteral("launcher update failed before");
    else if (r == -1)
        result = QStringLiteral("need to update launcher");
    else
        result = QStringLiteral("no need to update launcher");
    emit event(QJsonObject{{QStringLiteral("event"), QStringLiteral("check launcher version")},
                           {QStringLiteral("result"), result}});

    if (r == -2) {
        qDebug() << "server error";
        emit status(WorkflowStatus::LauncherLine, WorkflowStatus::text(QStringLiteral("SERVER_ERROR")));
        emit serverError();
    } else if (failedBefore) {
        // The last update to this version did not come up and the previous launcher came back:
        // it is not taken again until the version file lists another one.
        qWarning() << "not updating to the launcher that failed to start before" << info.version;
        QTimer::singleShot(setup.gamePageMs, this, &VersionCheck::upToDate);
    } else if (r == -1) {
        UpdateMarks::forgetFailure(setup.folder);
        qDebug() << "need to update launcher";
        emit launcherOutdated(info);
    } else {
        UpdateMarks::forgetFailure(setup.folder);
        qDebug() << "no need to update launcher";
        QTimer::singleShot(setup.gamePageMs, this, &VersionCheck::upToDate);
    }
}

QString VersionCheck::failureKey() const {
    if (refusedSeen)
        return QStringLiteral("RELEASE_SIGNATURE_ERROR");
    if (unreadableSeen)
        return QStringLiteral("VERSION_PARSE_ERROR");
    return QStringLiteral("UPDATE_SERVER_UNREACHABLE");
}

int VersionCheck::compareVersions(const QString &local, const QString &remote) {
    bool ok = false;
    const float l = local.toFloat(&ok);
    if (!ok || !std::isfinite(l))
        return -2;
    const float r = remote.toFloat(&ok);
    if (!ok || !std::isfinite(r))
        return -2;
    if (std::fabs(l - r) < 1e-5f)
        return 0;
    return r > l ? -1 : 1;
}

// Signed releases: with a public key built in, the version file is only read after its detached
// minisign signature ("version3.txt.minisig") has been verified, and a release older than the
// newest one accepted before is refused. Every file's MD5 comes from that list, so the self-update
// and the game files rest on the same signature.
void VersionCheck::announceReleaseVerification(const QString &publicKey) {
    const ReleaseVerifier verifier(publicKey);
    if (!verifier.isEnabled())
        qDebug() << "release signatures are not verified: no public key built in";
    else if (!verifier.isUsable())
        qDebug() << "built-in release public key is unusable, every version file will be refused:"
                 << verifier.error();
    else {
        QStringList ids;
        for (const MinisignPublicKey &key : verifier.publicKeys())
            ids << MinisignPublicKey::keyIdText(key.keyId());
        qDebug().noquote() << (ids.size() == 1 ? "release signatures verified with key"
                                               : "release signatures verified with keys")
                           << ids.join(QLatin1String(", "));
    }
}

QNetworkReply *VersionCheck::requestBeside(const QString &name, int maxSize) {
    // Moved and stalled like the version file it belongs to, and always from the host that served
    // it: a mirror's signature may belong to another release.
    QNetworkReply *reply = CdnRequest::get(manager, QUrl(host + name), setup.versionFileTimeoutMs);
    currentReply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [reply, maxSize](qint64 received, qint64 total) {
        if (received > maxSize || total > maxSize)
            reply->abort();
    });
    return reply;
}

void VersionCheck::startSignatureRequest(const QByteArray &versionFileBody) {
    const ReleaseVerifier verifier(setup.releasePublicKey);
    lookup.reset();
    // A launcher with more than one key learns of revoked keys before it looks at a signature; with
    // one key it has none to fall back on.
    if (verifier.publicKeys().size() < 2) {
        requestSignature(versionFileBody);
        return;
    }
    QNetworkReply *reply =
        requestBeside(KeyRevocation::fileName(setup.versionFile), KeyRevocation::MaxFileSize);
    connect(reply, &QNetworkReply::finished, this, [this, reply, versionFileBody]() {
        if (reply == currentReply)
            currentReply = nullptr;
        reply->deleteLater();
        if (reply->error() == QNetworkReply::NoError)
            learnRevocations(reply->read(KeyRevocation::MaxFileSize + 1));
        else if (!CdnRequest::saysMissing(reply))
            qWarning() << "revoked keys not available, going on with those known" << reply->errorString();
        requestSignature(versionFileBody);
    });
}

void VersionCheck::learnRevocations(const QByteArray &file) {
    QString why;
    const QList<QByteArray> entries = KeyRevocation::entries(file, &why);
    if (entries.isEmpty() && !why.isEmpty()) {
        qWarning().noquote() << "revocations file refused: " + why;
        return;
    }
    const ReleaseVerifier verifier(setup.releasePublicKey);
    const QList<QByteArray> known = config->revokedKeys();
    QList<QByteArray> learnt;
    for (const QByteArray &entry : entries) {
        const QByteArray id = KeyRevocation::revokedKey(entry, verifier.publicKeys(), &why);
        if (id.isEmpty()) {
            // Also a revocation of a key this launcher does not trust: there is nothing to refuse.
            qDebug().noquote() << "revocation not taken: " + why;
            continue;
        }
        if (known.contains(id) || learnt.contains(id))
            continue;
        qWarning().noquote() << "release key revoked: " + MinisignPublicKey::keyIdText(id);
        learnt.append(id);
        QJsonObject revoked;
        revoked.insert(QStringLiteral("event"), QStringLiteral("release key revoked"));
        revoked.insert(QStringLiteral("key"), MinisignPublicKey::keyIdText(id));
        revoked.insert(QStringLiteral("host"), CdnHosts::hostName(host));
        emit event(revoked);
    }
    if (!learnt.isEmpty() && !config->addRevokedKeys(learnt))
        qWarning() << "cannot record the revoked keys in" << config->path();
}

void VersionCheck::requestSignature(const QByteArray &versionFileBody) {
    if (!lookup) {
        // Made once the revoked keys are known: their signatures send the lookup on.
        ReleaseVerifier verifier(setup.releasePublicKey);
        verifier.setRevoked(config->revokedKeys());
        lookup = std::make_unique<SignatureLookup>(
            verifier, SignatureLookup::Kind::Release, setup.versionFile, versionFileBody,
            config->newestAcceptedRelease(), QDateTime::currentSecsSinceEpoch());
    }
    QNetworkReply *reply = requestBeside(lookup->next(), MinisignSignature::MaxFileSize);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, versionFileBody]() { signatureDownloadFinished(reply, versionFileBody); });
}

void VersionCheck::signatureDownloadFinished(QNetworkReply *reply, const QByteArray &versionFileBody) {
    qDebug() << "version signature download finished.";
    if (reply == currentReply)
        currentReply = nullptr;
    reply->deleteLater();
    if (!lookup)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        lookup->notAnswered(status == 404
                                ? QStringLiteral("signature file missing (HTTP 404)")
                                : QStringLiteral("signature download failed: %1").arg(reply->errorString()),
                            status != 0);
    } else {
        // A body larger than any signature may arrive in one piece, before the progress check saw it.
        lookup->answered(reply->read(MinisignSignature::MaxFileSize + 1));
    }
    if (lookup->isDone())
        signatureLookupDone(versionFileBody);
    else
        requestSignature(versionFileBody);
}

void VersionCheck::signatureLookupDone(const QByteArray &versionFileBody) {
    const ReleaseVerifier::Result result = lookup->result();
    const bool mismatch = lookup->listMismatch();
    lookup.reset();
    if (result.expired) {
        releaseExpiredOnHost(result.timestamp, result.expires);
        return;
    }
    if (!result.ok) {
        if (mismatch && !askedAgain) {
            // The list and the signature of two publications: a cache may hold one of them a little
            // longer. The same host is asked for both once more before it counts as failed.
            askedAgain = true;
            qDebug().noquote() << "version file and signature do not belong together, asking again: " +
                                      result.reason;
            QTimer::singleShot(setup.signatureRetryMs, this, [this]() { requestVersionFile(); });
            return;
        }
        refuseVersionFile(result.reason);
        return;
    }
    qDebug().noquote() << "version file signature verified, key " +
                              MinisignPublicKey::keyIdText(result.keyId) + ", release time " +
                              QString::number(result.timestamp);
    if (result.timestamp > config->newestAcceptedRelease() &&
        !config->setNewestAcceptedRelease(result.timestamp))
        qDebug() << "cannot record the release time in" << config->path();
    verifiedDigest = QCryptographicHash::hash(versionFileBody, QCryptographicHash::Sha256);
    acceptVersionFile(versionFileBody);
}

void VersionCheck::releaseExpiredOnHost(qint64 signedAt, qint64 expires) {
    qWarning() << "release expired" << signedAt << expires << CdnHosts::hostName(host);
    expiredSeen = true;
    QJsonObject expired;
    expired.insert(QStringLiteral("event"), QStringLiteral("release expired"));
    expired.insert(QStringLiteral("signed"), signedAt);
    expired.insert(QStringLiteral("expires"), expires);
    // Not the host's fault as far as reaching it goes: it answers, with an old release.
    hostFailed(trKey("RELEASE_OUT_OF_DATE"), QStringLiteral("release expired"), expired, false);
}

void VersionCheck::refuseVersionFile(const QString &reason) {
    qDebug() << "version file refused:" << reason;
    refusedSeen = true;
    QJsonObject refused;
    refused.insert(QStringLiteral("event"), QStringLiteral("version file signature error"));
    refused.insert(QStringLiteral("reason"), reason);
    hostFailed(trKey("NETWORK_ERROR"), reason, refused);
}
