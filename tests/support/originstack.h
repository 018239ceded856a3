#pragma once

// A CDN's origin and two CDNs in front, each its own nginx on 127.0.0.1 (ports picked here): the
// origin takes uploads through WebDAV, configured as the publisher's guide (docs/publisher.md) says;
// one proxy caches as the origin's headers say, the other ignores them and keeps every answer 10 s
// from its first request. A switch file makes the origin refuse writes of the live version file and
// its signature, as an origin whose permissions changed half-way through an upload.

#include "support/httpserver.h"
#include "support/testfiles.h"

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>

#include <memory>
#include <unistd.h>

class OriginStack {
public:
    // The indented block that follows "<!-- marker -->" in a guide.
    static QString guideBlock(const QString &guidePath, const QString &marker) {
        const QString guide = QString::fromUtf8(TestFiles::readFile(guidePath));
        const int at = guide.indexOf(QStringLiteral("<!-- %1 -->").arg(marker));
        if (at < 0)
            return QString();
        QStringList block;
        for (const QString &line : guide.mid(at).split(QLatin1Char('\n')).mid(1)) {
            if (line.startsWith(QLatin1String("    ")))
                block << line.mid(4);
            else if (!line.isEmpty() && !block.isEmpty())
                break;
        }
        return block.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }

    // work: a folder of its own; the origin's files go to root().
    OriginStack(const QString &work, const QString &sourceDir)
        : work(work) {
        QDir().mkpath(root());
        const QList<quint16> ports = HttpServer::freePorts(3);
        const quint16 originPort = ports.value(0), honouringPort = ports.value(1),
                      ignoringPort = ports.value(2);
        QString originConf =
            guideBlock(sourceDir + QStringLiteral("/docs/publisher.md"), QStringLiteral("nginx-origin"));
        configured = originConf.contains(QLatin1String("dav_ext_methods"));
        originConf.replace(QStringLiteral("/srv/cdn"), root())
            .replace(QStringLiteral("listen 8080;"), QStringLiteral("listen 127.0.0.1:%1;").arg(originPort))
            .replace(QStringLiteral("server {"),
                     QStringLiteral(
                         "server {\n set $refuse \"\";\n if (-f \"%1\") { set $refuse R; }\n"
                         " if ($request_method !~ \"^(GET|HEAD|PROPFIND|OPTIONS)$\") { set $refuse "
                         "\"${refuse}P\"; }\n"
                         " if ($uri ~ \"/version3\\.txt(\\.minisig)?$\") { set $refuse \"${refuse}N\"; }\n"
                         " if ($refuse = RPN) { return 403; }\n")
                         .arg(refuseSwitch()));
        const QString proxy = QStringLiteral("proxy_cache_path \"%1/cache\" levels=1 keys_zone=edge:4m;\n"
                                             "server { listen 127.0.0.1:%2; location / {\n"
                                             "proxy_pass http://127.0.0.1:%3; proxy_cache edge; %4 } }\n");
        origin = std::make_unique<Server>(work + QStringLiteral("/nginx-origin"), originConf, originPort);
        honouring = std::make_unique<Server>(work + QStringLiteral("/nginx-honouring"),
                                             proxy.arg(work + QStringLiteral("/nginx-honouring"))
                                                 .arg(honouringPort)
                                                 .arg(originPort)
                                                 .arg(QString()),
                                             honouringPort);
        ignoring = std::make_unique<Server>(
            work + QStringLiteral("/nginx-ignoring"),
            proxy.arg(work + QStringLiteral("/nginx-ignoring"))
                .arg(ignoringPort)
                .arg(originPort)
                .arg(
                    QStringLiteral("proxy_cache_valid any 10s; proxy_ignore_headers Cache-Control Expires;")),
            ignoringPort);
    }

    // The guide had the origin's settings.
    bool isConfigured() const { return configured; }
    bool up() const { return origin->up() && honouring->up() && ignoring->up(); }
    QString errors() const {
        return QString::fromUtf8(TestFiles::readFile(origin->dir + QStringLiteral("/error.log")));
    }

    QString root() const { return work + QStringLiteral("/origin-files"); }
    QString originUrl() const { return origin->url(); }
    QString honouringUrl() const { return honouring->url(); }
    QString ignoringUrl() const { return ignoring->url(); }
    QString refuseSwitch() const { return work + QStringLiteral("/refuse-writes"); }
    // rclone's remote "origin" for this origin, through the environment.
    void addRemote(QProcessEnvironment *env) const {
        env->insert(QStringLiteral("RCLONE_CONFIG"), work + QStringLiteral("/rclone.conf"));
        env->insert(QStringLiteral("RCLONE_CONFIG_ORIGIN_TYPE"), QStringLiteral("webdav"));
        env->insert(QStringLiteral("RCLONE_CONFIG_ORIGIN_URL"), originUrl());
        env->insert(QStringLiteral("RCLONE_CONFIG_ORIGIN_VENDOR"), QStringLiteral("other"));
    }

private:
    struct Server {
        Server(const QString &dir, const QString &httpBody, quint16 port)
            : dir(dir)
            , port(port) {
            QDir().mkpath(dir + QStringLiteral("/tmp"));
            const QString conf =
                QStringLiteral(
                    "load_module /usr/lib/nginx/modules/ngx_http_dav_ext_module.so;\n%1"
                    "worker_processes 1;\ndaemon off;\npid \"%2/nginx.pid\";\nerror_log \"%2/error.log\";\n"
                    "events { worker_connections 256; }\nhttp {\naccess_log \"%2/access.log\";\n"
                    "client_body_temp_path \"%2/tmp/body\";\nproxy_temp_path \"%2/tmp/proxy\";\n"
                    "fastcgi_temp_path \"%2/tmp/f\";\nuwsgi_temp_path \"%2/tmp/u\";\n"
                    "scgi_temp_path \"%2/tmp/s\";\n%3\n}\n")
                    .arg(geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), dir, httpBody);
            TestFiles::writeFile(dir + QStringLiteral("/nginx.conf"), conf.toUtf8());
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(QStringLiteral("nginx"), {QStringLiteral("-p"), dir, QStringLiteral("-c"),
                                                    dir + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                                                    dir + QStringLiteral("/error.log")});
        }
        ~Server() {
            process.terminate();
            if (!process.waitForFinished(10000))
                process.kill();
        }
        bool up() const {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(200);
        }
        QString url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(port); }

        QString dir;
        quint16 port;
        QProcess process;
    };

    QString work;
    bool configured = false;
    std::unique_ptr<Server> origin, honouring, ignoring;
};
