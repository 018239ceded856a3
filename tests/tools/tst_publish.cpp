// kv-publish as a real process: copies, the version file, and what it refuses.
#include "toolsupport.h"

#include "patch/blockmap.h"
#include "patch/blockmatcher.h"
#include "patch/zipindex.h"
#include "support/diskfaults.h"
#include "support/testkeys.h"
#include "support/zipwriter.h"
#include "trust/keyrevocation.h"
#include "trust/minisignsecretkey.h"
#include "trust/minisignsignature.h"
#include "trust/releaseverifier.h"
#include "trust/versiontable.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace ToolSupport;

namespace {

Run publish(const QStringList &args) {
    return run(tool(QStringLiteral("kv-publish")), args);
}

QStringList cdnFiles(const QString &cdn) {
    return QDir(cdn).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// The list's signatures named by its digest.
QStringList digestNamed(const QString &cdn, const QString &list) {
    const QString digest = ReleaseVerifier::listDigest(readFile(cdn + "/" + list));
    return QDir(cdn).entryList({list + "." + digest + ".*minisig"}, QDir::Files, QDir::Name);
}

// Names without the signatures named by a digest.
QStringList plain(const QStringList &names) {
    const QRegularExpression digestNamed(QStringLiteral("\\.[0-9a-f]{64}(\\.[0-9A-F]{16})?\\.minisig$"));
    QStringList kept;
    for (const QString &name : names) {
        if (!digestNamed.match(name).hasMatch())
            kept << name;
    }
    return kept;
}

// Every line names a file that is in place with the listed size and digest.
bool versionFileConsistent(const QString &cdn, const QByteArray &text, QString *why) {
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        RemoteFileInfo info;
        if (!VersionTable::parseLine(QString::fromUtf8(line), &info)) {
            *why = QStringLiteral("bad line ") + QString::fromUtf8(line);
            return false;
        }
        const QString path = cdn + QStringLiteral("/v%1_%2").arg(info.version, info.name);
        const QFileInfo fi(path);
        if (!fi.exists() || fi.size() != info.size) {
            *why = QStringLiteral("%1 missing or not %2 bytes").arg(path).arg(info.size);
            return false;
        }
    }
    return true;
}

} // namespace

class TestPublish : public QObject {
    Q_OBJECT

private slots:
    void publishesFilesAndVersionFile();
    void keepsEarlierEntriesAndFiles();
    void writesBlockMapsBesideLargeFiles();
    void writesEntryIndexesBesideArchives();
    void refusesUnsafeInputWithoutChangingAnything_data();
    void refusesUnsafeInputWithoutChangingAnything();
    void refusesFilesPastTheListedLimit();
    void republishingNeedsSameContentOrReplace();
    void failedCopyLeavesVersionFileAlone();
    void existingVersionFileIsReadBack();
    void readersNeverSeeAFileBeforeItIsInPlace();
    void signsForLaunchersAndMinisign();
    void validityPeriodAndRenewal();
    void signsWithSeveralKeysAndRevokes();
    void fullDiskKeepsTheOldReleaseUntilThereIsRoom();
    void interruptedRunIsCompletedByTheNextOne_data();
    void interruptedRunIsCompletedByTheNextOne();
    void showsProgressOnATerminalOnly();
    void preloadPublishesAComingReleaseBesideTheCurrentOne();
    void preloadWithoutAKeyAndWhatItRefuses();
};

void TestPublish::publishesFilesAndVersionFile() {
    QTemporaryDir tmp;
    const QByteArray game = patternBytes(3 * 1024 * 1024 + 17, 3);
    const QByteArray readme = "hello\n";
    QVERIFY(writeFile(tmp.filePath("rel/game.zip"), game));
    QVERIFY(writeFile(tmp.filePath("rel/read me.txt"), readme));
    QVERIFY(writeFile(tmp.filePath("rel/Kestrivane.exe"), "launcher"));
    QVERIFY(writeFile(tmp.filePath("rel/empty.bin"), ""));
    QVERIFY(writeFile(tmp.filePath("manifest"), "# release 1\r\nempty.bin=7\r\n\r\n"));

    const Run r = publish({"--cdn", tmp.filePath("cdn"), "--release", tmp.filePath("rel"), "game.zip=1",
                           "read me.txt=1.0", "Kestrivane.exe=0.12", "--manifest", tmp.filePath("manifest")});
    QVERIFY2(r.exitCode == 0, r.err.constData());

    QCOMPARE(readFile(tmp.filePath("cdn/v1_game.zip")), game);
    QCOMPARE(readFile(tmp.filePath("cdn/v1.0_read me.txt")), readme);
    QCOMPARE(readFile(tmp.filePath("cdn/v0.12_Kestrivane.exe")), QByteArray("launcher"));
    QCOMPARE(readFile(tmp.filePath("cdn/v7_empty.bin")), QByteArray());
    const QByteArray expected = "Kestrivane.exe:0.12:" + md5Hex("launcher").toLatin1() + ":8\n" +
                                "empty.bin:7:" + md5Hex(QByteArray()).toLatin1() + ":0\n" +
                                "game.zip:1:" + md5Hex(game).toLatin1() + ":" +
                                QByteArray::number(game.size()) + "\n" +
                                "read me.txt:1.0:" + md5Hex(readme).toLatin1() + ":6\n";
    QCOMPARE(readFile(tmp.filePath("cdn/version3.txt")), expected);
    // No temporary files left behind.
    QCOMPARE(cdnFiles(tmp.filePath("cdn")).size(), 5);
    QVERIFY(QFileInfo(tmp.filePath("cdn/v1_game.zip")).permissions() & QFileDevice::ReadOther);
}

void TestPublish::keepsEarlierEntriesAndFiles() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/a.zip", "first a"));
    QVERIFY(writeFile(rel + "/b.zip", "first b"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1", "b.zip=1"}).exitCode, 0);
    QVERIFY(writeFile(rel + "/a.zip", "second a"));
    const Run r = publish({"--cdn", cdn, "--release", rel, "a.zip=2", "--version-file", "version3.txt"});
    QVERIFY2(r.exitCode == 0, r.err.constData());

    QCOMPARE(readFile(cdn + "/v1_a.zip"), QByteArray("first a"));
    QCOMPARE(readFile(cdn + "/v2_a.zip"), QByteArray("second a"));
    QCOMPARE(readFile(cdn + "/version3.txt"), "a.zip:2:" + md5Hex("second a").toLatin1() +
                                                  ":8\nb.zip:1:" + md5Hex("first b").toLatin1() + ":7\n");
}

// Files of 4 MiB and more that are not archives get a block map of the published bytes beside them;
// its digest is the fifth field of their line and stays there while other files are published.
void TestPublish::writesBlockMapsBesideLargeFiles() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    const qint64 mib = 1024 * 1024;
    const QByteArray pak = patternBytes(5 * mib + 3, 4);
    QVERIFY(writeFile(rel + "/data.pak", pak));
    QVERIFY(writeFile(rel + "/game.zip", patternBytes(5 * mib, 5)));
    QVERIFY(writeFile(rel + "/small.pak", patternBytes(4 * mib - 1, 6)));
    Run r = publish({"--cdn", cdn, "--release", rel, "data.pak=1", "game.zip=1", "small.pak=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(cdnFiles(cdn), (QStringList{"v1_data.pak", "v1_data.pak.blockmap", "v1_game.zip", "v1_small.pak",
                                         "version3.txt"}));

    QMap<QString, RemoteFileInfo> table;
    QVERIFY(VersionTable::parseFile(readFile(cdn + "/version3.txt"), &table));
    const QByteArray map = readFile(cdn + "/v1_data.pak.blockmap");
    const QString digest = table.value("data.pak").mapDigest;
    QCOMPARE(digest, BlockMap::digestHex(map));
    QVERIFY(table.value("game.zip").mapDigest.isEmpty());
    QVERIFY(table.value("small.pak").mapDigest.isEmpty());
    BlockMap parsed;
    QVERIFY(BlockMap::parse(map, pak.size(), digest, &parsed).ok());
    BlockMatcher matcher(parsed);
    DeltaPlan plan;
    QVERIFY(matcher.match(cdn + "/v1_data.pak", &plan).ok());
    QCOMPARE(plan.reusedBytes, qint64(pak.size()));

    QVERIFY(writeFile(rel + "/game.zip", "second"));
    r = publish({"--cdn", cdn, "--release", rel, "game.zip=2"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    table.clear();
    QVERIFY(VersionTable::parseFile(readFile(cdn + "/version3.txt"), &table));
    QCOMPARE(table.value("data.pak").mapDigest, digest);
    QCOMPARE(readFile(cdn + "/v1_data.pak.blockmap"), map);
}

// A zip archive gets its entry index (whatever its size) and the index's digest as the fifth field; a
// file named like an archive that is none is published as before, with a warning.
void TestPublish::writesEntryIndexesBesideArchives() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    ZipEntry stored{"bin/Quelvane.exe", patternBytes(70000, 7)};
    stored.stored = true;
    const QByteArray zip = zipBytes(
        {ZipEntry{"data/", QByteArray()}, ZipEntry{"data/level.dat", patternBytes(90000, 8)}, stored});
    QVERIFY(writeFile(rel + "/game.zip", zip));
    QVERIFY(writeFile(rel + "/fake.zip", "not an archive"));
    const Run r = publish({"--cdn", cdn, "--release", rel, "game.zip=3", "fake.zip=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.err.contains("warning: no entry index for v1_fake.zip"), r.err.constData());
    QCOMPARE(cdnFiles(cdn),
             (QStringList{"v1_fake.zip", "v3_game.zip", "v3_game.zip.zipindex", "version3.txt"}));

    QMap<QString, RemoteFileInfo> table;
    QVERIFY(VersionTable::parseFile(readFile(cdn + "/version3.txt"), &table));
    QVERIFY(table.value("fake.zip").mapDigest.isEmpty());
    ZipIndex index;
    const Result<ZipIndex::Error> read = ZipIndex::parse(readFile(cdn + "/v3_game.zip.zipindex"), zip.size(),
                                                         table.value("game.zip").mapDigest, &index);
    QVERIFY2(read.ok(), qPrintable(read.reason()));
    QCOMPARE(index.entries().size(), 2);
    QCOMPARE(index.entries().at(0).name, QStringLiteral("data/level.dat"));
    QCOMPARE(index.entries().at(1).method, ZipIndex::Stored);
    QCOMPARE(index.unpackedSize(), qint64(160000));
}

void TestPublish::refusesUnsafeInputWithoutChangingAnything_data() {
    QTest::addColumn<QStringList>("args");
    const QList<QPair<const char *, QStringList>> cases = {
        {"parent", {"../a.zip=1"}},
        {"slash", {"sub/a.zip=1"}},
        {"backslash", {"a\\b.zip=1"}},
        {"colon", {"C:a.zip=1"}},
        {"dot", {".=1"}},
        {"dotdot", {"..=1"}},
        {"empty name", {"=1"}},
        {"line break", {"a.zip\nb.zip=1"}},
        {"version colon", {"a.zip=1:2"}},
        {"version slash", {"a.zip=../1"}},
        {"empty version", {"a.zip="}},
        {"no version", {"a.zip"}},
        {"missing file", {"a.zip=2", "missing.zip=1"}},
        {"twice", {"a.zip=2", "a.zip=3"}},
        {"directory", {"dir=1"}},
        {"unknown option", {"--frobnicate", "a.zip=2"}},
    };
    for (const auto &c : cases)
        QTest::newRow(c.first) << c.second;
}

void TestPublish::refusesUnsafeInputWithoutChangingAnything() {
    QFETCH(QStringList, args);
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/a.zip", "a"));
    QVERIFY(QDir().mkpath(rel + "/dir"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);
    const QByteArray before = readFile(cdn + "/version3.txt");

    const Run r = publish(QStringList{"--cdn", cdn, "--release", rel} + args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(!r.err.isEmpty());
    QCOMPARE(readFile(cdn + "/version3.txt"), before);
    QCOMPARE(cdnFiles(cdn), (QStringList{"v1_a.zip", "version3.txt"}));
}

void TestPublish::refusesFilesPastTheListedLimit() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/small.zip", "s"));
    {
        QFile big(rel + "/big.zip");
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(VersionTable::MaxListedFileSize + 1)); // sparse
    }
    const Run r = publish({"--cdn", cdn, "--release", rel, "small.zip=1", "big.zip=1"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("the launcher accepts"), r.err.constData());
    QVERIFY(cdnFiles(cdn).isEmpty());
}

void TestPublish::republishingNeedsSameContentOrReplace() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/a.zip", "one"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);
    // Same bytes again: fine, nothing changes.
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);

    // Different bytes under a published version would break clients that read the old digest.
    QVERIFY(writeFile(rel + "/a.zip", "two"));
    Run r = publish({"--cdn", cdn, "--release", rel, "a.zip=1"});
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(readFile(cdn + "/v1_a.zip"), QByteArray("one"));
    r = publish({"--cdn", cdn, "--release", rel, "--replace", "a.zip=1"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(cdn + "/v1_a.zip"), QByteArray("two"));
    QCOMPARE(readFile(cdn + "/version3.txt"), "a.zip:1:" + md5Hex("two").toLatin1() + ":3\n");
}

void TestPublish::failedCopyLeavesVersionFileAlone() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QVERIFY(writeFile(rel + "/b.zip", "b1"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);
    const QByteArray before = readFile(cdn + "/version3.txt");

    // A directory where b's copy has to go: the copy fails after a's went through.
    QVERIFY(QDir().mkpath(cdn + "/v2_b.zip/x"));
    const Run r = publish({"--cdn", cdn, "--release", rel, "--replace", "a.zip=2", "b.zip=2"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(readFile(cdn + "/version3.txt"), before);
    QString why;
    QVERIFY2(versionFileConsistent(cdn, before, &why), qPrintable(why));
}

void TestPublish::existingVersionFileIsReadBack() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/a.zip", "a"));
    // Windows line ends from a hand edit: read back and written plainly.
    QVERIFY(writeFile(cdn + "/version3.txt", "old.zip:3:0123456789abcdef0123456789abcdef:42\r\n"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);
    QCOMPARE(readFile(cdn + "/version3.txt"),
             "a.zip:1:" + md5Hex("a").toLatin1() + ":1\nold.zip:3:0123456789abcdef0123456789abcdef:42\n");

    // A line the launcher could not read is not silently dropped.
    const QByteArray broken = "a.zip:1:abc\n";
    QVERIFY(writeFile(cdn + "/version3.txt", broken));
    const Run r = publish({"--cdn", cdn, "--release", rel, "a.zip=1"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("line 1"), r.err.constData());
    QCOMPARE(readFile(cdn + "/version3.txt"), broken);
}

void TestPublish::readersNeverSeeAFileBeforeItIsInPlace() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    QVERIFY(writeFile(rel + "/small.zip", "small"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "small.zip=1"}).exitCode, 0);
    for (int i = 0; i < 4; ++i)
        QVERIFY(writeFile(rel + QStringLiteral("/big%1.zip").arg(i), patternBytes(24 * 1024 * 1024, i + 10)));

    QProcess p;
    p.start(tool("kv-publish"), {"--cdn", cdn, "--release", rel, "big0.zip=2", "big1.zip=2", "big2.zip=2",
                                 "big3.zip=2", "small.zip=2"});
    QVERIFY(p.waitForStarted(10000));
    int reads = 0;
    QElapsedTimer timer;
    timer.start();
    while (p.state() != QProcess::NotRunning && timer.elapsed() < 120000) {
        const QByteArray text = readFile(cdn + "/version3.txt");
        QVERIFY(!text.isEmpty());
        QVERIFY(text.endsWith('\n'));
        QString why;
        QVERIFY2(versionFileConsistent(cdn, text, &why), qPrintable(why));
        ++reads;
        p.waitForFinished(1);
    }
    if (p.state() != QProcess::NotRunning)
        QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(reads > 0);
    const QByteArray final = readFile(cdn + "/version3.txt");
    QCOMPARE(final.count('\n'), 5);
    QString why;
    QVERIFY2(versionFileConsistent(cdn, final, &why), qPrintable(why));
    QVERIFY(final.contains("small.zip:2:"));
}

void TestPublish::signsForLaunchersAndMinisign() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel"), key = tmp.filePath("release.key");
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
    const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
    auto signedTime = [&]() {
        const ReleaseVerifier::Result r =
            verifier.verify(readFile(cdn + "/version3.txt"), readFile(cdn + "/version3.txt.minisig"));
        return r.ok ? r.timestamp : -1;
    };

    // An unsigned CDN folder is signed from now on; the signature holds for launchers and for minisign.
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);
    Run r = publish({"--cdn", cdn, "--release", rel, "--sign-key", key, "a.zip=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const qint64 first = signedTime();
    QVERIFY(qAbs(first - QDateTime::currentSecsSinceEpoch()) < 600);
    const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (!minisign.isEmpty()) {
        const Run v = run(minisign, {"-V", "-H", "-P", TestKeys::ReleasePublic, "-m", cdn + "/version3.txt"});
        QVERIFY2(v.exitCode == 0, v.err.constData());
        QVERIFY(v.out.contains("timestamp:" + QByteArray::number(first)));
    }

    // Each release is later than the one before, even within the same second.
    QVERIFY(writeFile(rel + "/b.zip", "b1"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "--sign-key", key, "b.zip=1"}).exitCode, 0);
    QVERIFY(signedTime() > first);
    const QByteArray text = readFile(cdn + "/version3.txt");
    const QByteArray signature = readFile(cdn + "/version3.txt.minisig");

    // Refused with nothing changed: publishing unsigned over a signed folder, a key of someone else or a
    // password-protected key without its password, and signing entries changed on the CDN.
    QByteArray locked = QByteArray(TestKeys::ReleaseSecretFile);
    const int at = locked.indexOf('\n') + 1;
    locked.replace(at, 8, QByteArray("EdScB2").toBase64());
    QVERIFY(writeFile(tmp.filePath("locked.key"), locked));
    QVERIFY(writeFile(tmp.filePath("other.key"), TestKeys::OtherSecretFile));
    QVERIFY(writeFile(rel + "/c.zip", "c1"));
    const QList<QPair<QStringList, QByteArray>> refused{
        {{}, "is signed; publish with --sign-key"},
        {{"--sign-key", tmp.filePath("other.key")},
         "does not verify with the keys given (signed by another key"},
        {{"--sign-key", tmp.filePath("locked.key")}, "no password was given"},
        {{"--sign-key", tmp.filePath("missing.key")}, "cannot read the secret key"},
    };
    for (const auto &c : refused) {
        r = publish(QStringList{"--cdn", cdn, "--release", rel, "c.zip=1"} + c.first);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(c.second), r.err.constData());
    }
    QVERIFY(writeFile(cdn + "/version3.txt", text + "evil.exe:1:0123456789abcdef0123456789abcdef:1\n"));
    r = publish({"--cdn", cdn, "--release", rel, "--sign-key", key, "c.zip=1"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("does not match the version file"), r.err.constData());
    QCOMPARE(readFile(cdn + "/version3.txt.minisig"), signature);
    QVERIFY(!QFile::exists(cdn + "/v1_c.zip"));
}

// The validity period travels in the trusted comment after the release time; a renewal signs the
// same version file again, later and with a new period, and changes no other file. An expired
// release is accepted again once renewed.
void TestPublish::validityPeriodAndRenewal() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel"), key = tmp.filePath("release.key");
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
    const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
    const auto comment = [&]() {
        return MinisignSignature::parse(readFile(cdn + "/version3.txt.minisig")).trustedComment();
    };
    const auto check = [&](qint64 now) {
        return verifier.verify(readFile(cdn + "/version3.txt"), readFile(cdn + "/version3.txt.minisig"), -1,
                               QStringLiteral("version3.txt"), now);
    };
    const auto contents = [&]() {
        QMap<QString, QByteArray> files;
        for (const QString &name : cdnFiles(cdn))
            files.insert(name, readFile(cdn + "/" + name));
        return files;
    };

    Run r = publish({"--cdn", cdn, "--release", rel, "--sign-key", key, "--valid-for", "30", "a.zip=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const qint64 first = MinisignSignature::timestampOf(comment());
    QCOMPARE(comment(),
             "timestamp:" + QByteArray::number(first) + "\tvalid_days:30\tfile:version3.txt\thashed");
    QCOMPARE(check(first).expires, first + 30 * 86400);
    QVERIFY2(r.out.contains("valid for 30 days until " + QByteArray::number(first + 30 * 86400)), r.out);

    // Renewed twice: with a new period, then keeping it; nothing but the signature changes.
    QMap<QString, QByteArray> before = contents();
    r = publish({"--cdn", cdn, "--renew", "--sign-key", key, "--valid-for", "7"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const qint64 second = MinisignSignature::timestampOf(comment());
    QVERIFY(second > first);
    QVERIFY(comment().contains("\tvalid_days:7\t"));
    r = publish({"--cdn", cdn, "--renew", "--sign-key", key});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(MinisignSignature::timestampOf(comment()) > second);
    QVERIFY(comment().contains("\tvalid_days:7\t"));
    QMap<QString, QByteArray> after = contents();
    QVERIFY(after.take("version3.txt.minisig") != before.take("version3.txt.minisig"));
    const QString renewedCopy = digestNamed(cdn, "version3.txt").value(0);
    QVERIFY(after.take(renewedCopy) != before.take(renewedCopy));
    QCOMPARE(after, before);

    // A release signed long ago with a short period has expired; renewed, launchers take it again.
    const QByteArray text = readFile(cdn + "/version3.txt");
    QVERIFY(writeFile(cdn + "/version3.txt.minisig",
                      MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
                          .sign(text, "timestamp:1700000000\tvalid_days:1\tfile:version3.txt")
                          .toFile("old")));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QVERIFY(check(now).expired);
    r = publish({"--cdn", cdn, "--renew", "--sign-key", key, "--valid-for", "2"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const ReleaseVerifier::Result renewed = check(QDateTime::currentSecsSinceEpoch());
    QVERIFY2(renewed.ok, qPrintable(renewed.reason));
    QVERIFY(renewed.timestamp >= now);
    QCOMPARE(readFile(cdn + "/version3.txt"), text);

    // Refused with nothing changed: bad periods, a period without a key, files with --renew, a renewal
    // without a key or a release, and one over a version file changed on the CDN.
    before = contents();
    const QList<QPair<QStringList, QByteArray>> refused{
        {{"--release", rel, "--sign-key", key, "--valid-for", "0", "a.zip=1"}, "--valid-for takes"},
        {{"--release", rel, "--sign-key", key, "--valid-for", "3651", "a.zip=1"}, "--valid-for takes"},
        {{"--release", rel, "--valid-for", "3", "a.zip=1"}, "--valid-for needs --sign-key"},
        {{"--renew", "--sign-key", key, "a.zip=1"}, "publishes no files"},
        {{"--renew"}, "--renew needs"},
    };
    for (const auto &c : refused) {
        r = publish(QStringList{"--cdn", cdn} + c.first);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(c.second), r.err.constData());
    }
    r = publish({"--cdn", tmp.filePath("empty"), "--renew", "--sign-key", key});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("publish a release first"), r.err.constData());
    QCOMPARE(contents(), before);
    QVERIFY(writeFile(cdn + "/version3.txt", text + "evil.exe:1:0123456789abcdef0123456789abcdef:1\n"));
    r = publish({"--cdn", cdn, "--renew", "--sign-key", key});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("does not match the version file"), r.err.constData());
    QCOMPARE(readFile(cdn + "/version3.txt.minisig"), before.value("version3.txt.minisig"));
}

// The first key's signature keeps the name launchers in the field fetch, the second goes beside it
// under its key id; a folder signed by both is published on with the second alone; a revocation is
// signed by the key it revokes, which then signs nothing.
void TestPublish::signsWithSeveralKeysAndRevokes() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    const QString oldKey = tmp.filePath("old.key"), newKey = tmp.filePath("new.key"),
                  oldPub = tmp.filePath("old.pub");
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QVERIFY(writeFile(oldKey, TestKeys::ReleaseSecretFile));
    QVERIFY(writeFile(newKey, TestKeys::OtherSecretFile));
    QVERIFY(writeFile(oldPub, QByteArray("untrusted comment: old\n") + TestKeys::ReleasePublic + "\n"));
    const ReleaseVerifier oldOnly(QString::fromLatin1(TestKeys::ReleasePublic));
    const ReleaseVerifier newOnly(QString::fromLatin1(TestKeys::OtherPublic));
    const QString keyed = "version3.txt.AA8B1CAA9DA4BC18.minisig";
    const auto verifies = [&](const ReleaseVerifier &v, const QString &signature) {
        const ReleaseVerifier::Result r =
            v.verify(readFile(cdn + "/version3.txt"), readFile(cdn + "/" + signature), -1, "version3.txt");
        return r.ok;
    };

    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "--sign-key", oldKey, "a.zip=1"}).exitCode, 0);
    // The transition: both keys sign.
    QVERIFY(writeFile(rel + "/b.zip", "b1"));
    Run r = publish({"--cdn", cdn, "--release", rel, "--sign-key", oldKey, "--sign-key", newKey, "b.zip=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.out.contains("with keys 5F4CDA07E8AC0921, AA8B1CAA9DA4BC18"), r.out.constData());
    QVERIFY(verifies(oldOnly, "version3.txt.minisig"));
    QVERIFY(verifies(newOnly, keyed));
    QCOMPARE(MinisignSignature::parse(readFile(cdn + "/version3.txt.minisig")).timestamp(),
             MinisignSignature::parse(readFile(cdn + "/" + keyed)).timestamp());

    // The new key alone takes over the default name; its key-id copy is gone.
    QVERIFY(writeFile(rel + "/c.zip", "c1"));
    r = publish({"--cdn", cdn, "--release", rel, "--sign-key", newKey, "c.zip=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(verifies(newOnly, "version3.txt.minisig"));
    QVERIFY(!QFile::exists(cdn + "/" + keyed));

    // Revoking needs the revoked key's own secret key, and a key left to sign with.
    const QByteArray signature = readFile(cdn + "/version3.txt.minisig");
    r = publish({"--cdn", cdn, "--renew", "--sign-key", newKey, "--revoke-key", oldPub});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("must be signed by the key it revokes"), r.err.constData());
    r = publish({"--cdn", cdn, "--renew", "--sign-key", oldKey, "--revoke-key", oldPub});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("no key is left"), r.err.constData());
    QCOMPARE(readFile(cdn + "/version3.txt.minisig"), signature);
    QVERIFY(!QFile::exists(cdn + "/version3.txt.revoked"));

    r = publish(
        {"--cdn", cdn, "--renew", "--sign-key", oldKey, "--sign-key", newKey, "--revoke-key", oldPub});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.out.contains("revoked key 5F4CDA07E8AC0921"), r.out.constData());
    QVERIFY(verifies(newOnly, "version3.txt.minisig"));
    QString why;
    const QList<QByteArray> entries = KeyRevocation::entries(readFile(cdn + "/version3.txt.revoked"), &why);
    QCOMPARE(entries.size(), 1);
    const QList<MinisignPublicKey> trusted{MinisignPublicKey::parse(TestKeys::ReleasePublic),
                                           MinisignPublicKey::parse(TestKeys::OtherPublic)};
    QCOMPARE(KeyRevocation::revokedKey(entries.first(), trusted, &why), trusted.first().keyId());
    // Revoked again in a later run: still one entry.
    r = publish(
        {"--cdn", cdn, "--renew", "--sign-key", oldKey, "--sign-key", newKey, "--revoke-key", oldPub});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(KeyRevocation::entries(readFile(cdn + "/version3.txt.revoked"), &why).size(), 1);
}

void TestPublish::fullDiskKeepsTheOldReleaseUntilThereIsRoom() {
    if (!DiskFaults::unavailable().isEmpty())
        QSKIP(qPrintable(DiskFaults::unavailable()));
    QTemporaryDir tmp;
    const QString disk = tmp.filePath("disk"), cdn = disk + "/cdn", rel = tmp.filePath("rel");
    const QString key = tmp.filePath("release.key"), filler = disk + "/filler";
    QString why;
    QVERIFY2(DiskFaults::mountSmallDisk(disk, 2 << 20, &why), qPrintable(why));
    auto unmount = qScopeGuard([&] { DiskFaults::unmount(disk); });
    QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "--sign-key", key, "a.zip=1"}).exitCode, 0);
    const QByteArray text = readFile(cdn + "/version3.txt"),
                     signature = readFile(cdn + "/version3.txt.minisig");
    const QStringList before = cdnFiles(cdn);
    // 1 MiB and a tail that sits in the write buffer.
    const QByteArray b = patternBytes((1 << 20) + 100, 5);
    QVERIFY(writeFile(rel + "/b.zip", b));
    const QStringList args{"--cdn", cdn, "--release", rel, "--sign-key", key, "b.zip=2"};

    // Room for all of b.zip but its tail, then for b.zip but not its signature and version file.
    const qint64 page = QStorageInfo(disk).blockSize();
    for (const qint64 room : {qint64(1 << 20), (1 << 20) + page}) {
        QFile::remove(filler);
        QVERIFY(writeFile(filler, QByteArray(int(QStorageInfo(disk).bytesAvailable() - room), 'f')));
        QCOMPARE(QStorageInfo(disk).bytesAvailable(), room);
        const Run r = publish(args);
        QVERIFY2(r.exitCode == 1, r.out + r.err);
        QVERIFY2(r.err.contains("cannot write"), r.err.constData());
        QCOMPARE(readFile(cdn + "/version3.txt"), text);
        QCOMPARE(readFile(cdn + "/version3.txt.minisig"), signature);
        QCOMPARE(cdnFiles(cdn), before);
    }

    QVERIFY(QFile::remove(filler));
    const Run r = publish(args);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const ReleaseVerifier::Result check =
        ReleaseVerifier(QString::fromLatin1(TestKeys::ReleasePublic))
            .verify(readFile(cdn + "/version3.txt"), readFile(cdn + "/version3.txt.minisig"));
    QVERIFY2(check.ok, qPrintable(check.reason));
    QCOMPARE(readFile(cdn + "/v2_b.zip"), b);
    QVERIFY(readFile(cdn + "/version3.txt").contains("b.zip:2:" + md5Hex(b).toLatin1()));
}

void TestPublish::interruptedRunIsCompletedByTheNextOne_data() {
    QTest::addColumn<QString>("stopBefore");
    QTest::newRow("game file") << "v2_a.zip";
    QTest::newRow("signature") << "version3.txt.minisig";
    QTest::newRow("version file") << "version3.txt";
}

// A run stopped (as by a kill) before one of its files takes its name: what launchers read still lists
// only files in place, and the same command run again completes the release.
void TestPublish::interruptedRunIsCompletedByTheNextOne() {
    QFETCH(QString, stopBefore);
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel"), key = tmp.filePath("release.key");
    QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "--sign-key", key, "a.zip=1"}).exitCode, 0);
    const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
    const qint64 first =
        verifier.verify(readFile(cdn + "/version3.txt"), readFile(cdn + "/version3.txt.minisig")).timestamp;
    QVERIFY(writeFile(rel + "/a.zip", "a2"));
    QVERIFY(writeFile(rel + "/b.zip", "b1"));
    const QStringList args{"--cdn", cdn, "--release", rel, "--sign-key", key, "a.zip=2", "b.zip=1"};

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KV_PUBLISH_STOP_BEFORE", stopBefore);
    Run r = run(tool("kv-publish"), args, QString(), env);
    QVERIFY2(r.finished && r.exitCode != 0, r.out + r.err);
    QString why;
    QVERIFY2(versionFileConsistent(cdn, readFile(cdn + "/version3.txt"), &why), qPrintable(why));

    r = publish(args);
    QVERIFY2(r.exitCode == 0, r.out + r.err);
    const QByteArray text = readFile(cdn + "/version3.txt");
    const ReleaseVerifier::Result check = verifier.verify(text, readFile(cdn + "/version3.txt.minisig"));
    QVERIFY2(check.ok, qPrintable(check.reason));
    QVERIFY(check.timestamp > first);
    QCOMPARE(text, "a.zip:2:" + md5Hex("a2").toLatin1() + ":2\nb.zip:1:" + md5Hex("b1").toLatin1() + ":2\n");
    QCOMPARE(plain(cdnFiles(cdn)),
             (QStringList{"v1_a.zip", "v1_b.zip", "v2_a.zip", "version3.txt", "version3.txt.minisig"}));
    // The same signature under the list's digest; the one of the list before stays.
    QCOMPARE(readFile(cdn + "/" + digestNamed(cdn, "version3.txt").value(0)),
             readFile(cdn + "/version3.txt.minisig"));
    QCOMPARE(cdnFiles(cdn).size(), 7);
}

// On a terminal (here a pseudo-terminal that script(1) gives it) one line is rewritten with the files
// and bytes done; anywhere else only the result lines are written.
void TestPublish::showsProgressOnATerminalOnly() {
    const QString script = QStandardPaths::findExecutable("script");
    if (script.isEmpty())
        QSKIP("script(1) is not installed");
    QTemporaryDir tmp;
    QVERIFY(writeFile(tmp.filePath("rel/big.pak"), patternBytes(12 * 1024 * 1024, 4)));
    QVERIFY(writeFile(tmp.filePath("rel/small.txt"), "small"));
    const QStringList args = {"--release", tmp.filePath("rel"), "big.pak=1", "small.txt=1"};

    const Run quiet = publish(QStringList{"--cdn", tmp.filePath("cdn1")} + args);
    QVERIFY2(quiet.exitCode == 0, quiet.err.constData());
    QVERIFY2(quiet.err.isEmpty(), quiet.err.constData());
    QVERIFY(!quiet.out.contains('\r'));

    QString command = tool(QStringLiteral("kv-publish")) + " --cdn " + tmp.filePath("cdn2");
    for (const QString &a : args)
        command += " '" + a + "'";
    const Run shown = run(script, {"-qec", command, "/dev/null"});
    QVERIFY2(shown.exitCode == 0, shown.out.constData());
    QVERIFY2(shown.out.contains("\rkv-publish: 1/2 files, 12.58 MB of 12.58 MB"), shown.out.constData());
    QVERIFY2(shown.out.contains("\rkv-publish: 2/2 files"), shown.out.constData());
    // The line is cleared before the result lines.
    QVERIFY2(shown.out.contains("\rpublished big.pak 1 "), shown.out.constData());
    QCOMPARE(readFile(tmp.filePath("cdn2/version3.txt")), readFile(tmp.filePath("cdn1/version3.txt")));
}

// A coming release: its files and a signed list of what the release will be, with the version file and
// its signatures untouched; later the release itself, then the list withdrawn.
void TestPublish::preloadPublishesAComingReleaseBesideTheCurrentOne() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel");
    const QString key = tmp.filePath("release.key"), second = tmp.filePath("second.key");
    QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
    QVERIFY(writeFile(second, TestKeys::OtherSecretFile));
    const qint64 mib = 1024 * 1024;
    QVERIFY(writeFile(rel + "/game.zip", zipBytes({ZipEntry{"level.dat", patternBytes(9000, 1)}})));
    QVERIFY(writeFile(rel + "/data.pak", patternBytes(4 * mib, 2)));
    QVERIFY(writeFile(rel + "/notes.txt", "one"));
    const QStringList keys{"--sign-key", key, "--sign-key", second};
    Run r = publish(QStringList{"--cdn", cdn, "--release", rel} + keys +
                    QStringList{"game.zip=1", "data.pak=1", "notes.txt=1"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const auto contents = [&]() {
        QMap<QString, QByteArray> files;
        for (const QString &name : cdnFiles(cdn))
            files.insert(name, readFile(cdn + "/" + name));
        return files;
    };
    const auto without = [](QMap<QString, QByteArray> files, const QStringList &names) {
        for (const QString &name : names)
            files.remove(name);
        return files;
    };
    const QString keyed = "version3.txt.coming.AA8B1CAA9DA4BC18.minisig";
    const QStringList listFiles{"version3.txt.coming", "version3.txt.coming.minisig", keyed};
    const QStringList versionFiles{"version3.txt", "version3.txt.minisig",
                                   "version3.txt.AA8B1CAA9DA4BC18.minisig"};
    const QMap<QString, QByteArray> released = contents();
    QVERIFY(released.contains(versionFiles.last()));

    QVERIFY(writeFile(rel + "/game.zip", zipBytes({ZipEntry{"level.dat", patternBytes(9000, 3)}})));
    QVERIFY(writeFile(rel + "/data.pak", patternBytes(4 * mib, 4)));
    const QStringList args = QStringList{"--cdn", cdn, "--release", rel} + keys +
                             QStringList{"game.zip=2", "data.pak=2", "notes.txt=1"};
    r = publish(QStringList{"--preload"} + args);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QStringList comingCopies = digestNamed(cdn, "version3.txt.coming");
    QCOMPARE(comingCopies.size(), 2);
    const QStringList added =
        QStringList{"v2_data.pak", "v2_data.pak.blockmap", "v2_game.zip", "v2_game.zip.zipindex"} +
        listFiles + comingCopies;
    const QMap<QString, QByteArray> firstPreload = contents();
    for (const QString &name : added)
        QVERIFY2(firstPreload.contains(name), qPrintable(name));
    QCOMPARE(without(firstPreload, added), released);

    const QByteArray list = readFile(cdn + "/version3.txt.coming");
    QString why;
    QVERIFY2(versionFileConsistent(cdn, list, &why), qPrintable(why));
    const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
    const QByteArray signature = readFile(cdn + "/version3.txt.coming.minisig");
    const ReleaseVerifier::Result coming = verifier.verifyComing(list, signature, -1, "version3.txt.coming");
    QVERIFY2(coming.ok, qPrintable(coming.reason));
    QCOMPARE(MinisignSignature::parse(signature).trustedComment(),
             "preload:" + QByteArray::number(coming.timestamp) + "\tfile:version3.txt.coming");
    QVERIFY(ReleaseVerifier(QString::fromLatin1(TestKeys::OtherPublic))
                .verifyComing(list, readFile(cdn + "/" + keyed), -1, "version3.txt.coming")
                .ok);
    // Served in place of the version file, the list is no release; nor is the version file a coming list.
    QVERIFY(!verifier.verify(list, signature, -1, "version3.txt").ok);
    QVERIFY(!verifier.verify(list, signature).ok);
    QVERIFY(!verifier
                 .verifyComing(released.value("version3.txt"), released.value("version3.txt.minisig"), -1,
                               "version3.txt.coming")
                 .ok);

    // Again: a later list. One signed ahead of this machine's clock is still followed by a later one.
    r = publish(QStringList{"--preload"} + args);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(
        verifier.verifyComing(list, readFile(cdn + "/version3.txt.coming.minisig"), -1, "version3.txt.coming")
            .timestamp > coming.timestamp);
    const qint64 ahead = QDateTime::currentSecsSinceEpoch() + 100000;
    QVERIFY(writeFile(cdn + "/version3.txt.coming.minisig",
                      MinisignSecretKey::parse(TestKeys::ReleaseSecretFile)
                          .sign(list, "preload:" + QByteArray::number(ahead) + "\tfile:version3.txt.coming")
                          .toFile("ahead")));
    r = publish(QStringList{"--preload"} + args);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.out.contains("preload time " + QByteArray::number(ahead + 1)), r.out.constData());
    QCOMPARE(readFile(cdn + "/version3.txt.coming"), list);

    // Refused with nothing changed: a list naming nothing newer, and one over a list changed on the CDN.
    const QMap<QString, QByteArray> preloaded = contents();
    QVERIFY(writeFile(tmp.filePath("old/notes.txt"), "one"));
    r = publish(QStringList{"--preload", "--cdn", cdn, "--release", tmp.filePath("old")} + keys +
                QStringList{"notes.txt=1"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("must name something newer"), r.err.constData());
    QCOMPARE(contents(), preloaded);
    QVERIFY(
        writeFile(cdn + "/version3.txt.coming", list + "evil.exe:1:0123456789abcdef0123456789abcdef:1\n"));
    r = publish(QStringList{"--preload"} + args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("does not verify with the keys given"), r.err.constData());
    QVERIFY(writeFile(cdn + "/version3.txt.coming", list));
    QCOMPARE(contents(), preloaded);

    // The release: the files in place are kept; the version file is the list, which stays with its
    // signatures.
    r = publish(args);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    for (const QByteArray &line : r.out.split('\n')) {
        if (line.startsWith("published "))
            QVERIFY2(line.endsWith("(already in place)"), line.constData());
    }
    QCOMPARE(readFile(cdn + "/version3.txt"), list);
    const ReleaseVerifier::Result release =
        verifier.verify(list, readFile(cdn + "/version3.txt.minisig"), -1, "version3.txt");
    QVERIFY2(release.ok, qPrintable(release.reason));
    const QMap<QString, QByteArray> releasedAgain = contents();
    QCOMPARE(without(releasedAgain, versionFiles + digestNamed(cdn, "version3.txt")),
             without(preloaded, versionFiles));

    // Withdrawn: the list and its signatures go, the files stay; twice is fine.
    r = publish({"--cdn", cdn, "--withdraw-preload"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(contents(), without(releasedAgain, listFiles + comingCopies));
    r = publish({"--cdn", cdn, "--withdraw-preload"});
    QVERIFY2(r.exitCode == 0 && r.out.contains("nothing to withdraw"), r.out + r.err);
}

// Unsigned folders get an unsigned list; a signed list is not published over without a key; a run
// stopped before the list takes its name is completed by the next, or withdrawn.
void TestPublish::preloadWithoutAKeyAndWhatItRefuses() {
    QTemporaryDir tmp;
    const QString cdn = tmp.filePath("cdn"), rel = tmp.filePath("rel"), key = tmp.filePath("release.key");
    QVERIFY(writeFile(key, TestKeys::ReleaseSecretFile));
    QVERIFY(writeFile(rel + "/a.zip", "a1"));
    QCOMPARE(publish({"--cdn", cdn, "--release", rel, "a.zip=1"}).exitCode, 0);
    const QByteArray current = readFile(cdn + "/version3.txt");
    QVERIFY(writeFile(rel + "/a.zip", "a2"));
    Run r = publish({"--preload", "--cdn", cdn, "--release", rel, "a.zip=2"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(readFile(cdn + "/version3.txt.coming"), "a.zip:2:" + md5Hex("a2").toLatin1() + ":2\n");
    QCOMPARE(cdnFiles(cdn), (QStringList{"v1_a.zip", "v2_a.zip", "version3.txt", "version3.txt.coming"}));

    for (const QStringList &extra : {QStringList{"--renew"}, QStringList{"--revoke-key", key}}) {
        r = publish(QStringList{"--preload", "--cdn", cdn, "--release", rel, "--sign-key", key, "a.zip=2"} +
                    extra);
        QCOMPARE(r.exitCode, 2);
    }
    r = publish({"--cdn", cdn, "--withdraw-preload", "a.zip=2"});
    QCOMPARE(r.exitCode, 2);

    // Stopped before the list: its signature is in place, the next run completes it.
    QVERIFY(writeFile(rel + "/a.zip", "a3"));
    const QStringList signedArgs{"--preload", "--cdn", cdn, "--release", rel, "--sign-key", key, "a.zip=3"};
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KV_PUBLISH_STOP_BEFORE", "version3.txt.coming");
    r = run(tool("kv-publish"), signedArgs, QString(), env);
    QVERIFY2(r.finished && r.exitCode != 0, r.out + r.err);
    QVERIFY(QFile::exists(cdn + "/version3.txt.coming.minisig"));
    r = publish({"--preload", "--cdn", cdn, "--release", rel, "a.zip=3"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("version3.txt.coming is signed"), r.err.constData());
    r = publish(signedArgs);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.out.contains("put in place from an interrupted run"), r.out.constData());
    const QByteArray list = readFile(cdn + "/version3.txt.coming");
    QCOMPARE(list, "a.zip:3:" + md5Hex("a3").toLatin1() + ":2\n");
    const ReleaseVerifier verifier(QString::fromLatin1(TestKeys::ReleasePublic));
    QVERIFY(
        verifier.verifyComing(list, readFile(cdn + "/version3.txt.coming.minisig"), -1, "version3.txt.coming")
            .ok);

    // Stopped again, then withdrawn: nothing of the list is left, the version file is as it was.
    r = run(tool("kv-publish"), signedArgs, QString(), env);
    QVERIFY2(r.finished && r.exitCode != 0, r.out + r.err);
    r = publish({"--cdn", cdn, "--withdraw-preload"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(cdnFiles(cdn), (QStringList{"v1_a.zip", "v2_a.zip", "v3_a.zip", "version3.txt"}));
    QCOMPARE(readFile(cdn + "/version3.txt"), current);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
