#pragma once

// A launcher with a key checking a CDN every second, as a player's launcher would: the version file
// and its signature through the launcher's own VersionCheck, then every file the list names (HEAD),
// through the same CDN. Each check ends "ok" or with what a player would have met: a refused
// signature, a missing file, no answer. FixedNamesOnly plays the launchers before digest-named
// signatures: the list, then "<list>.minisig", and one refusal fails the check.

#include "download/cdnhosts.h"
#include "trust/releaseverifier.h"
#include "trust/versiontable.h"
#include "workflow/launcherconfig.h"
#include "workflow/versioncheck.h"

#include <QDateTime>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <memory>

class ReleaseWatcher {
public:
    enum Mode { Launcher, FixedNamesOnly };

    // base: the CDN folder's URL; folder: the launcher's own (its config.ini keeps the newest release).
    ReleaseWatcher(const QString &base, const QString &publicKey, const QString &folder, Mode mode,
                   int signatureRetryMs = 3000)
        : base(base)
        , mode(mode)
        , config(folder) {
        setup.folder = folder;
        setup.cdnBaseUrl = base;
        setup.versionFile = QStringLiteral("version3.txt");
        setup.launcherVersion = QStringLiteral("0.01"); // always outdated: the table is read at once
        setup.releasePublicKey = publicKey;
        setup.versionRetryMs = 0;
        setup.signatureRetryMs = signatureRetryMs;
        setup.versionFileTimeoutMs = 10000;
        QObject::connect(&timer, &QTimer::timeout, &context, [this]() { check(); });
    }

    void start(int everyMs) {
        check();
        timer.start(everyMs);
    }
    void stop() { timer.stop(); }
    bool idle() const { return running == 0; }

    int checks = 0;
    int failed = 0;
    QMap<QString, int> outcomes; // by outcome ("ok", "404 v2_data.bin", ...)

    // "12 x ok; 1 x HTTP 404 v2_data.bin"
    QString summary() const {
        QStringList lines;
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            lines << QStringLiteral("%1 x %2").arg(it.value()).arg(it.key());
        return lines.join(QLatin1String("; "));
    }

private:
    void finish(const QString &outcome) {
        --running;
        ++checks;
        outcomes[outcome] += 1;
        if (outcome != QLatin1String("ok"))
            ++failed;
    }

    void check() {
        if (running >= 4) // a check waiting on its second look; players would not pile up more
            return;
        ++running;
        if (mode == FixedNamesOnly) {
            fetch(setup.versionFile, [this](int status, const QByteArray &list) {
                if (status != 200)
                    return finish(QStringLiteral("version file HTTP %1").arg(status));
                fetch(setup.versionFile + QStringLiteral(".minisig"), [this, list](int,
                                                                                   const QByteArray &sig) {
                    ReleaseVerifier verifier(setup.releasePublicKey);
                    const ReleaseVerifier::Result r = verifier.verify(list, sig, newest, setup.versionFile);
                    if (!r.ok)
                        return finish(QStringLiteral("signature refused: ") + r.reason);
                    newest = qMax(newest, r.timestamp);
                    QMap<QString, RemoteFileInfo> table;
                    QString refused;
                    if (!VersionTable::parseFile(list, &table, &refused))
                        return finish(QStringLiteral("unreadable list"));
                    checkFiles(table);
                });
            });
            return;
        }
        auto *hosts = new CdnHosts({base}, &context);
        auto *versionCheck = new VersionCheck(setup, &network, &config, hosts, &context);
        auto done = std::make_shared<bool>(false);
        const auto end = [this, versionCheck, hosts, done](const QString &outcome,
                                                           const QMap<QString, RemoteFileInfo> &table) {
            if (*done)
                return;
            *done = true;
            versionCheck->deleteLater();
            hosts->deleteLater();
            if (outcome.isEmpty())
                checkFiles(table);
            else
                finish(outcome);
        };
        QObject::connect(versionCheck, &VersionCheck::launcherOutdated, &context,
                         [end](const RemoteFileInfo &) { end(QString(), VersionTable::instance()); });
        QObject::connect(versionCheck, &WorkflowPart::event, &context, [end](const QJsonObject &e) {
            const QString name = e.value(QStringLiteral("event")).toString();
            if (name != QLatin1String("check launcher version"))
                end(name + QStringLiteral(": ") + e.value(QStringLiteral("reason")).toString(), {});
        });
        QObject::connect(versionCheck, &VersionCheck::serverError, &context,
                         [end]() { end("server error", {}); });
        QObject::connect(versionCheck, &VersionCheck::releaseExpired, &context,
                         [end]() { end("expired", {}); });
        versionCheck->retryVersionCheck(QString());
    }

    // Every file the list names, and its map or index, must be served.
    void checkFiles(const QMap<QString, RemoteFileInfo> &table) {
        auto pending = std::make_shared<int>(0);
        auto missing = std::make_shared<QString>();
        QStringList names;
        for (const RemoteFileInfo &e : table) {
            const QString name = QStringLiteral("v%1_%2").arg(e.version, e.name);
            names << name;
            if (!e.mapDigest.isEmpty())
                names << name + (e.name.endsWith(QLatin1String(".zip")) ? QStringLiteral(".zipindex")
                                                                        : QStringLiteral(".blockmap"));
        }
        *pending = names.size();
        if (names.isEmpty())
            return finish(QStringLiteral("ok"));
        for (const QString &name : names) {
            QNetworkReply *reply = network.head(QNetworkRequest(QUrl(base + name)));
            QObject::connect(
                reply, &QNetworkReply::finished, &context, [this, reply, name, pending, missing]() {
                    reply->deleteLater();
                    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                    if (status != 200 && missing->isEmpty())
                        *missing = QStringLiteral("HTTP %1 %2").arg(status).arg(name);
                    if (--*pending == 0)
                        finish(missing->isEmpty() ? QStringLiteral("ok") : *missing);
                });
        }
    }

    template <typename Then>
    void fetch(const QString &name, Then then) {
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl(base + name)));
        QObject::connect(reply, &QNetworkReply::finished, &context, [reply, then]() {
            reply->deleteLater();
            then(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll());
        });
    }

    QString base;
    Mode mode;
    WorkflowSetup setup;
    QObject context;
    QNetworkAccessManager network;
    LauncherConfig config;
    QTimer timer;
    int running = 0;
    qint64 newest = -1;
};
