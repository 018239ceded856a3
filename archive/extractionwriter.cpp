#include "archive/extractionwriter.h"

#include "archive/entrypermissions.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// Non-data commands waiting at once; bounds the queue for archives of many tiny entries.
constexpr size_t maxQueuedCommands = 256;

QDebug log() {
    return qDebug().noquote().nospace();
}

} // namespace

ExtractionWriter::ExtractionWriter(int bufferCount, int bufferSize)
    : m_bufferSize(bufferSize) {
    m_buffers.reserve(size_t(bufferCount));
    for (int i = 0; i < bufferCount; ++i) {
        m_buffers.emplace_back(bufferSize, Qt::Uninitialized);
        m_freeBuffers.push_back(i);
    }
}

ExtractionWriter::~ExtractionWriter() {
    finish();
    discard(); // nothing left after commit()
}

void ExtractionWriter::start() {
    m_thread = std::thread([this] { run(); });
}

int ExtractionWriter::takeBuffer() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_roomReady.wait(lock, [this] { return !m_freeBuffers.empty() || m_failed.load(); });
    if (m_failed.load())
        return -1;
    const int buffer = m_freeBuffers.front();
    m_freeBuffers.pop_front();
    return buffer;
}

void ExtractionWriter::push(Command command) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (command.type != Command::Data && command.type != Command::Stop)
        m_roomReady.wait(lock, [this] { return m_commands.size() < maxQueuedCommands || m_failed.load(); });
    m_commands.push_back(std::move(command));
    m_commandReady.notify_one();
}

void ExtractionWriter::makeDirectory(const QString &dir) {
    Command command(Command::MakeDirectory);
    command.path = dir;
    push(std::move(command));
}

void ExtractionWriter::openFile(const QString &path) {
    Command command(Command::Open);
    command.path = path;
    push(std::move(command));
}

void ExtractionWriter::write(int buffer, int length) {
    Command command(Command::Data);
    command.buffer = buffer;
    command.length = length;
    push(std::move(command));
}

void ExtractionWriter::closeFile(unsigned long versionMadeBy, unsigned long externalAttributes) {
    Command command(Command::Close);
    command.versionMadeBy = versionMadeBy;
    command.externalAttributes = externalAttributes;
    push(std::move(command));
}

bool ExtractionWriter::finish() {
    if (m_thread.joinable()) {
        push(Command(Command::Stop));
        m_thread.join();
    }
    return !m_failed.load();
}

void ExtractionWriter::run() {
    for (;;) {
        Command command;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_commandReady.wait(lock, [this] { return !m_commands.empty(); });
            command = std::move(m_commands.front());
            m_commands.pop_front();
        }
        if (command.type == Command::Stop)
            break;
        const bool ok = m_failed.load() || execute(command);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!ok && !m_failed.load()) {
                m_failure =
                    QStringLiteral("cannot write %1").arg(command.path.isEmpty() ? m_filePath : command.path);
                m_failed.store(true);
            }
            if (command.type == Command::Data)
                m_freeBuffers.push_back(command.buffer);
        }
        m_roomReady.notify_all();
    }
    if (m_file) // an entry cut short: discard() removes its staging file
        m_file->close();
}

bool ExtractionWriter::makeDirectory(const QString &dir, std::vector<QString> *created) {
    // Notes the folders that do not exist yet, so that a failed extraction can take them away again.
    std::vector<QString> missing;
    for (QString d = QDir::cleanPath(dir); !d.isEmpty() && !QFileInfo::exists(d);) {
        missing.push_back(d);
        const int slash = d.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            break;
        d.truncate(slash);
    }
    if (missing.empty())
        return QFileInfo(dir).isDir();
    const bool made = QDir().mkpath(dir);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (QFileInfo(*it).isDir())
            created->push_back(*it);
    }
    return made;
}

bool ExtractionWriter::execute(const Command &command) {
    switch (command.type) {
    case Command::MakeDirectory:
        if (!makeDirectory(command.path, &m_created)) {
            log() << "cannot create " << command.path;
            return false;
        }
        return true;
    case Command::Open: {
        // Refused before anything is written: a folder in the way, or an installed file this user
        // may not write (read-only, or held open by another program on Windows).
        const QFileInfo target(command.path);
        bool usable = !target.isDir();
        if (usable && target.exists() && !target.isSymLink()) {
            QFile probe(command.path);
            usable = probe.open(QIODevice::WriteOnly | QIODevice::Append);
        }
        if (!usable) {
            log() << "cannot open target file " << command.path;
            return false;
        }
        m_file.reset(new QFile(command.path + stagingSuffix));
        m_filePath = command.path;
        if (!m_file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            log() << "cannot open target file " << m_file->fileName() << ", " << m_file->errorString();
            m_file.reset();
            return false;
        }
        return true;
    }
    case Command::Data:
        if (!m_file ||
            m_file->write(m_buffers[size_t(command.buffer)].constData(), command.length) != command.length) {
            log() << "cannot write target file " << m_filePath << ", "
                  << (m_file ? m_file->errorString() : QString());
            return false;
        }
        return true;
    case Command::Close: {
        if (!m_file)
            return false;
        m_file->close();
        const bool closed = m_file->error() == QFileDevice::NoError;
        const QString staged = m_file->fileName();
        m_file.reset();
        if (!closed) {
            log() << "cannot write target file " << m_filePath;
            QFile::remove(staged);
            return false;
        }
        if (!applyEntryPermissions(staged, command.versionMadeBy, command.externalAttributes))
            log() << "cannot set permissions of " << m_filePath;
        // The same name twice in one archive: the later entry wins, as it would on disk.
        if (m_stagedSet.contains(m_filePath))
            m_staged.erase(std::find(m_staged.begin(), m_staged.end(), m_filePath));
        m_stagedSet.insert(m_filePath);
        m_staged.push_back(m_filePath);
        return true;
    }
    case Command::Stop:
        break;
    }
    return true;
}

QString ExtractionWriter::failureReason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

bool ExtractionWriter::commit() {
    std::vector<bool> hadTarget;
    hadTarget.reserve(m_staged.size());
    for (size_t i = 0; i < m_staged.size(); ++i) {
        const QString &target = m_staged[i];
        const QString backup = target + backupSuffix;
        const QFileInfo info(target);
        const bool had = info.exists() || info.isSymLink();
        // Left by an extraction killed while it replaced files, also between setting the old file
        // aside and moving the new one in (the target is missing then).
        QFile::remove(backup);
        if (had) {
            if (!QFile::rename(target, backup)) {
                log() << "cannot replace target file " << target;
                m_failure = QStringLiteral("cannot replace %1").arg(target);
                restore(i, hadTarget);
                return false;
            }
        }
        if (!QFile::rename(target + stagingSuffix, target)) {
            log() << "cannot replace target file " << target;
            m_failure = QStringLiteral("cannot replace %1").arg(target);
            if (had)
                QFile::rename(backup, target);
            restore(i, hadTarget);
            return false;
        }
        hadTarget.push_back(had);
    }
    for (size_t i = 0; i < m_staged.size(); ++i) {
        if (hadTarget[i] && !QFile::remove(m_staged[i] + backupSuffix))
            log() << "cannot remove " << m_staged[i] + backupSuffix;
    }
    m_staged.clear();
    m_stagedSet.clear();
    m_created.clear();
    return true;
}

// Puts back the first `count` targets, which commit() had replaced, and drops everything staged.
void ExtractionWriter::restore(size_t count, const std::vector<bool> &hadTarget) {
    for (size_t i = count; i-- > 0;) {
        const QString &target = m_staged[i];
        QFile::remove(target);
        if (hadTarget[i] && !QFile::rename(target + backupSuffix, target))
            log() << "cannot restore " << target << " from " << target + backupSuffix;
    }
    m_staged.erase(m_staged.begin(), m_staged.begin() + std::ptrdiff_t(count));
    discard();
}

void ExtractionWriter::discard() {
    if (m_file) { // the entry being written when the extraction stopped
        const QString staged = m_file->fileName();
        m_file.reset();
        QFile::remove(staged);
    }
    for (const QString &target : m_staged)
        QFile::remove(target + stagingSuffix);
    m_staged.clear();
    m_stagedSet.clear();
    // Innermost first; a folder that holds anything else (an earlier file) stays.
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
        QDir().rmdir(*it);
    m_created.clear();
}

const QLatin1String ExtractionWriter::stagingSuffix(".kv-new");
const QLatin1String ExtractionWriter::backupSuffix(".kv-old");

bool ExtractionWriter::isReservedName(const QString &name) {
    QString last = name;
    while (last.endsWith(QLatin1Char('/')))
        last.chop(1);
    return last.endsWith(stagingSuffix, Qt::CaseInsensitive) ||
           last.endsWith(backupSuffix, Qt::CaseInsensitive);
}
