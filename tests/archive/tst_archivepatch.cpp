// Updates of an unpacked archive from its new entry index: what is kept, copied and fetched, the
// small archive made of the fetched spans, and every way that archive or the plan can be wrong.
#include "archive/archivepatcher.h"
#include "archive/archivepatchplan.h"
#include "archive/entrypermissions.h"
#include "archive/extractedfiles.h"
#include "archive/unziparchive.h"
#include "archive/zipindexmaker.h"
#include "support/testdigest.h"
#include "support/testfiles.h"
#include "support/zipwriter.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sodium.h>

using namespace TestFiles;
using TestDigest::blake2b;

namespace {

using Action = ArchivePatchPlan::Action;

ZipEntry stored(const QByteArray &name, const QByteArray &data) {
    ZipEntry e{name, data};
    e.stored = true;
    return e;
}

QByteArray text(const char *words, int times) {
    return QByteArray(words).repeated(times);
}

// Every file below `dir` with its content: what a failed update must leave as it was.
QMap<QString, QByteArray> snapshot(const QString &dir) {
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readFile(path));
    }
    return files;
}

int entryNamed(const ZipIndex &index, const QString &name) {
    for (int i = 0; i < index.entries().size(); ++i) {
        if (index.entries().at(i).name == name)
            return i;
    }
    return -1;
}

// An index of entries at hand-picked places, for the plan's arithmetic.
ZipIndex madeIndex(qint64 archiveSize, const QVector<qint64> &spans) {
    ZipIndex index;
    qint64 at = 0;
    for (int i = 0; i < spans.size(); ++i) {
        ZipIndex::Entry e;
        e.name = QStringLiteral("f%1").arg(i);
        e.headerOffset = at;
        e.span = spans.at(i);
        e.size = 10;
        e.hash = blake2b(QByteArray::number(i));
        at += spans.at(i);
        index.append(e);
    }
    index.setArchive(archiveSize, at, archiveSize - at - 22);
    return index;
}

// The first version: what the player has installed.
QList<ZipEntry> firstVersion() {
    return {ZipEntry{"keep.txt", text("unchanged text ", 4000)},
            ZipEntry{"changed.txt", text("old words ", 3000)},
            stored("changed-stored.bin", randomBytes(40000, 1)),
            stored("stored.bin", randomBytes(50000, 2)),
            stored("old-name.dat", randomBytes(30000, 3)),
            ZipEntry{"swap-a.txt", text("first of a pair ", 2000)},
            ZipEntry{"swap-b.txt", text("second of a pair ", 2000)},
            ZipEntry{"x-also.txt", text("old words ", 3000)},
            ZipEntry{"dir/kept.txt", text("nested ", 1000)}};
}

// The next one: two entries changed (one deflated, one stored, adjacent), one renamed, two that
// swapped contents, one whose content a kept file and a replaced one both hold, one added.
QList<ZipEntry> secondVersion() {
    return {ZipEntry{"keep.txt", text("unchanged text ", 4000)},
            ZipEntry{"changed.txt", text("new words ", 3000)},
            stored("changed-stored.bin", randomBytes(40000, 4)),
            stored("stored.bin", randomBytes(50000, 2)),
            stored("new-name.dat", randomBytes(30000, 3)),
            ZipEntry{"swap-a.txt", text("second of a pair ", 2000)},
            ZipEntry{"swap-b.txt", text("first of a pair ", 2000)},
            ZipEntry{"wants-x.txt", text("old words ", 3000)},
            ZipEntry{"x-also.txt", text("old words ", 3000)},
            ZipEntry{"dir/kept.txt", text("nested ", 1000)},
            ZipEntry{"added/new.txt", text("brand new ", 500)}};
}

} // namespace

class TestArchivePatch : public QObject {
    Q_OBJECT

    QScopedPointer<QTemporaryDir> tmp;
    QString folder;

    QString path(const QString &name) const { return tmp->filePath(name); }

    // Writes an archive of `entries` and indexes it as the publisher does.
    bool publish(const QList<ZipEntry> &entries, const QString &name, QByteArray *bytes, ZipIndex *index) {
        const QString archive = path(name);
        if (!writeZip(archive, entries))
            return false;
        *bytes = readFile(archive);
        const Result<ZipIndex::Error> made = ZipIndexMaker::make(archive, index);
        if (!made.ok())
            qWarning() << made.reason();
        return made.ok();
    }

    // Unpacks an archive into the game folder as a first install does, and records it.
    bool install(const QList<ZipEntry> &entries, ExtractedFiles *record) {
        const QString archive = path(QStringLiteral("installed.zip"));
        std::vector<InstalledEntry> installed;
        if (!writeZip(archive, entries) || !extractArchive(archive, folder, nullptr, &installed).ok())
            return false;
        *record = ExtractedFiles::of(QStringLiteral("1"), QString(), installed, folder);
        return true;
    }

    // What the download side fetches for a plan: its spans of the new archive, one after another.
    QString fetch(const ArchivePatchPlan &plan, const QByteArray &archive) {
        QByteArray bytes;
        for (const ArchivePatchPlan::Span &s : plan.spans())
            bytes += archive.mid(int(s.offset), int(s.length));
        const QString fetched = path(QStringLiteral("game.zip.fetched"));
        return writeFile(fetched, bytes) ? fetched : QString();
    }

    // A first version installed and the plan for the second; the second's bytes and index.
    struct Update {
        QByteArray archive;
        ZipIndex index;
        ExtractedFiles record;
        ArchivePatchPlan plan;
        QString fetched;
    };
    bool prepare(Update *u, const std::function<void(ZipIndex *)> &changeIndex = {}) {
        if (!install(firstVersion(), &u->record) ||
            !publish(secondVersion(), "v2.zip", &u->archive, &u->index))
            return false;
        if (changeIndex)
            changeIndex(&u->index);
        const Result<ArchivePatchPlan::Error> decided = ArchivePatchPlan::decide(
            u->index, ZipIndex::digestHex(u->index.toBytes()), u->record, folder, {}, &u->plan);
        if (!decided.ok())
            return false;
        u->fetched = fetch(u->plan, u->archive);
        return !u->fetched.isEmpty();
    }

    static Action actionOf(const Update &u, const char *name) {
        return u.plan.action(entryNamed(u.index, QString::fromUtf8(name)));
    }

    void checkSecondVersionInstalled() {
        for (const ZipEntry &e : secondVersion())
            QVERIFY2(readFile(folder + '/' + e.name) == e.data, e.name.constData());
    }

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }
    void init() {
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        folder = path(QStringLiteral("game"));
        QVERIFY(QDir().mkpath(folder));
    }

    void updatesOnlyWhatChanged() {
        Update u;
        QVERIFY(prepare(&u));
        // A kept file is never written again: its time stays.
        const QString keptPath = folder + QStringLiteral("/keep.txt");
        const QDateTime past = QDateTime::fromMSecsSinceEpoch(1500000000000);
        {
            QFile kept(keptPath);
            QVERIFY(kept.open(QIODevice::ReadWrite) &&
                    kept.setFileTime(past, QFileDevice::FileModificationTime));
        }
        u.record = ExtractedFiles::of(
            "1", QString(),
            [&] {
                std::vector<InstalledEntry> files;
                for (const ExtractedFiles::File &f : u.record.files())
                    files.push_back({f.name, f.size, f.blake2b});
                return files;
            }(),
            folder);
        const QString digest = ZipIndex::digestHex(u.index.toBytes());
        QVERIFY(ArchivePatchPlan::decide(u.index, digest, u.record, folder, {}, &u.plan).ok());

        QCOMPARE(actionOf(u, "keep.txt"), Action::Keep);
        QCOMPARE(actionOf(u, "stored.bin"), Action::Keep);
        QCOMPARE(actionOf(u, "dir/kept.txt"), Action::Keep);
        QCOMPARE(actionOf(u, "x-also.txt"), Action::Keep);
        QCOMPARE(actionOf(u, "changed.txt"), Action::Fetch);
        QCOMPARE(actionOf(u, "changed-stored.bin"), Action::Fetch);
        QCOMPARE(actionOf(u, "added/new.txt"), Action::Fetch);
        QCOMPARE(actionOf(u, "new-name.dat"), Action::Copy);
        QCOMPARE(u.plan.copySource(entryNamed(u.index, "new-name.dat")), QStringLiteral("old-name.dat"));
        // Swapped: each the other's source, read before either is replaced.
        QCOMPARE(u.plan.copySource(entryNamed(u.index, "swap-a.txt")), QStringLiteral("swap-b.txt"));
        QCOMPARE(u.plan.copySource(entryNamed(u.index, "swap-b.txt")), QStringLiteral("swap-a.txt"));
        // "changed.txt" holds it too, but is being replaced.
        QCOMPARE(u.plan.copySource(entryNamed(u.index, "wants-x.txt")), QStringLiteral("x-also.txt"));
        QCOMPARE(u.plan.kept().entries, 4);
        QCOMPARE(u.plan.copied().entries, 4);
        QCOMPARE(u.plan.fetched().entries, 3);
        QCOMPARE(u.plan.fetched().bytes, qint64(30000 + 40000 + 5000));

        // The two adjacent changed entries are one span; the added one another.
        const ZipIndex::Entry &changed = u.index.entries().at(entryNamed(u.index, "changed.txt"));
        const ZipIndex::Entry &changedStored =
            u.index.entries().at(entryNamed(u.index, "changed-stored.bin"));
        const ZipIndex::Entry &added = u.index.entries().at(entryNamed(u.index, "added/new.txt"));
        QCOMPARE(u.plan.spans().size(), 2);
        QCOMPARE(u.plan.spans().at(0).offset, changed.headerOffset);
        QCOMPARE(u.plan.spans().at(0).length, changed.span + changedStored.span);
        QCOMPARE(u.plan.spans().at(1).offset, added.headerOffset);
        QCOMPARE(u.plan.fetchBytes(),
                 changed.span + changedStored.span + added.span + u.index.directorySize());
        QCOMPARE(u.plan.fetchedOffset(entryNamed(u.index, "changed-stored.bin")), changed.span);
        QCOMPARE(u.plan.fetchedOffset(entryNamed(u.index, "keep.txt")), qint64(-1));
        QVERIFY(u.plan.worthIt());

        u.fetched = fetch(u.plan, u.archive);
        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied =
            ArchivePatcher::apply(folder, u.index, u.plan, u.fetched, &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        checkSecondVersionInstalled();
        QCOMPARE(QFileInfo(keptPath).lastModified(), past);
        QVERIFY(QFileInfo::exists(folder + "/old-name.dat")); // files the archive no longer holds stay
        QCOMPARE(int(installed.size()), secondVersion().size());
        for (const ZipEntry &e : secondVersion()) {
            const auto found = std::find_if(installed.begin(), installed.end(),
                                            [&](const InstalledEntry &i) { return i.name == e.name; });
            QVERIFY2(found != installed.end(), e.name.constData());
            QCOMPARE(found->blake2b, blake2b(e.data));
            QCOMPARE(found->size, quint64(e.data.size()));
        }

        // The record of the update keeps everything next time; nothing to fetch means no archive.
        const ExtractedFiles next = ExtractedFiles::of("2", digest, installed, folder);
        ArchivePatchPlan again;
        QVERIFY(ArchivePatchPlan::decide(u.index, digest, next, folder, {}, &again).ok());
        QCOMPARE(again.kept().entries, u.index.entries().size());
        QVERIFY(again.spans().isEmpty());
        const auto before = snapshot(folder);
        QVERIFY(ArchivePatcher::apply(folder, u.index, again, path("missing.fetched"), &installed).ok());
        QCOMPARE(snapshot(folder), before);
        QCOMPARE(int(installed.size()), secondVersion().size());
    }

    // The record is believed while a file's size and time are the recorded ones, and no further.
    void hashesWhatTheRecordCannotVouchFor() {
        ExtractedFiles record;
        QVERIFY(install(firstVersion(), &record));
        QByteArray archive;
        ZipIndex index;
        QList<ZipEntry> next = firstVersion();
        next.append(ZipEntry{"renamed.txt", text("nested ", 1000)});
        QVERIFY(publish(next, "next.zip", &archive, &index));
        const QString digest = ZipIndex::digestHex(index.toBytes());

        // Same size, and the time put back (the record vouches for the old content) or another one,
        // set rather than waited for.
        const auto rewrite = [&](const QString &name, bool keepTime) {
            const QString file = folder + '/' + name;
            const QDateTime time = QFileInfo(file).lastModified().addMSecs(keepTime ? 0 : 2000);
            QByteArray data = readFile(file);
            data[100] = char(data[100] ^ 1);
            QFile f(file);
            return f.open(QIODevice::ReadWrite) && f.write(data) == data.size() && f.flush() &&
                   f.setFileTime(time, QFileDevice::FileModificationTime);
        };
        QVERIFY(rewrite("keep.txt", true));
        QVERIFY(rewrite("stored.bin", false));
        QVERIFY(QFile::remove(folder + "/swap-a.txt"));

        ArchivePatchPlan plan;
        QVERIFY(ArchivePatchPlan::decide(index, digest, record, folder, {}, &plan).ok());
        QCOMPARE(plan.action(entryNamed(index, "keep.txt")), Action::Keep);
        QCOMPARE(plan.action(entryNamed(index, "stored.bin")), Action::Fetch);
        QCOMPARE(plan.action(entryNamed(index, "swap-a.txt")), Action::Fetch);
        QCOMPARE(plan.action(entryNamed(index, "renamed.txt")), Action::Copy);
        QCOMPARE(plan.copySource(entryNamed(index, "renamed.txt")), QStringLiteral("dir/kept.txt"));

        // Found damaged: hashed whatever the record says.
        QVERIFY(ArchivePatchPlan::decide(index, digest, record, folder, {"keep.txt"}, &plan).ok());
        QCOMPARE(plan.action(entryNamed(index, "keep.txt")), Action::Fetch);

        // No record: every file the index names is hashed, and is a source of copies.
        QVERIFY(ArchivePatchPlan::decide(index, digest, ExtractedFiles(), folder, {}, &plan).ok());
        QCOMPARE(plan.action(entryNamed(index, "keep.txt")), Action::Fetch);
        QCOMPARE(plan.action(entryNamed(index, "changed.txt")), Action::Keep);
        QCOMPARE(plan.copySource(entryNamed(index, "renamed.txt")), QStringLiteral("dir/kept.txt"));
        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied =
            ArchivePatcher::apply(folder, index, plan, fetch(plan, archive), &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        for (const ZipEntry &e : next)
            QVERIFY2(readFile(folder + '/' + e.name) == e.data, e.name.constData());

        std::atomic<bool> cancel{true};
        QCOMPARE(ArchivePatchPlan::decide(index, digest, record, folder, {}, &plan, &cancel).code(),
                 ArchivePatchPlan::Error::Stopped);
    }

    // Two entries that install one file (which indexes never list, but a plan must not trust it):
    // both fetched, the later one wins.
    void fetchesEveryEntryOfASharedName() {
        ExtractedFiles record;
        QVERIFY(install({ZipEntry{"a.txt", "first"}}, &record));
        QByteArray archive;
        ZipIndex listed;
        QVERIFY(publish({ZipEntry{"a.txt", "first"}, ZipEntry{"./b.txt", "second"}}, "shared.zip", &archive,
                        &listed));
        archive.replace("./b.txt", "./a.txt");
        ZipIndex index;
        index.setArchive(listed.archiveSize(), listed.directoryOffset(), listed.directorySize());
        for (ZipIndex::Entry e : listed.entries()) {
            e.name.replace("./b.txt", "./a.txt");
            index.append(e);
        }
        ArchivePatchPlan plan;
        QVERIFY(
            ArchivePatchPlan::decide(index, ZipIndex::digestHex(index.toBytes()), record, folder, {}, &plan)
                .ok());
        QCOMPARE(plan.fetched().entries, 2);
        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied =
            ArchivePatcher::apply(folder, index, plan, fetch(plan, archive), &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        QCOMPARE(readFile(folder + "/a.txt"), QByteArray("second"));
        QCOMPARE(int(installed.size()), 1);
        QCOMPARE(installed.front().blake2b, blake2b("second"));
    }

    // Whatever is wrong with the fetched bytes or a copy's source, the installed files stay as they
    // were and no staged file is left.
    void refusesBytesThatAreNotTheIndexed_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("index digest") << "digest"
                                      << "entry changed.txt unpacks to other bytes than its index lists";
        QTest::newRow("another entry's header") << "header"
                                                << "begin with the header of";
        QTest::newRow("cut short") << "short"
                                   << "fewer than the";
        QTest::newRow("flipped data") << "data"
                                      << "fails its checksum";
        QTest::newRow("source changed") << "source"
                                        << "no longer holds the content of entry swap-b.txt";
    }
    void refusesBytesThatAreNotTheIndexed() {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        Update u;
        QVERIFY(prepare(&u, [&](ZipIndex *index) {
            if (fault != "digest")
                return;
            ZipIndex changed;
            changed.setArchive(index->archiveSize(), index->directoryOffset(), index->directorySize());
            for (ZipIndex::Entry e : index->entries()) {
                if (e.name == "changed.txt")
                    e.hash = blake2b("other bytes");
                changed.append(e);
            }
            *index = changed;
        }));
        QByteArray fetched = readFile(u.fetched);
        const qint64 at = u.plan.fetchedOffset(entryNamed(u.index, "changed-stored.bin"));
        if (fault == "header")
            fetched[int(at + ZipIndex::LocalHeaderSize)] = 'C';
        else if (fault == "short")
            fetched.chop(1);
        else if (fault == "data")
            fetched[int(at + ZipIndex::LocalHeaderSize + 100)] =
                char(fetched.at(int(at + ZipIndex::LocalHeaderSize + 100)) ^ 1);
        else if (fault == "source")
            QVERIFY(writeFile(folder + "/swap-a.txt", text("second of a pair ", 2000).replace(0, 1, "S")));
        QVERIFY(writeFile(u.fetched, fetched));

        const auto before = snapshot(folder);
        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied =
            ArchivePatcher::apply(folder, u.index, u.plan, u.fetched, &installed);
        QCOMPARE(applied.code(), ExtractError::Damaged);
        QVERIFY2(applied.reason().contains(reason), qPrintable(applied.reason()));
        QCOMPARE(snapshot(folder), before);
        QVERIFY(installed.empty());
    }

    // A run killed after it appended the directory (or while appending it) takes it up again.
    void appliesAgainAfterAKill() {
        Update u;
        QVERIFY(prepare(&u));
        QFile torn(u.fetched);
        QVERIFY(torn.open(QIODevice::Append) && torn.write(randomBytes(200000, 9)) == 200000);
        torn.close();
        std::vector<InstalledEntry> installed;
        Result<ExtractError> applied = ArchivePatcher::apply(folder, u.index, u.plan, u.fetched, &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        checkSecondVersionInstalled();
        QVERIFY(QFileInfo(u.fetched).size() > u.plan.fetchBytes());

        // The same plan over the first version again, with the directory already appended.
        ExtractedFiles record;
        QVERIFY(install(firstVersion(), &record));
        applied = ArchivePatcher::apply(folder, u.index, u.plan, u.fetched, &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        checkSecondVersionInstalled();

        // Killed while its files moved in, an extraction leaves files set aside and staged beside
        // them; kept files too have them then, and nothing else would ever remove them.
        QVERIFY(writeFile(folder + QStringLiteral("/keep.txt.kv-old"), "the version before"));
        QVERIFY(writeFile(folder + QStringLiteral("/dir/kept.txt.kv-new"), "half staged"));
        applied = ArchivePatcher::apply(folder, u.index, u.plan, u.fetched, &installed);
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        QVERIFY(!QFile::exists(folder + QStringLiteral("/keep.txt.kv-old")));
        QVERIFY(!QFile::exists(folder + QStringLiteral("/dir/kept.txt.kv-new")));
        checkSecondVersionInstalled();
    }

    // Killed after the extraction replaced a copy's source: the copy, staged or already in place,
    // is taken as it is; with neither, its content is nowhere and the plan fails.
    void finishesCopiesWhoseSourceWasReplaced_data() {
        QTest::addColumn<QString>("left");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("staged") << "moved.txt.kestrivane-copy" << true;
        QTest::newRow("in place") << "moved.txt" << true;
        QTest::newRow("nowhere") << QString() << false;
    }
    void finishesCopiesWhoseSourceWasReplaced() {
        QFETCH(QString, left);
        QFETCH(bool, succeeds);
        const QByteArray before = text("before ", 900);
        const QByteArray after = text("after ", 900);
        ExtractedFiles record;
        QVERIFY(install({ZipEntry{"source.txt", before}}, &record));
        QByteArray archive;
        ZipIndex index;
        QVERIFY(publish({ZipEntry{"source.txt", after}, ZipEntry{"moved.txt", before}}, "moved.zip", &archive,
                        &index));
        ArchivePatchPlan plan;
        QVERIFY(
            ArchivePatchPlan::decide(index, ZipIndex::digestHex(index.toBytes()), record, folder, {}, &plan)
                .ok());
        QCOMPARE(plan.copySource(1), QStringLiteral("source.txt"));
        QVERIFY(writeFile(folder + "/source.txt", after));
        if (!left.isEmpty())
            QVERIFY(writeFile(folder + '/' + left, before));

        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied =
            ArchivePatcher::apply(folder, index, plan, fetch(plan, archive), &installed);
        QCOMPARE(applied.ok(), succeeds);
        if (succeeds) {
            QCOMPARE(snapshot(folder),
                     (QMap<QString, QByteArray>{{"source.txt", after}, {"moved.txt", before}}));
            QCOMPARE(int(installed.size()), 2);
        } else {
            QCOMPARE(applied.code(), ExtractError::Damaged);
            QCOMPARE(snapshot(folder), (QMap<QString, QByteArray>{{"source.txt", after}}));
        }
    }

    // A plan is kept across restarts, or made elsewhere: a kept file changed before it is applied
    // fails the update with nothing touched (in a plan of the earlier form too, which noted no file),
    // and is kept once it holds its entry again. Patched entries take the archive's modes, or without
    // its directory those of the files they replace.
    void checksKeptFilesAgainAndKeepsModes() {
        const QList<ZipEntry> first{unixEntry("game.sh", text("run one ", 900), 0100755),
                                    unixEntry("data.txt", text("data one ", 900), 0100644),
                                    unixEntry("kept.txt", text("kept ", 900), 0100644)};
        QList<ZipEntry> second = first;
        second[0].data = text("run two ", 900);
        second[1].data = text("data two ", 900);
        QByteArray archive;
        ZipIndex index;
        QVERIFY(publish(second, "v2.zip", &archive, &index));
        const QString digest = ZipIndex::digestHex(index.toBytes());
        const QString kept = folder + "/kept.txt";
        const auto changeKept = [&](const QByteArray &data) {
            QFile f(kept);
            return writeFile(kept, data) && f.open(QIODevice::ReadWrite) &&
                   f.setFileTime(QDateTime::fromMSecsSinceEpoch(1500000000000),
                                 QFileDevice::FileModificationTime);
        };
        const auto mode = [&](const char *name) {
            return modeOfPermissions(QFile::permissions(folder + '/' + name));
        };
        for (const bool earlierForm : {false, true}) {
            ExtractedFiles record;
            QVERIFY(install(first, &record));
            QVERIFY(QFile::setPermissions(folder + "/data.txt", QFile::permissions(folder + "/game.sh")));
            ArchivePatchPlan plan;
            QVERIFY(ArchivePatchPlan::decide(index, digest, record, folder, {}, &plan).ok());
            QVERIFY(plan.kept().entries == 1 && plan.directoryBytes() == index.directorySize());
            if (earlierForm) {
                QList<QByteArray> lines = plan.toBytes().split('\n');
                lines[0] = "KVAP 1";
                lines.removeAt(3);
                for (QByteArray &line : lines)
                    line = line.startsWith("keep\t") ? "keep" : line;
                QVERIFY(ArchivePatchPlan::fromBytes(lines.join('\n'), index, digest, &plan).ok());
            }
            QVERIFY(changeKept(text("KEPT ", 900)));
            const auto before = snapshot(folder);
            std::vector<InstalledEntry> installed;
            Result<ExtractError> applied =
                ArchivePatcher::apply(folder, index, plan, fetch(plan, archive), &installed);
            QCOMPARE(applied.code(), ExtractError::Damaged);
            QVERIFY2(applied.reason().contains("kept file \"kept.txt\" in"), qPrintable(applied.reason()));
            QCOMPARE(snapshot(folder), before);

            QVERIFY(writeFile(kept, text("kept ", 900)));
            applied = ArchivePatcher::apply(folder, index, plan, fetch(plan, archive), &installed);
            QVERIFY2(applied.ok(), qPrintable(applied.reason()));
            for (const ZipEntry &e : second)
                QCOMPARE(readFile(folder + '/' + e.name), e.data);
#ifndef Q_OS_WIN // Windows files keep no Unix modes
            QCOMPARE(mode("game.sh"), 0755ul);
            QCOMPARE(mode("data.txt"), earlierForm ? 0755ul : 0644ul);
            QCOMPARE(mode("kept.txt"), 0644ul);
#else
            Q_UNUSED(mode)
#endif
            // Changed after the check: the record does not vouch for it by its time.
            QVERIFY(changeKept(text("KEPT ", 900)));
            const ExtractedFiles next = ExtractedFiles::of("2", digest, installed, folder);
            for (const ExtractedFiles::File &f : next.files())
                QVERIFY(f.modifiedMs == 0 || f.name != "kept.txt");
        }
    }

    // A first install from entries that launchers nearby sent, the rest fetched by range: a content
    // two entries share is sent once, copied for one and moved for the other; a sent file changed
    // since it arrived fails the install with nothing put in place.
    void installsFromEntriesThatPeersSent_data() {
        QTest::addColumn<bool>("tampered");
        QTest::newRow("sound") << false;
        QTest::newRow("tampered") << true;
    }
    void installsFromEntriesThatPeersSent() {
        QFETCH(bool, tampered);
        QByteArray archive;
        ZipIndex index;
        QVERIFY(publish(secondVersion(), "v2.zip", &archive, &index));
        const QString digest = ZipIndex::digestHex(index.toBytes());
        ArchivePatchPlan plan;
        QVERIFY(ArchivePatchPlan::decide(index, digest, ExtractedFiles(), folder, {}, &plan).ok());
        const QString peers = path(QStringLiteral("peers"));
        QVERIFY(QDir().mkpath(peers));
        QHash<QByteArray, qint64> sent; // as they arrived
        for (int i : plan.peerCandidates(index)) {
            const ZipIndex::Entry &e = index.entries().at(i);
            if (e.name == QLatin1String("added/new.txt"))
                continue; // no peer has it: fetched by range
            const QByteArray data = secondVersion().at(i).data;
            QVERIFY(writeFile(peers + '/' + e.hash.toHex(), data));
            sent.insert(e.hash, QFileInfo(peers + '/' + e.hash.toHex()).lastModified().toMSecsSinceEpoch());
        }
        QCOMPARE(sent.size(), secondVersion().size() - 2); // wants-x.txt and x-also.txt share one
        plan.takeFromPeers(index, sent);
        QCOMPARE(plan.fromPeers().entries, secondVersion().size() - 1);
        QCOMPARE(plan.fetched().entries, 1);
        ArchivePatchPlan read;
        QVERIFY(ArchivePatchPlan::fromBytes(plan.toBytes(), index, digest, &read).ok());
        QCOMPARE(read.toBytes(), plan.toBytes());
        QVERIFY(plan.toBytes().contains("\npeer\t"));
        if (tampered) {
            const QString changed =
                peers + '/' + index.entries().at(entryNamed(index, "stored.bin")).hash.toHex();
            QByteArray bytes = readFile(changed);
            bytes[10] = char(bytes[10] ^ 1);
            QVERIFY(writeFile(changed, bytes));
            QFile file(changed);
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(QFileInfo(changed).lastModified().addSecs(2),
                                     QFileDevice::FileModificationTime));
        }

        std::vector<InstalledEntry> installed;
        const Result<ExtractError> applied =
            ArchivePatcher::apply(folder, index, read, fetch(read, archive), &installed, nullptr, peers);
        if (tampered) {
            QCOMPARE(applied.code(), ExtractError::Damaged);
            QCOMPARE(snapshot(folder), (QMap<QString, QByteArray>()));
            return;
        }
        QVERIFY2(applied.ok(), qPrintable(applied.reason()));
        checkSecondVersionInstalled();
        QCOMPARE(int(installed.size()), secondVersion().size());
        QVERIFY(QDir(peers).entryList(QDir::Files).isEmpty()); // moved into place, not copied
    }

    void planTextRoundTripsAndIsCheckedAgainstItsIndex() {
        Update u;
        QVERIFY(prepare(&u));
        const QString digest = ZipIndex::digestHex(u.index.toBytes());
        const QByteArray bytes = u.plan.toBytes();
        ArchivePatchPlan read;
        QVERIFY(ArchivePatchPlan::fromBytes(bytes, u.index, digest, &read).ok());
        QCOMPARE(read.toBytes(), bytes);
        QCOMPARE(read.id(), u.plan.id());
        QCOMPARE(read.id().size(), 32);
        QCOMPARE(read.fetchBytes(), u.plan.fetchBytes());
        QCOMPARE(read.spans().size(), u.plan.spans().size());
        for (int i = 0; i < u.index.entries().size(); ++i)
            QCOMPARE(read.fetchedOffset(i), u.plan.fetchedOffset(i));
        const int copied = entryNamed(u.index, "new-name.dat");
        QCOMPARE(read.copySource(copied), QStringLiteral("old-name.dat"));

        const QList<QByteArray> lines = bytes.split('\n');
        const auto with = [&](int line, const QByteArray &replacement) {
            QList<QByteArray> l = lines;
            l[line] = replacement;
            return l.join('\n');
        };
        const int copyLine = 4 + copied;
        const QList<QByteArray> refused{
            bytes.left(bytes.size() - 1),
            bytes + "keep\n",
            bytes.left(bytes.lastIndexOf('\n', bytes.size() - 2) + 1),
            with(0, "KVAP 3"),
            with(1, "index " + QByteArray(64, '0')),
            with(2, "archive " + QByteArray::number(u.index.archiveSize() + 1)),
            with(3, "directory 0 1"),
            with(4, "take"),
            with(4, "keep "),
            with(4, "keep"),
            with(4, "peer"),
            with(4, "peer\t-1\t0"),
            with(copyLine, "copy\t../old-name.dat"),
            with(copyLine, "copy\t./old-name.dat"),
            with(copyLine, "copy\tnew-name.dat"),
            with(copyLine, "copy\t"),
            with(copyLine, "copy\tdir/"),
            QByteArray(int(ArchivePatchPlan::MaxPlanBytes) + 1, '\n'),
        };
        for (const QByteArray &text : refused) {
            ArchivePatchPlan out;
            const Result<ArchivePatchPlan::Error> r =
                ArchivePatchPlan::fromBytes(text, u.index, digest, &out);
            QVERIFY2(r.code() == ArchivePatchPlan::Error::Malformed, text.left(300).constData());
            QVERIFY(!r.reason().isEmpty());
        }
        ArchivePatchPlan out;
        QCOMPARE(ArchivePatchPlan::fromBytes(bytes, u.index, QString(64, 'a'), &out).code(),
                 ArchivePatchPlan::Error::Malformed);
    }

    // Fetching pays while the spans take at most half the archive.
    void worthItUpToHalfTheArchive() {
        const ZipIndex index = madeIndex(1000, {500, 100, 50});
        const QString digest(64, QLatin1Char('a'));
        ArchivePatchPlan plan;
        QVERIFY(ArchivePatchPlan::fromBytes("KVAP 1\nindex " + digest.toLatin1() +
                                                "\narchive 1000\nfetch\nkeep\nkeep\n",
                                            index, digest, &plan)
                    .ok());
        QCOMPARE(plan.fetchBytes(), qint64(500));
        QVERIFY(plan.worthIt());
        const ZipIndex odd = madeIndex(999, {500, 100, 50});
        QVERIFY(ArchivePatchPlan::fromBytes("KVAP 1\nindex " + digest.toLatin1() +
                                                "\narchive 999\nfetch\nkeep\nkeep\n",
                                            odd, digest, &plan)
                    .ok());
        QVERIFY(!plan.worthIt());
        // Adjacent fetched entries are one span; an entry between them kept splits it.
        QVERIFY(ArchivePatchPlan::fromBytes("KVAP 1\nindex " + digest.toLatin1() +
                                                "\narchive 1000\nfetch\nfetch\nkeep\n",
                                            index, digest, &plan)
                    .ok());
        QCOMPARE(plan.spans().size(), 1);
        QCOMPARE(plan.spans().at(0).length, qint64(600));
        QVERIFY(ArchivePatchPlan::fromBytes("KVAP 1\nindex " + digest.toLatin1() +
                                                "\narchive 1000\nfetch\nkeep\nfetch\n",
                                            index, digest, &plan)
                    .ok());
        QCOMPARE(plan.spans().size(), 2);
        QCOMPARE(plan.fetchedOffset(2), qint64(500));
        QVERIFY(!plan.worthIt());
    }
};

QTEST_GUILESS_MAIN(TestArchivePatch)
#include "tst_archivepatch.moc"
