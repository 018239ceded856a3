// Several CDN hosts serving the same files: pieces spread over them, a host that is down, dies,
// stalls or serves wrong bytes is left out, and the right bytes end up on the disk.
#include "download/cdnhosts.h"
#include "download/downloadfixture.h"
#include "download/downloadtaskpiece.h"
#include "download/xdmanager.h"
#include "patch/blockmap.h"
#include "support/httpserver.h"
#include "support/teststep.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;

struct Run {
    QMap<QString, ErrorCode> results;
    QMap<QString, QString> reasons;
    int patched = 0;
};

} // namespace

class TestMirrors : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::vector<std::unique_ptr<HttpServer>> servers;
    QMap<QString, QByteArray> published;

    HttpServer *addServer() {
        servers.emplace_back(new HttpServer);
        return servers.back()->listen() ? servers.back().get() : nullptr;
    }
    static QString base(const HttpServer *s) { return s->url(QStringLiteral("/cdn/")); }
    // A base URL on which nothing listens: connections are refused.
    static QString deadBase() {
        const QList<quint16> ports = HttpServer::freePorts(1);
        return ports.isEmpty() ? QString() : QStringLiteral("http://127.0.0.1:%1/cdn/").arg(ports.first());
    }
    // The file on every server given, and in the version table.
    void publish(const QString &name, qint64 size, quint32 seed, const QList<HttpServer *> &on) {
        const QByteArray content = TestFiles::randomBytes(int(size), seed);
        putTableEntry(name, QStringLiteral("1"), content);
        for (HttpServer *s : on)
            s->setFile("/cdn/v1_" + name.toUtf8(), content);
        published.insert(name, content);
    }
    // Requests of each piece of a file, over all servers.
    QMap<qint64, int> fetchesPerPiece(const QString &name) const {
        QMap<qint64, int> n;
        for (const auto &s : servers) {
            for (const HttpServer::Request &r : s->requestsFor("/cdn/v1_" + name.toUtf8()))
                ++n[qMax<qint64>(0, r.rangeStart()) / DownloadTaskPiece::PieceSize];
        }
        return n;
    }
    int mostFetches(const QString &name) const {
        int most = 0;
        for (int n : fetchesPerPiece(name))
            most = qMax(most, n);
        return most;
    }
    Run runToEnd(XDManager &m, const QStringList &names, int timeoutMs = 30000) {
        Run run;
        connect(&m, &XDManager::fileDownloadFinished, this, [&](ErrorCode code, const QString &name) {
            run.results.insert(name, code);
            run.reasons.insert(name, m.failureReason(name));
        });
        connect(&m, &XDManager::filePatched, this, [&] { ++run.patched; });
        QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
        for (const QString &name : names)
            m.addFile(QStringLiteral("v1_") + name, name);
        m.start();
        if (!all.wait(timeoutMs))
            qWarning("the run did not end");
        m.disconnect(this);
        return run;
    }
    bool installed(const QString &name) const {
        return TestFiles::readFile(dir->filePath(name)) == published.value(name);
    }

private slots:
    void init() {
        servers.clear();
        published.clear();
        VersionTable::release();
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }
    void cleanup() {
        servers.clear();
        VersionTable::release();
    }

    // A host refusing connections from the start, and one that lags behind the release (404 for
    // the new file): the pieces go to the host that has them; the refusing one is left out.
    void deadAndLaggingMirrors() {
        HttpServer *good = addServer();
        HttpServer *lagging = addServer();
        QVERIFY(good && lagging);
        publish(QStringLiteral("old.bin"), 14 * MiB + 5, 1, {good, lagging});
        publish(QStringLiteral("new.bin"), 14 * MiB + 7, 2, {good});
        const QString dead = deadBase();
        QVERIFY(!dead.isEmpty());
        CdnHosts hosts({dead, base(good), base(lagging)});
        QSignalSpy leftOut(&hosts, &CdnHosts::hostLeftOut);
        XDManager m(dir->path());
        m.setHosts(&hosts);
        const Run run = runToEnd(m, {"new.bin", "old.bin"});
        QCOMPARE(run.results.value("new.bin", ErrorCode(-1)), NoError);
        QCOMPARE(run.results.value("old.bin", ErrorCode(-1)), NoError);
        QVERIFY(installed("new.bin") && installed("old.bin"));
        QVERIFY(hosts.isLeftOut(dead));
        QVERIFY(!hosts.isLeftOut(base(lagging))); // a 404 says what it has, not that it is away
        QCOMPARE(leftOut.count(), 1);
        // The lagging host was asked for the new file and said no; it served the old one.
        QVERIFY(lagging->requestCount("/cdn/v1_new.bin") > 0);
        QVERIFY(lagging->requestCount("/cdn/v1_old.bin") > 0);
        QVERIFY2(mostFetches("new.bin") <= 2 && mostFetches("old.bin") <= 2,
                 qPrintable(QStringLiteral("%1 %2").arg(mostFetches("new.bin")).arg(mostFetches("old.bin"))));
    }

    // Once a host said it does not have a file, the file's other pieces go elsewhere: each
    // downloader hears the 404 at most once, and no piece is moved back to that host.
    void laggingMirrorIsAskedOncePerDownloader() {
        HttpServer *good = addServer();
        HttpServer *lagging = addServer();
        QVERIFY(good && lagging);
        publish(QStringLiteral("new.bin"), 32 * DownloadTaskPiece::PieceSize, 3, {good});
        CdnHosts hosts({base(good), base(lagging)});
        XDManager m(dir->path());
        m.setHosts(&hosts);
        const Run run = runToEnd(m, {"new.bin"});
        QCOMPARE(run.results.value("new.bin", ErrorCode(-1)), NoError);
        QVERIFY(installed("new.bin"));
        const int asked = lagging->requestCount("/cdn/v1_new.bin");
        QVERIFY2(asked > 0 && asked <= XDManager::DownloaderCount, qPrintable(QString::number(asked)));
        QVERIFY2(mostFetches("new.bin") <= 2, qPrintable(QString::number(mostFetches("new.bin"))));
    }

    // A blip in which the first host fails three requests at once leaves it out only for a pause: it
    // then serves again, and stays in once it has.
    void hostLeftOutAfterABlipComesBack() {
        HttpServer *a = addServer();
        HttpServer *b = addServer();
        QVERIFY(a && b);
        publish(QStringLiteral("big.pak"), 64 * MiB, 6, {a, b});
        HttpServer::Faults blip;
        blip.status = 503;
        blip.firstRequests = 3;
        a->setFaults("/cdn/v1_big.pak", blip);
        HttpServer::Faults slow;
        slow.bytesPerSecond = 2 * MiB;
        b->setFaults("/cdn/v1_big.pak", slow);
        CdnHosts hosts({base(a), base(b)});
        hosts.setReturnPauses(200, 1000);
        QSignalSpy leftOut(&hosts, &CdnHosts::hostLeftOut);
        XDManager m(dir->path());
        m.setHosts(&hosts);
        const Run run = runToEnd(m, {"big.pak"});
        QCOMPARE(run.results.value("big.pak", ErrorCode(-1)), NoError);
        QVERIFY(installed("big.pak"));
        QCOMPARE(leftOut.count(), 1);
        QVERIFY(!hosts.isLeftOut(base(a)));
        // Served after its blip.
        QVERIFY2(a->requestCount("/cdn/v1_big.pak") >= 3,
                 qPrintable(QString::number(a->requestCount("/cdn/v1_big.pak"))));
    }

    // A slow but live mirror: once nothing is left to hand out, the fast host's idle downloaders take
    // over the pieces the slow one would end long after, instead of waiting for it.
    void slowMirrorsPiecesAreTakenOver() {
        HttpServer *fast = addServer();
        HttpServer *slow = addServer();
        QVERIFY(fast && slow);
        publish(QStringLiteral("big.pak"), 16 * MiB, 8, {fast, slow});
        HttpServer::Faults trickle;
        trickle.bytesPerSecond = 100 * 1024;
        slow->setFaults("/cdn/v1_big.pak", trickle);
        CdnHosts hosts({base(fast), base(slow)});
        XDManager m(dir->path());
        m.setHosts(&hosts);
        const Run run = runToEnd(m, {"big.pak"});
        QCOMPARE(run.results.value("big.pak", ErrorCode(-1)), NoError);
        QVERIFY(installed("big.pak"));
        // The slow host sent a little of each piece it had before they moved (a piece takes 40 s there).
        QVERIFY(slow->requestCount("/cdn/v1_big.pak") > 0);
        QVERIFY2(slow->bodyBytesSent() < 2 * MiB, qPrintable(QString::number(slow->bodyBytesSent())));
        QCOMPARE(fast->requestCount("/cdn/v1_big.pak"), 4);
    }

    // Hosts are chosen by how fast they send: once the first requests show one host ten times
    // slower, no new file goes to it, and the downloaders it had move to the fast host as their
    // files end (each file there takes 2.6 s, the whole run about 4 s).
    void newWorkGoesToTheFasterHost() {
        HttpServer *fast = addServer();
        HttpServer *slow = addServer();
        QVERIFY(fast && slow);
        HttpServer::Faults paced;
        paced.bytesPerSecond = MiB;
        HttpServer::Faults trickle;
        trickle.bytesPerSecond = 100 * 1024;
        QStringList names;
        for (int i = 0; i < 80; ++i) {
            const QString name = QStringLiteral("f%1.bin").arg(i);
            publish(name, 256 * 1024, quint32(100 + i), {fast, slow});
            fast->setFaults("/cdn/v1_" + name.toUtf8(), paced);
            slow->setFaults("/cdn/v1_" + name.toUtf8(), trickle);
            names.append(name);
        }
        CdnHosts hosts({base(fast), base(slow)});
        XDManager m(dir->path());
        m.setHosts(&hosts);
        const Run run = runToEnd(m, names);
        for (const QString &name : names) {
            QCOMPARE(run.results.value(name, ErrorCode(-1)), NoError);
            QVERIFY(installed(name));
        }
        QVERIFY2(
            hosts.pace(base(fast)) > 3 * hosts.pace(base(slow)),
            qPrintable(
                QStringLiteral("%1 against %2").arg(hosts.pace(base(fast))).arg(hosts.pace(base(slow)))));
        // The slow host got its share of the first requests (about half of ten, a few more when the
        // fast host's first pieces end before the slow one is measured), and nothing once it was
        // measured: spread evenly, it would get a second share as its first pieces end, 2.5 s in.
        const QList<HttpServer::Request> late = slow->requests();
        QStringList when;
        bool afterMeasured = false;
        for (const HttpServer::Request &r : late) {
            when.append(QString::number(r.atMs - late.first().atMs));
            afterMeasured = afterMeasured || r.atMs - late.first().atMs > 1500;
        }
        QVERIFY2(!late.isEmpty() && late.size() <= 10 && !afterMeasured,
                 qPrintable(when.join(QLatin1Char(' '))));
    }

    // A mirror that has not received the release answers 404 while the host that has it is briefly
    // down: the file waits for that host rather than failing as missing on the server, which it is
    // only once every host said so.
    void missingOnAMirrorWaitsForTheHostThatIsAway() {
        HttpServer *first = addServer();
        HttpServer *lagging = addServer();
        QVERIFY(first && lagging);
        publish(QStringLiteral("new.bin"), 9 * MiB, 7, {first});
        CdnHosts hosts({base(first), base(lagging)});
        hosts.setReturnPauses(300, 600);
        first->stopFor(1500);
        XDManager m(dir->path());
        m.setHosts(&hosts);
        m.setRetryPolicy({50, 400, 20000});
        const Run run = runToEnd(m, {"new.bin"});
        QCOMPARE(run.results.value("new.bin", ErrorCode(-1)), NoError);
        QVERIFY(installed("new.bin"));
        QVERIFY(lagging->requestCount("/cdn/v1_new.bin") > 0);
        QVERIFY(first->requestCount("/cdn/v1_new.bin") > 0);

        // Missing everywhere: a 404 from every host fails the file as missing.
        putTableEntry(QStringLiteral("gone.bin"), QStringLiteral("1"), QByteArray("never published"));
        CdnHosts both({base(first), base(lagging)});
        XDManager again(dir->path());
        again.setHosts(&both);
        const Run missing = runToEnd(again, {"gone.bin"});
        QCOMPARE(missing.results.value("gone.bin", ErrorCode(-1)), NetworkError);
        QCOMPARE(again.failureStatus(QStringLiteral("gone.bin")), 404);
        QCOMPARE(first->requestCount("/cdn/v1_gone.bin"), 1);
        QCOMPARE(lagging->requestCount("/cdn/v1_gone.bin"), 1);
    }

    // A host stopped in the middle of a large download: its pieces go on from the other host (from
    // the byte they had reached), the stopped one counts as away. Whether it is also left out depends
    // on how many pieces it held when it stopped (three failures in a row leave a host out; with one
    // or two, the faster host may take every piece left before it is asked again).
    void mirrorDiesMidway() {
        HttpServer *a = addServer();
        HttpServer *b = addServer();
        QVERIFY(a && b);
        publish(QStringLiteral("big.pak"), 100 * MiB, 3, {a, b});
        HttpServer::Faults slow;
        slow.bytesPerSecond = 8 * MiB;
        a->setFaults("/cdn/v1_big.pak", slow);
        b->setFaults("/cdn/v1_big.pak", slow);
        CdnHosts hosts({base(a), base(b)});
        XDManager m(dir->path());
        m.setHosts(&hosts);
        m.setRetryPolicy({50, 200, 5000});
        const RemoteFileInfo &e = VersionTable::instance()[QStringLiteral("big.pak")];
        QTimer stopper;
        connect(&stopper, &QTimer::timeout, this, [&] {
            if (e.downloadedBytes >= 20 * MiB && a->isListening()) {
                a->stopFor(600000);
                stopper.stop();
            }
        });
        stopper.start(20);
        const Run run = runToEnd(m, {"big.pak"}, 60000);
        QVERIFY(!a->isListening());
        QCOMPARE(run.results.value("big.pak", ErrorCode(-1)), NoError);
        QVERIFY(installed("big.pak"));
        QVERIFY(hosts.mayBeAway(base(a)));
        QVERIFY(!hosts.mayBeAway(base(b)));
        QVERIFY(a->requestCount() >= 5 && b->requestCount() >= 5);
        QVERIFY2(mostFetches("big.pak") <= 2, qPrintable(QString::number(mostFetches("big.pak"))));
    }

    // A host that takes the requests and sends nothing: after the transfer timeout each piece goes
    // to the other host at once, and the stalling host is left out.
    void stallingMirror() {
        HttpServer *stalling = addServer();
        HttpServer *good = addServer();
        QVERIFY(stalling && good);
        publish(QStringLiteral("s.pak"), 24 * MiB + 1, 4, {stalling, good});
        HttpServer::Faults silent;
        silent.hold = true;
        stalling->setFaults("/cdn/v1_s.pak", silent);
        CdnHosts hosts({base(stalling), base(good)});
        XDManager m(dir->path());
        m.setHosts(&hosts);
        m.setTransferTimeout(700);
        // With the other host there, no outage pause applies.
        m.setRetryPolicy({60000, 60000, 120000});
        const Run run = runToEnd(m, {"s.pak"});
        QCOMPARE(run.results.value("s.pak", ErrorCode(-1)), NoError);
        QVERIFY(installed("s.pak"));
        QVERIFY(hosts.isLeftOut(base(stalling)));
        QCOMPARE(stalling->requestCount(), 4); // pieces 0, 2, 4 and 6, then none
        QVERIFY2(mostFetches("s.pak") <= 2, qPrintable(QString::number(mostFetches("s.pak"))));
    }

    // A host with a corrupt copy of one file. The file, mixed from both hosts, fails its MD5 and is
    // fetched whole once more from one host: the first. The good one first: the right bytes now.
    // The corrupt one first: it then served the whole file, is named and left out, and the next
    // run takes the file from the good host.
    void corruptMirror_data() { addBoolRows("corruptFirst", "good host first", "corrupt host first"); }
    void corruptMirror() {
        QFETCH(bool, corruptFirst);
        HttpServer *good = addServer();
        HttpServer *corrupt = addServer();
        QVERIFY(good && corrupt);
        publish(QStringLiteral("c.pak"), 10 * MiB + 3, 5, {good});
        // One wrong byte in each piece, whichever pieces it serves.
        QByteArray wrong = published.value("c.pak");
        for (int at : {int(MiB), int(5 * MiB), int(9 * MiB)})
            wrong[at] = char(wrong.at(at) ^ 1);
        corrupt->setFile("/cdn/v1_c.pak", wrong);
        CdnHosts hosts(corruptFirst ? QStringList{base(corrupt), base(good)}
                                    : QStringList{base(good), base(corrupt)});
        {
            XDManager m(dir->path());
            m.setHosts(&hosts);
            const Run run = runToEnd(m, {"c.pak"});
            QVERIFY2(mostFetches("c.pak") == 2, qPrintable(QString::number(mostFetches("c.pak"))));
            if (!corruptFirst) {
                QCOMPARE(run.results.value("c.pak", ErrorCode(-1)), NoError);
                QVERIFY(installed("c.pak"));
                QVERIFY(!hosts.isLeftOut(base(corrupt))); // never alone to blame
                return;
            }
            QCOMPARE(run.results.value("c.pak", ErrorCode(-1)), VerifyError);
            QVERIFY(!QFile::exists(dir->filePath("c.pak")));
            const QString why = run.reasons.value("c.pak");
            QVERIFY2(why.endsWith(QStringLiteral("(pieces from %1)").arg(CdnHosts::hostName(base(corrupt)))),
                     qPrintable(why));
            QVERIFY(hosts.isLeftOut(base(corrupt)));
        }
        const int fromCorrupt = corrupt->requestCount();
        XDManager again(dir->path());
        again.setHosts(&hosts);
        const Run run = runToEnd(again, {"c.pak"});
        QCOMPARE(run.results.value("c.pak", ErrorCode(-1)), NoError);
        QVERIFY(installed("c.pak"));
        QCOMPARE(corrupt->requestCount(), fromCorrupt);
    }

    // Every host down: the file fails with the code and reason it has with one host.
    void everyHostDown() {
        putTableEntry(QStringLiteral("d.pak"), QStringLiteral("1"), TestFiles::randomBytes(int(6 * MiB), 6));
        const QList<quint16> ports = HttpServer::freePorts(2);
        QCOMPARE(ports.size(), 2);
        const QString deadA = QStringLiteral("http://127.0.0.1:%1/cdn/").arg(ports.at(0));
        const QString deadB = QStringLiteral("http://127.0.0.1:%1/cdn/").arg(ports.at(1));
        const QRegularExpression shape(QStringLiteral("^piece [01] of v1_d.pak failed every attempt: .+$"));
        for (const QStringList &list : {QStringList{deadA}, QStringList{deadA, deadB}}) {
            CdnHosts hosts(list);
            XDManager m(dir->path());
            m.setHosts(&hosts);
            m.setRetryPolicy({10, 50, 300});
            const Run run = runToEnd(m, {"d.pak"});
            QCOMPARE(run.results.value("d.pak", ErrorCode(-1)), NetworkError);
            const QString why = run.reasons.value("d.pak");
            QVERIFY2(shape.match(why).hasMatch() && why.contains(QLatin1String("refused")), qPrintable(why));
            QCOMPARE(m.failureStatus("d.pak"), 0);
            QVERIFY(!QFile::exists(dir->filePath("d.pak")));
        }
    }

    // The block map of a patched file comes from the next host when the first sends a wrong one.
    void blockMapFromTheNextHost() {
        HttpServer *wrongMap = addServer();
        HttpServer *good = addServer();
        QVERIFY(wrongMap && good);
        const QByteArray oldBytes = TestFiles::randomBytes(int(3 * MiB), 7);
        QByteArray newBytes = oldBytes;
        newBytes.replace(int(MiB), 4000, TestFiles::randomBytes(4000, 8));
        QVERIFY(TestFiles::writeFile(dir->filePath("new"), newBytes));
        QByteArray map;
        QVERIFY(BlockMap::make(dir->filePath("new"), &map).ok());
        QFile::remove(dir->filePath("new"));
        QVERIFY(TestFiles::writeFile(dir->filePath("p.pak"), oldBytes));
        putTableEntry(QStringLiteral("p.pak"), QStringLiteral("1"), newBytes);
        VersionTable::instance()[QStringLiteral("p.pak")].mapDigest = BlockMap::digestHex(map);
        published.insert(QStringLiteral("p.pak"), newBytes);
        QByteArray badMap = map;
        badMap[badMap.size() - 1] = char(badMap.at(badMap.size() - 1) ^ 1);
        wrongMap->setFile("/cdn/v1_p.pak", newBytes);
        wrongMap->setFile("/cdn/v1_p.pak.blockmap", badMap);
        good->setFile("/cdn/v1_p.pak", newBytes);
        good->setFile("/cdn/v1_p.pak.blockmap", map);

        CdnHosts hosts({base(wrongMap), base(good)});
        XDManager m(dir->path());
        m.setHosts(&hosts);
        Run run;
        connect(&m, &XDManager::fileDownloadFinished, this,
                [&](ErrorCode code, const QString &name) { run.results.insert(name, code); });
        connect(&m, &XDManager::filePatched, this, [&] { ++run.patched; });
        QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
        m.addFile(QStringLiteral("v1_p.pak"), QStringLiteral("p.pak"),
                  {dir->filePath("p.pak"), QStringLiteral("v1_p.pak.blockmap"), BlockMap::digestHex(map),
                   newBytes.size()});
        m.start();
        QVERIFY(all.wait(30000));
        QCOMPARE(run.results.value("p.pak", ErrorCode(-1)), NoError);
        QCOMPARE(run.patched, 1);
        QVERIFY(installed("p.pak"));
        QCOMPARE(wrongMap->requestCount("/cdn/v1_p.pak.blockmap"), 1);
        QCOMPARE(good->requestCount("/cdn/v1_p.pak.blockmap"), 1);
        QVERIFY(hosts.isLeftOut(base(wrongMap)));
        // Only the changed block is fetched, from the good host.
        QCOMPARE(wrongMap->requestCount("/cdn/v1_p.pak"), 0);
    }
};

QTEST_GUILESS_MAIN(TestMirrors)
#include "tst_mirrors.moc"
