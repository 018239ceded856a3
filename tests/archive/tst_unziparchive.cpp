#include "archive/extractedfiles.h"
#include "archive/unziparchive.h"
#include "platform/platform.h"
#include "support/diskfaults.h"
#include "support/logcapture.h"
#include "support/testdigest.h"
#include "support/testfiles.h"
#include "support/zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <sodium.h>

#if __has_include(<sys/resource.h>)
#include <csignal>
#include <sys/resource.h>
#define KV_HAVE_RLIMIT 1
#endif

using namespace TestFiles;
using TestDigest::blake2b;

namespace {

#ifdef KV_HAVE_RLIMIT
rlimit savedFileSizeLimit;
bool lowerFileSizeLimit(rlim_t bytes) {
    if (getrlimit(RLIMIT_FSIZE, &savedFileSizeLimit) != 0)
        return false;
    std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead of ending the process
    rlimit lower = savedFileSizeLimit;
    lower.rlim_cur = bytes;
    return setrlimit(RLIMIT_FSIZE, &lower) == 0;
}
void restoreFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &savedFileSizeLimit);
}
#else
bool lowerFileSizeLimit(qint64) {
    return false;
}
void restoreFileSizeLimit() {}
#endif

// Every path below dir, relative, sorted; folders end with "/".
QStringList tree(const QString &dir) {
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        QString relative = QDir(dir).relativeFilePath(it.filePath());
        if (it.fileInfo().isDir())
            relative += QLatin1Char('/');
        paths << relative;
    }
    paths.sort();
    return paths;
}

} // namespace

class TestUnzipArchive : public QObject {
    Q_OBJECT

private slots:
    void init();

    void extractsNestedFilesWithoutFolderEntries();
    void installedFilesAreRecordedWithTheirDigests();
    void checksEveryEntryAgainstExpectedDigests();
    void malformedRecordsAreRefused_data();
    void malformedRecordsAreRefused();
    void replacesExistingFileAndLeavesOthersAlone();
    void replacesWhatAKilledExtractionLeft();
    void extractsIntoLauncherDirectory();
    void readsLongEntryNamesWhole();
    void failsOnMissingArchive();
    void extractsEmptyArchive();
    void readsZip64Archives_data();
    void readsZip64Archives();
    void failedArchiveLeavesEveryFileAsItWas_data();
    void failedArchiveLeavesEveryFileAsItWas();
    void failsOnTruncatedArchive();
    void failsOnChecksumMismatch();
    void failsOnCorruptCompressedData();
    void acceptsDottedNames();
    void unpacksArchivesOfTheFolderItself_data();
    void unpacksArchivesOfTheFolderItself();
    void refusesEscapingNames_data();
    void refusesEscapingNames();
    void restoresUnixPermissions();
    void ignoresModesOfOtherHosts();
    void failsWhenTargetCannotBeOpened();
    void failsWhenTargetIsReadOnly();
    void failsWhenWriteFails();
    void checksRoomForEveryEntryBeforeWriting();
    void runsConcurrently();
    void extractsManySmallEntries();
    void stopsAfterFirstFailureAmongManyEntries();
    void reportsTheEarliestFaultWhenEntriesFailTogether();

private:
    QScopedPointer<QTemporaryDir> tmp;
    QString target;
    QString zipPath;
};

void TestUnzipArchive::init() {
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    target = tmp->filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    zipPath = tmp->filePath(QStringLiteral("archive.zip"));
}

void TestUnzipArchive::extractsNestedFilesWithoutFolderEntries() {
    // More than one block, incompressible, so block boundaries and offsets show.
    const QByteArray big = randomBytes(3 * 1024 * 1024 + 17, 7);
    const QByteArray text = QByteArray("line of text\n").repeated(50000);
    ZipEntry storedEntry{"x/y/z/stored.bin", randomBytes(300001, 9)};
    storedEntry.stored = true;
    QVERIFY(writeZip(zipPath, {{"a/b/c/big.bin", big},
                               {"a/text.txt", text},
                               {"top.txt", "top"},
                               storedEntry,
                               {"empty/dir/", {}},
                               {"a/b/empty.dat", {}}}));

    QVERIFY(unzipArchive(zipPath, target));

    QCOMPARE(tree(target),
             QStringList({"a/", "a/b/", "a/b/c/", "a/b/c/big.bin", "a/b/empty.dat", "a/text.txt", "empty/",
                          "empty/dir/", "top.txt", "x/", "x/y/", "x/y/z/", "x/y/z/stored.bin"}));
    QVERIFY(readFile(target + "/a/b/c/big.bin") == big);
    QVERIFY(readFile(target + "/a/text.txt") == text);
    QCOMPARE(readFile(target + "/top.txt"), QByteArray("top"));
    QVERIFY(readFile(target + "/x/y/z/stored.bin") == storedEntry.data);
    QCOMPARE(QFileInfo(target + "/a/b/empty.dat").size(), 0);
    QVERIFY(QFile::exists(zipPath)); // deleting the archive is the caller's business
}

void TestUnzipArchive::replacesExistingFileAndLeavesOthersAlone() {
    QVERIFY(writeFile(target + "/data/file.txt", QByteArray("old content that is longer than the new one")));
    QVERIFY(writeFile(target + "/data/other.txt", "other"));
    QVERIFY(writeFile(target + "/keep.txt", "keep"));
    QVERIFY(writeZip(zipPath, {{"data/file.txt", "new"}, {"data/", {}}}));

    QVERIFY(unzipArchive(zipPath, target));

    QCOMPARE(readFile(target + "/data/file.txt"), QByteArray("new"));
    QCOMPARE(readFile(target + "/data/other.txt"), QByteArray("other"));
    QCOMPARE(readFile(target + "/keep.txt"), QByteArray("keep"));
}

void TestUnzipArchive::replacesWhatAKilledExtractionLeft() {
    // Killed while replacing: a.txt between being set aside and its staged file taking its name,
    // b.txt after, before the old one was removed.
    QVERIFY(writeFile(target + "/data/a.txt.kv-old", "old a"));
    QVERIFY(writeFile(target + "/data/a.txt.kv-new", "new a"));
    QVERIFY(writeFile(target + "/data/b.txt", "new b"));
    QVERIFY(writeFile(target + "/data/b.txt.kv-old", "old b"));
    QVERIFY(writeZip(zipPath, {{"data/a.txt", "new a"}, {"data/b.txt", "new b"}}));

    QVERIFY(unzipArchive(zipPath, target));

    QCOMPARE(tree(target), QStringList({"data/", "data/a.txt", "data/b.txt"}));
    QCOMPARE(readFile(target + "/data/a.txt"), QByteArray("new a"));
}

void TestUnzipArchive::extractsIntoLauncherDirectory() {
    // A launcher folder named in several scripts, as below a player's own user folder.
    const QString home =
        tmp->filePath(QString::fromUtf8("Spieler \xc3\x96l\xc3\xa7\xc3\xbc \xe7\x8e\xa9\xe5\xae\xb6"));
    QVERIFY(QDir().mkpath(home));
    const QString archive = home + QString::fromUtf8("/\xe8\xb5\x84\xe6\xba\x90.zip");
    QVERIFY(writeZip(archive, {{"game/Quelvane.pak", "pak"}}));
    Platform::setLauncherDirOverride(home);
    const bool ok = unzipArchive(archive);
    Platform::setLauncherDirOverride(QString());
    QVERIFY(ok);
    QCOMPARE(readFile(home + "/game/Quelvane.pak"), QByteArray("pak"));
}

void TestUnzipArchive::readsLongEntryNamesWhole() {
    // 600 bytes in folders short enough for every file system; the last part is multi-byte UTF-8.
    QByteArray name;
    while (name.size() < 510)
        name += QByteArray(50, 'd') + '/';
    name += QString::fromUtf8("f\u00e9").repeated(14).toUtf8();
    while (name.size() < 600)
        name += 'x';
    QCOMPARE(name.size(), 600);
    QVERIFY(writeZip(zipPath, {{name, "deep"}}));

    QVERIFY(unzipArchive(zipPath, target));
    QCOMPARE(readFile(target + "/" + QString::fromUtf8(name)), QByteArray("deep"));
}

void TestUnzipArchive::failsOnMissingArchive() {
    const QString missing = tmp->filePath("missing.zip");
    QTest::ignoreMessage(QtDebugMsg, qPrintable("failed to open zip file: " + missing));
    QVERIFY(!unzipArchive(missing, target));
    QVERIFY(tree(target).isEmpty());
}

void TestUnzipArchive::extractsEmptyArchive() {
    // Nothing but the end record, which then sits at offset 0.
    QVERIFY(writeZip(zipPath, {}));
    QCOMPARE(QFileInfo(zipPath).size(), 22);
    QVERIFY(unzipArchive(zipPath, target));
    QVERIFY(tree(target).isEmpty());

    // Twenty-two bytes that only look like it still fail.
    QByteArray bytes = readFile(zipPath);
    bytes[10] = 1; // one entry, but no directory
    QVERIFY(writeFile(zipPath, bytes));
    QVERIFY(!unzipArchive(zipPath, target));
}

void TestUnzipArchive::readsZip64Archives_data() {
    QTest::addColumn<QString>("writer");
    QTest::newRow("python force_zip64") << "python";
    QTest::newRow("info-zip -fz") << "zip";
    QTest::newRow("info-zip -fz stored") << "zip0";
}

void TestUnzipArchive::readsZip64Archives() {
    // Sizes and offsets in the zip64 extra field (0xffffffff in the headers), small entries.
    QFETCH(QString, writer);
    const QString program = QStandardPaths::findExecutable(writer == "python" ? "python3" : "zip");
    if (program.isEmpty())
        QSKIP("python3 or Info-ZIP zip is not installed (Debian packages python3, zip)");
    const QList<QPair<QString, QByteArray>> files = {{"d/text.txt", QByteArray("zip64 text\n").repeated(500)},
                                                     {"d/e/random.bin", randomBytes(70001, 5)},
                                                     {"top.txt", "top"}};
    const QString source = tmp->filePath("source");
    for (const auto &file : files) {
        QVERIFY(writeFile(source + "/" + file.first, file.second));
    }
    QProcess process;
    process.setWorkingDirectory(source);
    if (writer == "python") {
        const char *script = "import sys, zipfile\n"
                             "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                             "    for name in sys.argv[2:]:\n"
                             "        with z.open(name, 'w', force_zip64=True) as f:\n"
                             "            f.write(open(name, 'rb').read())\n";
        QStringList args = {"-c", script, zipPath};
        for (const auto &file : files)
            args << file.first;
        process.start(program, args);
    } else {
        QStringList args = {"-q", "-r", "-fz"};
        if (writer == "zip0")
            args << "-0";
        process.start(program, args << zipPath << ".");
    }
    QVERIFY(process.waitForFinished(60000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());

    QVERIFY(unzipArchive(zipPath, target));
    for (const auto &file : files)
        QVERIFY2(readFile(target + "/" + file.first) == file.second, qPrintable(file.first));
}

void TestUnzipArchive::failedArchiveLeavesEveryFileAsItWas_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("checksum of the last entry") << "crc";
    QTest::newRow("encrypted entry") << "encrypted";
    QTest::newRow("an installed file cannot be set aside") << "replace";
}

void TestUnzipArchive::failedArchiveLeavesEveryFileAsItWas() {
    // Installed files that the archive replaces, one it adds in a new folder, and a fault late in
    // the archive: nothing of it may reach the installation.
    QFETCH(QString, fault);
    QVERIFY(writeFile(target + "/game.exe", "good game"));
    QVERIFY(writeFile(target + "/data/level.pak", "good level"));
    QList<ZipEntry> entries = {{"game.exe", randomBytes(300000, 21)},
                               {"data/level.pak", "new level"},
                               {"new/dir/added.txt", "added"}};
    ZipEntry last{"data/last.bin", QByteArray("0123456789abcdef").repeated(1000)};
    last.stored = true;
    if (fault == "encrypted")
        last.password = "secret";
    entries.append(last);
    QVERIFY(writeZip(zipPath, entries));
    if (fault == "crc") {
        QByteArray bytes = readFile(zipPath);
        bytes[bytes.indexOf(last.data) + 7000] = 'Z';
        QVERIFY(writeFile(zipPath, bytes));
    } else if (fault == "replace") {
        // A folder where the old file would be set aside: the move fails after game.exe was replaced.
        QVERIFY(QDir().mkpath(target + "/data/level.pak.kv-old/x"));
    }
    const QStringList before = tree(tmp->path());

    QVERIFY(!unzipArchive(zipPath, target));

    QCOMPARE(tree(tmp->path()), before);
    QCOMPARE(readFile(target + "/game.exe"), QByteArray("good game"));
    QCOMPARE(readFile(target + "/data/level.pak"), QByteArray("good level"));

    if (fault == "replace") { // once the way is free, the same archive goes in whole
        QVERIFY(QDir(target + "/data/level.pak.kv-old").removeRecursively());
        QVERIFY(unzipArchive(zipPath, target));
        QVERIFY(readFile(target + "/game.exe") == entries[0].data);
        QCOMPARE(readFile(target + "/new/dir/added.txt"), QByteArray("added"));
        QCOMPARE(tree(target), QStringList({"data/", "data/last.bin", "data/level.pak", "game.exe", "new/",
                                            "new/dir/", "new/dir/added.txt"}));
    }
}

void TestUnzipArchive::failsOnTruncatedArchive() {
    QVERIFY(writeZip(zipPath, {{"a.bin", randomBytes(100000, 1)}, {"b.bin", randomBytes(100000, 2)}}));
    QFile file(zipPath);
    QVERIFY(file.resize(file.size() / 2));
    QVERIFY(!unzipArchive(zipPath, target));
    QVERIFY(tree(target).isEmpty());
}

void TestUnzipArchive::failsOnChecksumMismatch() {
    ZipEntry entry{"payload.bin", QByteArray("0123456789abcdef").repeated(1000)};
    entry.stored = true;
    QVERIFY(writeZip(zipPath, {entry, {"after.txt", "after"}}));
    QByteArray bytes = readFile(zipPath);
    const int at = bytes.indexOf(entry.data);
    QVERIFY(at > 0);
    bytes[at + 5000] = 'Z'; // stored data: only the checksum can notice
    QVERIFY(writeFile(zipPath, bytes));

    QTest::ignoreMessage(QtDebugMsg, "crc error in zip file payload.bin");
    const Result<ExtractError> result = extractArchive(zipPath, target);
    QCOMPARE(int(result.code()), int(ExtractError::Damaged));
    QCOMPARE(result.reason(), zipPath + ": entry payload.bin fails its checksum");
    QVERIFY(!QFile::exists(target + "/after.txt")); // stops at the damaged entry
}

void TestUnzipArchive::failsOnCorruptCompressedData() {
    const QByteArray text = QByteArray("compressible text, compressible text\n").repeated(20000);
    QVERIFY(writeZip(zipPath, {{"text.txt", text}}));
    QByteArray bytes = readFile(zipPath);
    // Trash the middle of the deflate stream (local header is 30 bytes plus the name).
    const int start = 30 + 8;
    const int end = bytes.lastIndexOf("PK\x01\x02");
    QVERIFY(end > start + 200);
    for (int i = start + (end - start) / 3; i < start + (end - start) / 2; ++i)
        bytes[i] = char(bytes[i] ^ 0x5a);
    QVERIFY(writeFile(zipPath, bytes));

    // Damaged deflate data may stop early without an error: the short entry must still fail.
    QTest::ignoreMessage(
        QtDebugMsg,
        QRegularExpression("^(size mismatch in zip file|cannot read zip file|crc error in zip file)"));
    QVERIFY(!unzipArchive(zipPath, target));
}

void TestUnzipArchive::acceptsDottedNames() {
    QVERIFY(writeZip(zipPath, {{"v1.2/file..name.txt", "1"},
                               {"./top.txt", "2"},
                               {".hidden/.config", "3"},
                               {"a/./b.txt", "4"},
                               {"..x/y..z", "5"},
                               {"console/com10.txt", "6"}}));
    QVERIFY(unzipArchive(zipPath, target));
    QCOMPARE(readFile(target + "/v1.2/file..name.txt"), QByteArray("1"));
    QCOMPARE(readFile(target + "/top.txt"), QByteArray("2"));
    QCOMPARE(readFile(target + "/.hidden/.config"), QByteArray("3"));
    QCOMPARE(readFile(target + "/a/b.txt"), QByteArray("4"));
    QCOMPARE(readFile(target + "/..x/y..z"), QByteArray("5"));
    QCOMPARE(readFile(target + "/console/com10.txt"), QByteArray("6"));
}

void TestUnzipArchive::unpacksArchivesOfTheFolderItself_data() {
    QTest::addColumn<bool>("bsdtar");
    QTest::newRow("listed entries") << false;
    QTest::newRow("bsdtar") << true;
}

void TestUnzipArchive::unpacksArchivesOfTheFolderItself() {
    // "bsdtar -cf game.zip -C dir ." (also Windows' own tar.exe) lists the folder itself as "./" and
    // every other name below "./": the files install under their names without it.
    QFETCH(bool, bsdtar);
    QVERIFY(writeFile(target + "/game.exe", "old game"));
    if (bsdtar) {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("bsdtar"));
        if (program.isEmpty())
            QSKIP("bsdtar is not installed (package libarchive-tools)");
        const QString source = tmp->filePath(QStringLiteral("source"));
        QVERIFY(QDir().mkpath(source + "/sub"));
        QVERIFY(writeFile(source + "/game.exe", "new game"));
        QVERIFY(writeFile(source + "/sub/b.txt", "b"));
        QProcess tar;
        tar.start(program, {"--format", "zip", "-cf", zipPath, "-C", source, "."});
        QVERIFY2(tar.waitForFinished(30000), qPrintable(tar.errorString()));
        QCOMPARE(tar.exitCode(), 0);
    } else {
        // The same file under both spellings: the later entry wins, as for a name listed twice.
        QVERIFY(writeZip(zipPath, {{"./", ""},
                                   {".", ""},
                                   {"./game.exe", "new game"},
                                   {"./sub/", ""},
                                   {"sub/b.txt", "first b"},
                                   {"./sub/b.txt", "b"}}));
    }

    QVERIFY(unzipArchive(zipPath, target));
    QCOMPARE(tree(target), QStringList({"game.exe", "sub/", "sub/b.txt"}));
    QCOMPARE(readFile(target + "/game.exe"), QByteArray("new game"));
    QCOMPARE(readFile(target + "/sub/b.txt"), QByteArray("b"));
    // The launcher asks this to learn which archive brings the game.
    QVERIFY(archiveHasEntry(zipPath, QStringLiteral("GAME.exe")));
}

void TestUnzipArchive::refusesEscapingNames_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("parent") << QByteArray("../x");
    QTest::newRow("parent folder") << QByteArray("../x/");
    QTest::newRow("absolute") << QByteArray("/tmp/kestrivane-abs-") +
                                     QByteArray::number(QRandomGenerator::global()->generate());
    QTest::newRow("drive") << QByteArray("C:/x");
    QTest::newRow("drive relative") << QByteArray("C:x");
    QTest::newRow("backslash") << QByteArray("a\\b");
    QTest::newRow("backslash parent") << QByteArray("a\\..\\..\\b");
    QTest::newRow("inner parent") << QByteArray("a/../../x");
    QTest::newRow("deep parent") << QByteArray("a/b/../../../x");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("dot holding data") << QByteArray(".");
    QTest::newRow("dot then parent") << QByteArray("./../x");
    QTest::newRow("parent with space") << QByteArray("a/.. /../x");
    QTest::newRow("three dots") << QByteArray(".../x");
    // Device names: Windows would write to the device instead of a file in the folder.
    QTest::newRow("device") << QByteArray("sub/NUL");
    QTest::newRow("device with extension") << QByteArray("con.txt");
    QTest::newRow("device folder") << QByteArray("com1/x");
    QTest::newRow("device with space") << QByteArray("a/lpt9 .log");
    // Windows drops a trailing dot or space: the file would land under another name.
    QTest::newRow("trailing dot") << QByteArray("a/res.zip.");
    QTest::newRow("trailing space") << QByteArray("a/b ");
    // The launcher's own files in its folder, whatever the case.
    QTest::newRow("download configuration") << QByteArray("CONFIG.INI");
    QTest::newRow("settings file") << QByteArray("./settings.ini");
    QTest::newRow("update script") << QByteArray("update.vbs");
    QTest::newRow("update script as folder") << QByteArray("update.sh/x");
}

void TestUnzipArchive::refusesEscapingNames() {
    QFETCH(QByteArray, name);
    // A harmless entry first: the bad one must stop everything, and the failed archive writes nothing.
    QVERIFY(writeZip(zipPath, {{"inside/first.txt", "first"}, {name, "evil"}, {"inside/last.txt", "last"}}));
    const QStringList before = tree(tmp->path());

    QVERIFY(!unzipArchive(zipPath, target));

    QCOMPARE(tree(tmp->path()), before);
    if (name.startsWith('/'))
        QVERIFY(!QFile::exists(QString::fromUtf8(name)));
}

void TestUnzipArchive::restoresUnixPermissions() {
    QVERIFY(writeZip(zipPath, {unixEntry("bin/run.sh", "#!/bin/sh\necho extracted-ok \"$1\"\n", 0100755),
                               unixEntry("data/readonly.txt", "ro", 0100444),
                               unixEntry("data/private.txt", "p", 0100600)}));

    QVERIFY(unzipArchive(zipPath, target));

    QProcess process;
    process.start(target + "/bin/run.sh", {"arg"});
    QVERIFY2(process.waitForFinished(10000), qPrintable(process.errorString()));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), QByteArray("extracted-ok arg\n"));

    const QFileDevice::Permissions script = QFileInfo(target + "/bin/run.sh").permissions();
    QVERIFY(script.testFlag(QFileDevice::ExeGroup) && script.testFlag(QFileDevice::ExeOther));
    QVERIFY(!script.testFlag(QFileDevice::WriteOther));
    const QFileDevice::Permissions priv = QFileInfo(target + "/data/private.txt").permissions();
    QVERIFY(!priv.testFlag(QFileDevice::ReadOther) && !priv.testFlag(QFileDevice::ReadGroup));

    // A read-only entry stays replaceable by the next update.
    const QFileDevice::Permissions ro = QFileInfo(target + "/data/readonly.txt").permissions();
    QVERIFY(ro.testFlag(QFileDevice::WriteOwner));
    QVERIFY(ro.testFlag(QFileDevice::ReadOther));
    QVERIFY(unzipArchive(zipPath, target));
}

void TestUnzipArchive::ignoresModesOfOtherHosts() {
    ZipEntry dos{"tool.sh", "#!/bin/sh\n"};
    dos.versionMadeBy = 20; // made on DOS/Windows: the high bits are no mode
    dos.externalAttributes = 0100777u << 16;
    ZipEntry noMode = unixEntry("nomode.txt", "x", 0);
    // A symbolic link pointing outside: written as a plain file holding the link text.
    ZipEntry link = unixEntry("link", "/etc/passwd", 0120777);
    QVERIFY(writeZip(zipPath, {dos, noMode, link}));

    QVERIFY(unzipArchive(zipPath, target));
    QVERIFY(!QFileInfo(target + "/tool.sh").permissions().testFlag(QFileDevice::ExeOwner));
    QVERIFY(!QFileInfo(target + "/tool.sh").permissions().testFlag(QFileDevice::WriteOther));
    QVERIFY(QFileInfo(target + "/nomode.txt").isReadable());
    QVERIFY(!QFileInfo(target + "/link").isSymLink());
    QCOMPARE(readFile(target + "/link"), QByteArray("/etc/passwd"));
    QVERIFY(!QFileInfo(target + "/link").permissions().testFlag(QFileDevice::WriteOther));
}

void TestUnzipArchive::failsWhenTargetCannotBeOpened() {
    // A folder sits where the file should go: no user, root included, can open it for writing.
    QVERIFY(QDir().mkpath(target + "/data/file.bin"));
    QVERIFY(writeZip(zipPath, {{"data/file.bin", "x"}, {"later.txt", "later"}}));

    QTest::ignoreMessage(QtDebugMsg, qPrintable("cannot open target file " + target + "/data/file.bin"));
    QVERIFY(!unzipArchive(zipPath, target));
    QVERIFY(!QFile::exists(target + "/later.txt"));
}

void TestUnzipArchive::failsWhenTargetIsReadOnly() {
    const QString path = target + "/locked.txt";
    QVERIFY(writeFile(path, "locked"));
    QVERIFY(QFile::setPermissions(path,
                                  QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    {
        QFile probe(path);
        if (probe.open(QIODevice::WriteOnly | QIODevice::Append))
            QSKIP("running with rights that ignore file permissions");
    }
    QVERIFY(writeZip(zipPath, {{"locked.txt", "replaced"}}));

    QVERIFY(!unzipArchive(zipPath, target));
    QCOMPARE(readFile(path), QByteArray("locked"));
}

void TestUnzipArchive::failsWhenWriteFails() {
    QVERIFY(writeFile(target + "/big.bin", "old"));
    QVERIFY(writeZip(zipPath, {{"small.txt", "small"}, {"big.bin", randomBytes(100000, 3)}}));
    const QStringList before = tree(tmp->path());

    // A file size limit makes writes fail as a full disk would.
    if (!lowerFileSizeLimit(50000))
        QSKIP("no file size limit on this system");
    const Result<ExtractError> result = extractArchive(zipPath, target);
    restoreFileSizeLimit();
    QCOMPARE(int(result.code()), int(ExtractError::CannotWrite));
    QVERIFY2(result.reason().contains(target + "/big.bin"), qPrintable(result.reason()));
    QCOMPARE(tree(tmp->path()), before);
    QCOMPARE(readFile(target + "/big.bin"), QByteArray("old"));
}

void TestUnzipArchive::checksRoomForEveryEntryBeforeWriting() {
    if (!DiskFaults::unavailable().isEmpty())
        QSKIP(qPrintable(DiskFaults::unavailable()));
    QString why;
    QVERIFY2(DiskFaults::mountSmallDisk(target, 256 * 1024, &why), qPrintable(why));
    const auto unmount = qScopeGuard([this] { DiskFaults::unmount(target); });
    QVERIFY(writeFile(target + "/old.bin", "old"));
    const qint64 free = QStorageInfo(target).bytesAvailable();
    const qint64 block = QStorageInfo(target).blockSize();
    QVERIFY(free > 3 * block);

    // Each entry is staged whole beside the file it replaces, in whole blocks: one byte more than
    // the disk holds fails before anything is written.
    QVERIFY(writeZip(zipPath, {{"old.bin", randomBytes(int(block + 1), 1), true},
                               {"new/dir/", {}},
                               {"new/dir/more.bin", randomBytes(int(free - 2 * block + 1), 2), true}}));
    const QStringList before = tree(tmp->path());
    qint64 missing = -1;
    Result<ExtractError> result = extractArchive(zipPath, target, &missing);
    QCOMPARE(int(result.code()), int(ExtractError::NoRoom));
    QCOMPARE(missing, block);
    QVERIFY2(result.reason().contains(QString::number(block) + " more bytes are needed"),
             qPrintable(result.reason()));
    QCOMPARE(tree(tmp->path()), before);
    QCOMPARE(readFile(target + "/old.bin"), QByteArray("old"));

    // A refused entry is refused, whatever the room.
    QVERIFY(
        writeZip(zipPath, {{"old.bin", randomBytes(int(free), 3), true}, {"../escape.bin", "out", true}}));
    QCOMPARE(int(extractArchive(zipPath, target, &missing).code()), int(ExtractError::Refused));
    QCOMPARE(missing, qint64(0));
    QCOMPARE(tree(tmp->path()), before);

    // Exactly the room there is: unpacked.
    const QByteArray fits = randomBytes(int(free - block), 4);
    QVERIFY(
        writeZip(zipPath, {{"old.bin", fits, true}, {"new/small.bin", randomBytes(int(block), 5), true}}));
    result = extractArchive(zipPath, target, &missing);
    QVERIFY2(result.ok(), qPrintable(result.reason()));
    QCOMPARE(readFile(target + "/old.bin"), fits);
    QCOMPARE(tree(target), QStringList({"new/", "new/small.bin", "old.bin"}));
}

void TestUnzipArchive::runsConcurrently() {
    // Two extractions at once on the global pool: no shared state between them.
    const QString zipA = tmp->filePath("a.zip");
    const QString zipB = tmp->filePath("b.zip");
    const QByteArray dataA = randomBytes(2000000, 11);
    const QByteArray dataB = randomBytes(2000000, 12);
    QVERIFY(writeZip(zipA, {{"same/name.bin", dataA}}));
    QVERIFY(writeZip(zipB, {{"same/name.bin", dataB}}));
    const QString targetA = tmp->filePath("ta");
    const QString targetB = tmp->filePath("tb");
    QVERIFY(QDir().mkpath(targetA) && QDir().mkpath(targetB));

    QFuture<bool> a = QtConcurrent::run([=] { return unzipArchive(zipA, targetA); });
    QFuture<bool> b = QtConcurrent::run([=] { return unzipArchive(zipB, targetB); });
    QVERIFY(a.result());
    QVERIFY(b.result());
    QVERIFY(readFile(targetA + "/same/name.bin") == dataA);
    QVERIFY(readFile(targetB + "/same/name.bin") == dataB);
}

void TestUnzipArchive::extractsManySmallEntries() {
    // Far more entries than blocks in flight: folders, opens and closes queue up behind each other.
    QList<ZipEntry> entries;
    for (int i = 0; i < 600; ++i)
        entries.append(
            {QStringLiteral("f%1/e%2.txt").arg(i % 17).arg(i).toUtf8(), QByteArray::number(i * 7)});
    QVERIFY(writeZip(zipPath, entries));

    QVERIFY(unzipArchive(zipPath, target));
    for (int i = 0; i < 600; ++i)
        QCOMPARE(readFile(target + QStringLiteral("/f%1/e%2.txt").arg(i % 17).arg(i)),
                 QByteArray::number(i * 7));
    QCOMPARE(tree(target).size(), 600 + 17);
}

void TestUnzipArchive::stopsAfterFirstFailureAmongManyEntries() {
    QList<ZipEntry> entries;
    for (int i = 0; i < 800; ++i)
        entries.append({QStringLiteral("d%1/e%2.txt").arg(i % 5).arg(i).toUtf8(), "x"});
    QVERIFY(QDir().mkpath(target + "/d3/e3.txt")); // entry 3 cannot be written
    QVERIFY(writeZip(zipPath, entries));

    QVERIFY(!unzipArchive(zipPath, target));
    QCOMPARE(tree(target), QStringList({"d3/", "d3/e3.txt/"}));
}

void TestUnzipArchive::reportsTheEarliestFaultWhenEntriesFailTogether() {
    // Entries are inflated side by side: the small damaged entry 1 fails long before the large
    // entry 0 reaches its bad checksum. Entry 0's fault is still the one reported, as in a reading
    // in order, and no entry after the first fault is started (entry 6 is damaged too).
    QVERIFY(writeFile(target + "/c/e3.txt", "old"));
    ZipEntry big{"a/big.bin", QByteArray("0123456789abcdef").repeated(256 * 1024)};
    ZipEntry small{"b/small.bin", "a small stored entry with a damaged byte"};
    ZipEntry later{"c/e6.bin", "a later stored entry with a damaged byte"};
    big.stored = small.stored = later.stored = true;
    QList<ZipEntry> entries = {big, small};
    for (int i = 2; i < 40; ++i)
        entries.append(i == 6 ? later
                              : ZipEntry{QStringLiteral("c/d%1/e%2.txt").arg(i % 3).arg(i).toUtf8(), "x"});
    entries.append(ZipEntry{"c/e3.txt", "new"});
    QVERIFY(writeZip(zipPath, entries));
    QByteArray bytes = readFile(zipPath);
    bytes[bytes.indexOf(big.data) + big.data.size() - 10] = 'Z';
    for (const ZipEntry &damaged : {small, later})
        bytes[bytes.indexOf(damaged.data) + 3] = 'Z';
    QVERIFY(writeFile(zipPath, bytes));
    const QStringList before = tree(tmp->path());

    LogCapture::start();
    const Result<ExtractError> result = extractArchive(zipPath, target);
    LogCapture::stop();

    QCOMPARE(int(result.code()), int(ExtractError::Damaged));
    QCOMPARE(result.reason(), zipPath + ": entry a/big.bin fails its checksum");
    QCOMPARE(tree(tmp->path()), before);
    QCOMPARE(readFile(target + "/c/e3.txt"), QByteArray("old"));
    QVERIFY(LogCapture::lines().filter("c/e6.bin").isEmpty());
}

// Each installed file once (the later of two entries of one name wins), with the digest of what it
// holds; the record of them reads back the same and matches the files on the disk.
void TestUnzipArchive::installedFilesAreRecordedWithTheirDigests() {
    QVERIFY(sodium_init() >= 0);
    const QByteArray big = randomBytes(600000, 11);
    ZipEntry stored{"data/stored.bin", randomBytes(70000, 12)};
    stored.stored = true;
    QVERIFY(writeZip(zipPath, {{"data/big.bin", big},
                               {"./top.txt", "first"},
                               stored,
                               {"data/", {}},
                               {"empty.dat", {}},
                               {"top.txt", "second"}}));
    std::vector<InstalledEntry> installed;
    QVERIFY(extractArchive(zipPath, target, nullptr, &installed).ok());
    QMap<QString, QPair<quint64, QByteArray>> got;
    for (const InstalledEntry &e : installed) {
        QVERIFY2(!got.contains(e.name), qPrintable(e.name));
        got.insert(e.name, qMakePair(e.size, e.blake2b));
    }
    QCOMPARE(got.keys(), QStringList({"data/big.bin", "data/stored.bin", "empty.dat", "top.txt"}));
    QCOMPARE(got.value("data/big.bin"), qMakePair(quint64(big.size()), blake2b(big)));
    QCOMPARE(got.value("data/stored.bin").second, blake2b(stored.data));
    QCOMPARE(got.value("empty.dat").second, blake2b({}));
    QCOMPARE(got.value("top.txt"), qMakePair(quint64(6), blake2b("second")));

    const QString path = ExtractedFiles::recordPath(target, "game.zip");
    const QString index = QString(64, 'c');
    QVERIFY(ExtractedFiles::of("1.5", index, installed, target).save(path).ok());
    ExtractedFiles record;
    QVERIFY(ExtractedFiles::load(path, &record).ok());
    QCOMPARE(record.version(), QStringLiteral("1.5"));
    QCOMPARE(record.indexDigest(), index);
    QCOMPARE(record.files().size(), 4);
    for (const ExtractedFiles::File &f : record.files()) {
        QByteArray onDisk;
        QVERIFY(ExtractedFiles::digestOf(target + "/" + f.name, &onDisk).ok());
        QCOMPARE(onDisk, f.blake2b);
        QCOMPARE(f.size, got.value(f.name).first);
        QCOMPARE(f.modifiedMs, QFileInfo(target + "/" + f.name).lastModified().toMSecsSinceEpoch());
    }
    QCOMPARE(ExtractedFiles::load(target + "/none" + ExtractedFiles::Suffix, &record).code(),
             ExtractedFiles::Error::Missing);
}

// An archive assembled from fetched entries: each must unpack to its listed digest, and no entry
// may be there that the list does not name; either fault fails before anything is installed. An
// entry that a later one of its name shadows installs nothing and is not held to the list.
void TestUnzipArchive::checksEveryEntryAgainstExpectedDigests() {
    ZipEntry stored{"b.bin", "beta"};
    stored.stored = true;
    QVERIFY(writeZip(zipPath, {{"a.txt", "alpha"}, stored, {"./top.txt", "first"}, {"top.txt", "second"}}));
    QHash<QString, QByteArray> expected{
        {"a.txt", blake2b("alpha")}, {"b.bin", blake2b("beta")}, {"top.txt", blake2b("second")}};
    std::vector<InstalledEntry> installed;
    QVERIFY(extractArchive(zipPath, target, nullptr, &installed, &expected).ok());
    QCOMPARE(int(installed.size()), 3);
    QVERIFY(QDir(target).removeRecursively() && QDir().mkpath(target));

    expected["b.bin"] = blake2b("other");
    Result<ExtractError> r = extractArchive(zipPath, target, nullptr, nullptr, &expected);
    QCOMPARE(r.code(), ExtractError::Damaged);
    QVERIFY2(r.reason().contains("entry b.bin unpacks to other bytes than its index lists"),
             qPrintable(r.reason()));
    QVERIFY(tree(target).isEmpty());
    expected.remove("b.bin");
    r = extractArchive(zipPath, target, nullptr, nullptr, &expected);
    QCOMPARE(r.code(), ExtractError::Damaged);
    QVERIFY2(r.reason().contains("\"b.bin\" is not one its index lists"), qPrintable(r.reason()));
    QVERIFY(tree(target).isEmpty());
}

void TestUnzipArchive::malformedRecordsAreRefused_data() {
    QTest::addColumn<QByteArray>("text");
    const QByteArray head = "KVEF 1\nversion 2\nindex -\n";
    const QByteArray hash = QByteArray(64, 'a');
    QTest::newRow("sound") << head + hash + "\t5\t1700000000000\tdata/a.bin\n";
    QTest::newRow("no header") << QByteArray("version 2\n");
    QTest::newRow("cut short") << head + hash + "\t5\t1\ta";
    QTest::newRow("short digest") << head + hash.left(62) + "\t5\t1\ta\n";
    QTest::newRow("negative size") << head + hash + "\t-5\t1\ta\n";
    QTest::newRow("size overflows") << head + hash + "\t99999999999999999999\t1\ta\n";
    QTest::newRow("parent folder") << head + hash + "\t5\t1\t../evil\n";
    QTest::newRow("absolute") << head + hash + "\t5\t1\t/etc/passwd\n";
    QTest::newRow("folder") << head + hash + "\t5\t1\tdata/\n";
    QTest::newRow("not normalized") << head + hash + "\t5\t1\t./a\n";
    QTest::newRow("launcher's own file") << head + hash + "\t5\t1\tconfig.ini\n";
    QTest::newRow("empty version") << "KVEF 1\nversion \nindex -\n" + hash + "\t5\t1\ta\n";
    QTest::newRow("no index line") << "KVEF 1\nversion 2\n" + hash + "\t5\t1\ta\n";
    QTest::newRow("index not a digest") << "KVEF 1\nversion 2\nindex " + QByteArray(63, 'a') + "\n";
}

void TestUnzipArchive::malformedRecordsAreRefused() {
    QFETCH(QByteArray, text);
    const QString path = ExtractedFiles::recordPath(target, "game.zip");
    QVERIFY(writeFile(path, text));
    ExtractedFiles record;
    const bool sound = QByteArray(QTest::currentDataTag()) == "sound";
    QCOMPARE(ExtractedFiles::load(path, &record).ok(), sound);
    if (sound)
        QCOMPARE(record.files().value(0).name, QStringLiteral("data/a.bin"));
}

QTEST_GUILESS_MAIN(TestUnzipArchive)
#include "tst_unziparchive.moc"
