#include "archive/extractionwriter.h"

#include "archive/entrypermissions.h"

#include <QDebug>
#include <QDir>
#include <QFile>

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
            if (!ok)
                m_failed.store(true);
            if (command.type == Command::Data)
                m_freeBuffers.push_back(command.buffer);
        }
        m_roomReady.notify_all();
    }
    m_file.reset();
}

bool ExtractionWriter::execute(const Command &command) {
    switch (command.type) {
    case Command::MakeDirectory:
        if (!QDir(command.path).exists() && !QDir().mkpath(command.path)) {
            log() << "cannot create " << command.path;
            return false;
        }
        return true;
    case Command::Open:
        m_file.reset(new QFile(command.path));
        m_filePath = command.path;
        if (!m_file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            log() << "cannot open target file " << command.path;
            m_file.reset();
            return false;
        }
        return true;
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
        m_file.reset();
        if (!closed) {
            log() << "cannot write target file " << m_filePath;
            return false;
        }
        if (!applyEntryPermissions(m_filePath, command.versionMadeBy, command.externalAttributes))
            log() << "cannot set permissions of " << m_filePath;
        return true;
    }
    case Command::Stop:
        break;
    }
    return true;
}
