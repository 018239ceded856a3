// The version check and the self-update with a CDN mirror: a host that fails hands the attempt to
// the next one at once, the signature comes from the host of its version file, and with every host
// down the failure reads as it does with one CDN. The fixture's server is one host (and takes the
// events); a second server, or a port nobody listens on, is the other.
#include "download/cdnhosts.h"
#include "support/logcapture.h"
#include "support/testkeys.h"
#include "support/teststep.h"
#include "support/workflowfixture.h"
#include "trust/minisignsecretkey.h"

#include <algorithm>

using namespace WorkflowTest;

class MirrorFailoverTest : public WorkflowFixture {
    Q_OBJECT

    HttpServer *other = nullptr;
    const QByteArray SignaturePath = VersionPath + ".minisig";
    const QByteArray LauncherPath = CdnPrefix + "v0.2_Kestrivane.exe";

    QString serverBase() const { return server->url(QString::fromLatin1(CdnPrefix)); }
    QString otherBase() const { return other->url(QString::fromLatin1(CdnPrefix)); }
    // Hosts that refuse every connection.
    static QStringList refusedBases(int n) {
        QStringList bases;
        for (quint16 port : HttpServer::freePorts(n))
            bases << QStringLiteral("http://127.0.0.1:%1/sea/win_update/").arg(port);
        return bases;
    }
    WorkflowSetup hostsSetup(const QString &first, const QString &mirror, bool signedRelease = false) const {
        WorkflowSetup s = fastSetup();
        s.cdnBaseUrl = first;
        s.cdnMirrors = QStringList{mirror};
        if (signedRelease)
            s.releasePublicKey = QString::fromLatin1(TestKeys::ReleasePublic);
        return s;
    }
    static QByteArray sign(const QByteArray &data, qint64 time) {
        return MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
            .sign(data, "timestamp:" + QByteArray::number(time) + "\tfile:version3.txt")
            .toFile("signature from test");
    }
    // The "host" fields of the events of that name, in order.
    QStringList hostsOf(const QString &event) const {
        QStringList hosts;
        for (const QJsonObject &o : events(event))
            hosts << o.value(QStringLiteral("host")).toString();
        return hosts;
    }
    QString infoText() const { return shown(WorkflowStatus::LauncherLine); }

    QStringList retryTexts;
    void recordRetries() {
        retryTexts.clear();
        connect(flow, &LauncherWorkflow::status, this, [this](WorkflowStatus::Line, const WorkflowStatus &s) {
            if (s.key == QLatin1String("DETAILED_ERROR"))
                retryTexts << argTexts(s).join(QLatin1Char(' '));
        });
    }

private slots:
    void initTestCase() {
        WorkflowFixture::initTestCase();
        other = new HttpServer(this);
        QVERIFY(other->listen());
    }
    void init() {
        setUpDirs();
        other->clearFiles();
        other->clearFaults();
        other->clearRequests();
    }

    // The first host refuses: the version file, its signature and the game file come from the
    // mirror within the first attempt, and the failure names the refusing host.
    void versionFileAndSignatureFromTheMirror() {
        const QByteArray game = publish(QStringLiteral("a.bin"), QStringLiteral("1"), randomBytes(300000, 3));
        server->setFile(SignaturePath, sign(versionText(), 1800000000));
        const QString refused = refusedBases(1).value(0);
        makeWorkflow(hostsSetup(refused, serverBase(), true));
        recordRetries();
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), game);
        QCOMPARE(retryTexts, QStringList());
        QCOMPARE(flow->versionCheck()->retryCount(), 1);
        QCOMPARE(versionRequests(), 1);
        QCOMPARE(server->requestsFor(SignaturePath).size(), 1);
        QTRY_COMPARE(hostsOf(QStringLiteral("version file download network error")),
                     QStringList({CdnHosts::hostName(refused)}));
    }

    // The first host's signature cannot be fetched: the mirror's, validly signed but for its own
    // release, is never put beside the first host's version file; the mirror's pair is taken.
    void signatureComesFromTheHostOfItsVersionFile() {
        const QByteArray first =
            line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.11"), QString(32, 'a'), 1);
        other->setFile(VersionPath, first);
        other->setFile(SignaturePath, sign(first, 1800000000));
        HttpServer::Faults broken;
        broken.status = 500;
        other->setFaults(SignaturePath, broken);
        const QByteArray game = publish(QStringLiteral("a.bin"), QStringLiteral("2"), randomBytes(1000, 4));
        server->setFile(SignaturePath, sign(versionText(), 1800000060));
        makeWorkflow(hostsSetup(otherBase(), serverBase(), true));
        recordRetries();
        STEP(waitForReady());
        QCOMPARE(readFile(dir + QStringLiteral("/a.bin")), game);
        QCOMPARE(retryTexts, QStringList());
        QCOMPARE(other->requestsFor(VersionPath).size(), 1);
        QCOMPARE(other->requestsFor(SignaturePath).size(), 1);
        QCOMPARE(versionRequests(), 1);
        QCOMPARE(server->requestsFor(SignaturePath).size(), 1);
        QTRY_COMPARE(hostsOf(QStringLiteral("version file signature error")),
                     QStringList({CdnHosts::hostName(otherBase())}));
        QVERIFY(eventField(QStringLiteral("version file signature error"), QStringLiteral("reason"))
                    .startsWith(QStringLiteral("signature download failed")));
    }

    // Both hosts refuse: the texts and the count of attempts are those of one CDN; each attempt
    // asked both.
    void bothHostsDownFailAsOneHost() {
        const QStringList refused = refusedBases(2);
        QCOMPARE(refused.size(), 2);
        const QString first = refused[0];
        const QString mirror = refused[1];
        makeWorkflow(hostsSetup(first, mirror));
        recordRetries();
        const QString network = QStringLiteral("Network error, please check the network connection");
        QTRY_COMPARE_WITH_TIMEOUT(infoText(), QStringLiteral("Fatal error，") + network, 10000);
        QCOMPARE(retryTexts, QStringList({network + QStringLiteral(" 2"), network + QStringLiteral(" 3")}));
        QCOMPARE(flow->phase(), LauncherWorkflow::Failed);
        QCOMPARE(flow->versionCheck()->retryCount(), 4);
        QCOMPARE(gamePages, 0);
        const QString a = CdnHosts::hostName(first);
        const QString b = CdnHosts::hostName(mirror);
        QTRY_COMPARE(events(QStringLiteral("version file download network error")).size(), 6);
        // The posts may arrive in any order.
        QStringList hosts = hostsOf(QStringLiteral("version file download network error"));
        std::sort(hosts.begin(), hosts.end());
        QStringList expected = {a, a, a, b, b, b};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(hosts, expected);
    }

    // The first host serves a launcher that fails its MD5, or none: the mirror's is installed
    // within the same attempt, and the wrong bytes are logged with the host's name.
    void selfUpdateFromTheMirror_data() { addBoolRows("wrongBytes", "HTTP 500", "wrong launcher"); }
    void selfUpdateFromTheMirror() {
        QFETCH(bool, wrongBytes);
        const QByteArray payload = TestFiles::patternBytes(200000);
        other->setFile(VersionPath, line(QStringLiteral("Kestrivane.exe"), QStringLiteral("0.2"),
                                         md5Hex(payload), payload.size()));
        QByteArray wrong = payload;
        wrong[100000] = char(wrong[100000] ^ 1);
        other->setFile(LauncherPath, wrong);
        if (!wrongBytes) {
            HttpServer::Faults broken;
            broken.status = 500;
            other->setFaults(LauncherPath, broken);
        }
        server->setFile(LauncherPath, payload);
        LogCapture::start();
        makeWorkflow(hostsSetup(otherBase(), serverBase()));
        recordRetries();
        QTRY_VERIFY_WITH_TIMEOUT(handedOver, 10000);
        LogCapture::stop();
        QCOMPARE(readFile(dir + QStringLiteral("/v0.2_Kestrivane.exe")), payload);
        QCOMPARE(retryTexts, QStringList());
        QCOMPARE(phases, QList<Phase>({LauncherWorkflow::SelfUpdating}));
        QCOMPARE(other->requestsFor(LauncherPath).size(), 1);
        QCOMPARE(server->requestsFor(LauncherPath).size(), 1);
        QCOMPARE(versionRequests(), 0);
        const QString wrongLine =
            QStringLiteral("CDN host served wrong bytes: ") + CdnHosts::hostName(otherBase());
        const bool logged = std::any_of(LogCapture::lines().cbegin(), LogCapture::lines().cend(),
                                        [&](const QString &l) { return l.startsWith(wrongLine); });
        QCOMPARE(logged, wrongBytes);
        QCOMPARE(flow->cdnHosts()->isLeftOut(otherBase()), wrongBytes);
        QTRY_COMPARE(hostsOf(QStringLiteral("launcher file verify error")),
                     wrongBytes ? QStringList{CdnHosts::hostName(otherBase())} : QStringList());
    }
};

KV_WORKFLOW_TEST_MAIN(MirrorFailoverTest)
#include "tst_mirrorfailover.moc"
