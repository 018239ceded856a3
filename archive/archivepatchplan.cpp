#include "archive/archivepatchplan.h"

#include "platform/filenamerules.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QHash>
#include <QList>

#include <algorithm>

namespace {

const QByteArray FirstMagic("KVAP 1");
const QByteArray Magic("KVAP 2");
const QByteArray IndexWord("index ");
const QByteArray ArchiveWord("archive ");
const QByteArray DirectoryWord("directory ");
const QByteArray NoDirectory("-");
const QByteArray KeepLine("keep");
const QByteArray KeepWord("keep\t");
const QByteArray FetchLine("fetch");
const QByteArray CopyWord("copy\t");
const QByteArray PeerWord("peer\t");

Result<ArchivePatchPlan::Error> malformed(const QString &why) {
    qWarning().noquote() << "refusing archive patch plan:" << why;
    return {ArchivePatchPlan::Error::Malformed, QStringLiteral("archive patch plan: %1").arg(why)};
}

Result<ArchivePatchPlan::Error> stopped() {
    qWarning().noquote() << "archive patch plan stopped";
    return {ArchivePatchPlan::Error::Stopped, QStringLiteral("deciding the archive patch was stopped")};
}

bool isIndexDigest(const QByteArray &d) {
    return d.size() == 64 && std::all_of(d.begin(), d.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// A name a record or an index could have installed: safe, already normalized, no folder.
bool isInstalledName(const QString &name) {
    return FileNameRules::isSafeEntryName(name) && !name.endsWith(QLatin1Char('/')) &&
           FileNameRules::normalizedEntryName(name) == name;
}

// Installed names that two entries of the index share, compared as Windows compares them: such
// entries are all fetched, so the extraction alone decides which one the file ends up with.
QSet<QString> sharedNames(const ZipIndex &index) {
    QHash<QString, int> seen;
    QSet<QString> shared;
    for (const ZipIndex::Entry &e : index.entries()) {
        const QString key = FileNameRules::normalizedEntryName(e.name).toLower();
        if (++seen[key] > 1)
            shared.insert(key);
    }
    return shared;
}

// A decimal number as this code writes it, nothing else.
bool number(const QByteArray &text, qint64 *out) {
    bool ok = false;
    *out = text.toLongLong(&ok);
    return ok && QByteArray::number(*out) == text;
}

// What the installed files hold, each looked at once: the record's digest while the file's size
// and time are the recorded ones, else the digest of its bytes.
class Contents {
public:
    Contents(const ExtractedFiles &record, const QString &folder, const QSet<QString> &distrusted)
        : folder(folder)
        , distrusted(distrusted) {
        for (const ExtractedFiles::File &f : record.files()) {
            recorded.insert(f.name, f);
            recordedByDigest.insert(f.blake2b, f.name);
        }
    }

    // Empty when the file is missing or cannot be read.
    QByteArray digestOf(const QString &name) {
        const auto known = digests.constFind(name);
        if (known != digests.constEnd())
            return *known;
        const QString path = QStringLiteral("%1/%2").arg(folder, name);
        const QFileInfo info(path);
        QByteArray digest;
        if (info.isFile()) {
            // Noted before hashing: a file written meanwhile has another time by the end.
            seenFiles.insert(name, {info.size(), info.lastModified().toMSecsSinceEpoch()});
            const auto r = recorded.constFind(name);
            if (r != recorded.constEnd() && !distrusted.contains(name) && quint64(info.size()) == r->size &&
                info.lastModified().toMSecsSinceEpoch() == r->modifiedMs) {
                digest = r->blake2b;
            } else {
                const Result<FileDigest::Error> read = ExtractedFiles::digestOf(path, &digest);
                if (!read.ok()) {
                    qWarning().noquote() << "cannot hash installed file" << path << read.reason();
                    digest.clear();
                }
            }
        }
        digests.insert(name, digest);
        if (!digest.isEmpty())
            byDigest.insert(digest, name);
        return digest;
    }

    // Installed names the record lists with this digest (whether they still hold it is asked apart).
    QStringList recordedWith(const QByteArray &digest) const { return recordedByDigest.values(digest); }
    bool hasRecord() const { return !recorded.isEmpty(); }
    // The files known by now to hold this digest.
    QStringList holding(const QByteArray &digest) const { return byDigest.values(digest); }
    ArchivePatchPlan::Seen seen(const QString &name) const { return seenFiles.value(name); }

private:
    const QString folder;
    const QSet<QString> &distrusted;
    QHash<QString, ExtractedFiles::File> recorded;
    QMultiHash<QByteArray, QString> recordedByDigest;
    QHash<QString, QByteArray> digests;
    QHash<QString, ArchivePatchPlan::Seen> seenFiles;
    QMultiHash<QByteArray, QString> byDigest;
};

} // namespace

Result<ArchivePatchPlan::Error> ArchivePatchPlan::decide(const ZipIndex &index, const QString &indexDigest,
                                                         const ExtractedFiles &record, const QString &folder,
                                                         const QSet<QString> &distrusted,
                                                         ArchivePatchPlan *out,
                                                         const std::atomic<bool> *cancel) {
    const auto cancelled = [cancel] { return cancel && cancel->load(); };
    const QVector<ZipIndex::Entry> &entries = index.entries();
    const QSet<QString> shared = sharedNames(index);
    Contents contents(record, folder, distrusted);

    ArchivePatchPlan plan;
    plan.digest = indexDigest;
    plan.archiveBytes = index.archiveSize();
    plan.actions.fill(Action::Fetch, entries.size());
    plan.sources.fill(QString(), entries.size());
    plan.seenFiles.fill(Seen(), entries.size());
    QVector<QString> names(entries.size());
    // Keeps first: they tell which installed files stay as they are, the best sources of copies.
    for (int i = 0; i < entries.size(); ++i) {
        if (cancelled())
            return stopped();
        names[i] = FileNameRules::normalizedEntryName(entries.at(i).name);
        if (shared.contains(names[i].toLower()))
            continue;
        if (contents.digestOf(names[i]) == entries.at(i).hash) {
            plan.actions[i] = Action::Keep;
            plan.seenFiles[i] = contents.seen(names[i]);
        }
    }
    QSet<QString> replaced; // lower case, as the disk may compare them
    for (int i = 0; i < entries.size(); ++i) {
        if (plan.actions.at(i) != Action::Keep)
            replaced.insert(names.at(i).toLower());
    }

    for (int i = 0; i < entries.size(); ++i) {
        if (plan.actions.at(i) == Action::Keep || shared.contains(names.at(i).toLower()))
            continue;
        const QByteArray &wanted = entries.at(i).hash;
        // With a record, only its files that it lists with this content are looked at; without, the
        // files the index names, all hashed by now.
        if (contents.hasRecord()) {
            for (const QString &name : contents.recordedWith(wanted)) {
                if (cancelled())
                    return stopped();
                contents.digestOf(name);
            }
        }
        QStringList candidates = contents.holding(wanted);
        const QString target = names.at(i).toLower();
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&target](const QString &n) { return n.toLower() == target; }),
                         candidates.end());
        if (candidates.isEmpty())
            continue;
        std::sort(candidates.begin(), candidates.end());
        const auto stays = std::find_if(candidates.cbegin(), candidates.cend(),
                                        [&](const QString &n) { return !replaced.contains(n.toLower()); });
        plan.actions[i] = Action::Copy;
        plan.sources[i] = stays != candidates.cend() ? *stays : candidates.first();
    }
    plan.makeSpans(index, plan.wantsDirectory(index));
    *out = plan;
    return {};
}

bool ArchivePatchPlan::wantsDirectory(const ZipIndex &index) const {
    qint64 entryBytes = 0;
    for (int i = 0; i < actions.size(); ++i) {
        if (actions.at(i) == Action::Fetch || actions.at(i) == Action::Peer)
            entryBytes += index.entries().at(i).span;
    }
    const qint64 size = index.directorySize();
    return entryBytes > 0 && size > 0 && size <= qMin(MaxDirectoryBytes, qMax(MinDirectoryBytes, entryBytes));
}

QVector<int> ArchivePatchPlan::peerCandidates(const ZipIndex &index) const {
    const QSet<QString> shared = sharedNames(index);
    QSet<QByteArray> seen;
    QVector<int> wanted;
    for (int i = 0; i < actions.size(); ++i) {
        const ZipIndex::Entry &e = index.entries().at(i);
        if (actions.at(i) != Action::Fetch ||
            shared.contains(FileNameRules::normalizedEntryName(e.name).toLower()) || seen.contains(e.hash))
            continue;
        seen.insert(e.hash);
        wanted.append(i);
    }
    return wanted;
}

void ArchivePatchPlan::takeFromPeers(const ZipIndex &index, const QHash<QByteArray, qint64> &sent) {
    if (sent.isEmpty())
        return;
    const QSet<QString> shared = sharedNames(index);
    for (int i = 0; i < actions.size(); ++i) {
        const ZipIndex::Entry &e = index.entries().at(i);
        if (actions.at(i) == Action::Fetch && sent.contains(e.hash) &&
            !shared.contains(FileNameRules::normalizedEntryName(e.name).toLower())) {
            actions[i] = Action::Peer;
            seenFiles[i] = {e.size, sent.value(e.hash)};
        }
    }
    makeSpans(index, wantsDirectory(index));
}

void ArchivePatchPlan::makeSpans(const ZipIndex &index, bool withDirectory) {
    const QVector<ZipIndex::Entry> &entries = index.entries();
    offsets.fill(-1, entries.size());
    sizes.resize(entries.size());
    fetchSpans.clear();
    qint64 total = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const ZipIndex::Entry &e = entries.at(i);
        sizes[i] = e.size;
        if (actions.at(i) != Action::Fetch)
            continue;
        offsets[i] = total;
        total += e.span;
        if (!fetchSpans.isEmpty() && fetchSpans.last().offset + fetchSpans.last().length == e.headerOffset)
            fetchSpans.last().length += e.span;
        else
            fetchSpans.append({e.headerOffset, e.span});
    }
    directoryOffset = withDirectory ? total : -1;
    directory = withDirectory ? Span{index.directoryOffset(), index.directorySize()} : Span();
    if (!withDirectory)
        return;
    if (!fetchSpans.isEmpty() && fetchSpans.last().offset + fetchSpans.last().length == directory.offset)
        fetchSpans.last().length += directory.length;
    else
        fetchSpans.append(directory);
}

bool ArchivePatchPlan::worthIt() const {
    return fetchBytes() <= archiveBytes / 2;
}

qint64 ArchivePatchPlan::fetchBytes() const {
    qint64 total = 0;
    for (const Span &s : fetchSpans)
        total += s.length;
    return total;
}

qint64 ArchivePatchPlan::fetchedOffset(int entry) const {
    return entry >= 0 && entry < offsets.size() ? offsets.at(entry) : -1;
}

ArchivePatchPlan::Counts ArchivePatchPlan::count(Action a) const {
    Counts c;
    for (int i = 0; i < actions.size(); ++i) {
        if (actions.at(i) == a) {
            ++c.entries;
            c.bytes += sizes.value(i);
        }
    }
    return c;
}

QByteArray ArchivePatchPlan::toBytes() const {
    // A plan read in the earlier form is written in it again: its id stays the one its download knows.
    QByteArray text = (form == 1 ? FirstMagic : Magic) + '\n' + IndexWord + digest.toLatin1() + '\n' +
                      ArchiveWord + QByteArray::number(archiveBytes) + '\n';
    if (form != 1) {
        text += DirectoryWord +
                (directoryOffset < 0
                     ? NoDirectory
                     : QByteArray::number(directory.offset) + ' ' + QByteArray::number(directory.length)) +
                '\n';
    }
    for (int i = 0; i < actions.size(); ++i) {
        switch (actions.at(i)) {
        case Action::Keep:
            text += form == 1 ? KeepLine + '\n'
                              : KeepWord + QByteArray::number(seenFiles.at(i).size) + '\t' +
                                    QByteArray::number(seenFiles.at(i).modifiedMs) + '\n';
            break;
        case Action::Fetch:
            text += FetchLine + '\n';
            break;
        case Action::Copy:
            text += CopyWord + sources.at(i).toUtf8() + '\n';
            break;
        case Action::Peer:
            text += PeerWord + QByteArray::number(seenFiles.at(i).size) + '\t' +
                    QByteArray::number(seenFiles.at(i).modifiedMs) + '\n';
            break;
        }
    }
    return text;
}

Result<ArchivePatchPlan::Error> ArchivePatchPlan::fromBytes(const QByteArray &bytes, const ZipIndex &index,
                                                            const QString &indexDigest,
                                                            ArchivePatchPlan *out) {
    if (bytes.size() > MaxPlanBytes)
        return malformed(QStringLiteral("%1 bytes, more than a plan holds").arg(bytes.size()));
    if (!bytes.endsWith('\n'))
        return malformed(QStringLiteral("cut short"));
    const int form = bytes.startsWith(FirstMagic + '\n') ? 1 : 2;
    const QVector<ZipIndex::Entry> &entries = index.entries();
    const int HeaderLines = form == 1 ? 3 : 4;
    // Counted before splitting: a text of another index's size is refused without a list of lines.
    if (bytes.count('\n') != HeaderLines + entries.size())
        return malformed(
            QStringLiteral("%1 lines for an index of %2 entries").arg(bytes.count('\n')).arg(entries.size()));
    const QList<QByteArray> lines = bytes.left(bytes.size() - 1).split('\n');
    if ((form == 2 && (lines.at(0) != Magic || !lines.at(3).startsWith(DirectoryWord))) ||
        !lines.at(1).startsWith(IndexWord) || !lines.at(2).startsWith(ArchiveWord))
        return malformed(QStringLiteral("no plan header"));
    const QByteArray listed = lines.at(1).mid(IndexWord.size());
    if (!isIndexDigest(listed) || QString::fromLatin1(listed) != indexDigest)
        return malformed(QStringLiteral("made for another index than %1").arg(indexDigest));
    const QByteArray size = lines.at(2).mid(ArchiveWord.size());
    if (size != QByteArray::number(index.archiveSize()))
        return malformed(
            QStringLiteral("made for an archive of other than %1 bytes").arg(index.archiveSize()));
    const QByteArray directoryLine = form == 2 ? lines.at(3).mid(DirectoryWord.size()) : NoDirectory;
    const bool withDirectory = directoryLine != NoDirectory;
    if (withDirectory && (directoryLine != QByteArray::number(index.directoryOffset()) + ' ' +
                                               QByteArray::number(index.directorySize()) ||
                          index.directorySize() <= 0 || index.directorySize() > MaxDirectoryBytes))
        return malformed(QStringLiteral("line 4 is not the central directory of the index"));

    const QSet<QString> shared = sharedNames(index);
    ArchivePatchPlan plan;
    plan.form = form;
    plan.digest = indexDigest;
    plan.archiveBytes = index.archiveSize();
    plan.actions.reserve(entries.size());
    plan.sources.reserve(entries.size());
    plan.seenFiles.fill(Seen(), entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        const QByteArray &line = lines.at(HeaderLines + i);
        const QString name = FileNameRules::normalizedEntryName(entries.at(i).name);
        Action action = Action::Fetch;
        QString source;
        if (form == 1 && line == KeepLine) {
            action = Action::Keep;
        } else if (form == 2 && (line.startsWith(KeepWord) || line.startsWith(PeerWord))) {
            action = line.startsWith(KeepWord) ? Action::Keep : Action::Peer;
            const QList<QByteArray> fields =
                line.mid((action == Action::Keep ? KeepWord : PeerWord).size()).split('\t');
            Seen &seen = plan.seenFiles[i];
            if (fields.size() != 2 || !number(fields.at(0), &seen.size) || seen.size < 0 ||
                !number(fields.at(1), &seen.modifiedMs))
                return malformed(QStringLiteral("line %1 takes a file not seen").arg(HeaderLines + i + 1));
        } else if (line.startsWith(CopyWord)) {
            action = Action::Copy;
            source = QString::fromUtf8(line.mid(CopyWord.size()));
            if (source.toUtf8() != line.mid(CopyWord.size()) || !isInstalledName(source) ||
                source.toLower() == name.toLower())
                return malformed(
                    QStringLiteral("line %1 copies from no other file").arg(HeaderLines + i + 1));
        } else if (line != FetchLine) {
            return malformed(QStringLiteral("line %1 is no action").arg(HeaderLines + i + 1));
        }
        if (action != Action::Fetch && shared.contains(name.toLower()))
            return malformed(QStringLiteral("line %1 does not fetch %2, which two entries install")
                                 .arg(HeaderLines + i + 1)
                                 .arg(FileNameRules::printable(name)));
        plan.actions.append(action);
        plan.sources.append(source);
    }
    if (withDirectory && plan.fetched().entries == 0 && plan.fromPeers().entries == 0)
        return malformed(QStringLiteral("it fetches the central directory for no entry"));
    plan.makeSpans(index, withDirectory);
    *out = plan;
    return {};
}

QString ArchivePatchPlan::id() const {
    return QString::fromLatin1(QCryptographicHash::hash(toBytes(), QCryptographicHash::Md5).toHex());
}
