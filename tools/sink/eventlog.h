#pragma once

#include <cstdio>
#include <mutex>
#include <string>

// Appends each event body as one line of a JSON-lines file, flushed per line.
class EventLog {
public:
    static constexpr size_t MaxBodySize = 1024 * 1024;

    enum class Result { Stored, Empty, TooLarge, HasLineBreak, WriteFailed };

    EventLog() = default;
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;
    ~EventLog();

    bool open(const std::string &path, std::string *error);
    Result append(const std::string &body);
    size_t count() const;

private:
    mutable std::mutex m_mutex;
    std::FILE *m_file = nullptr;
    size_t m_count = 0;
};
