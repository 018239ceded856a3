#include "tools/sink/eventlog.h"

#include <cerrno>
#include <cstring>

EventLog::~EventLog() {
    if (m_file)
        std::fclose(m_file);
}

bool EventLog::open(const std::string &path, std::string *error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_file = std::fopen(path.c_str(), "ab");
    if (!m_file) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

EventLog::Result EventLog::append(const std::string &body) {
    if (body.empty())
        return Result::Empty;
    if (body.size() > MaxBodySize)
        return Result::TooLarge;
    // One record per line: a body with its own line break would split into two records.
    if (body.find_first_of("\r\n") != std::string::npos)
        return Result::HasLineBreak;

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file)
        return Result::WriteFailed;
    if (std::fwrite(body.data(), 1, body.size(), m_file) != body.size() || std::fputc('\n', m_file) == EOF ||
        std::fflush(m_file) != 0) {
        return Result::WriteFailed;
    }
    ++m_count;
    return Result::Stored;
}

size_t EventLog::count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}
