#include "tools/sink/crashstore.h"

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

bool CrashStore::open(const std::string &outDir, std::string *error) {
    std::error_code ec;
    m_root = (fs::path(outDir) / "crash").string();
    fs::create_directories(m_root, ec);
    if (ec) {
        *error = "cannot create " + m_root + ": " + ec.message();
        return false;
    }
    // Continue numbering after uploads kept from an earlier run.
    int highest = 0;
    for (const fs::directory_entry &entry : fs::directory_iterator(m_root, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        highest = std::max(highest, std::stoi(name));
    }
    m_next = highest + 1;
    return true;
}

std::unique_ptr<CrashStore::Upload> CrashStore::begin(const std::string &remoteAddr,
                                                      const std::string &contentType, std::string *error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int attempts = 0; attempts < 1000; ++attempts) {
        const int id = m_next++;
        const fs::path dir = fs::path(m_root) / std::to_string(id);
        std::error_code ec;
        if (fs::create_directory(dir, ec))
            return std::make_unique<Upload>(id, dir.string(), remoteAddr, contentType);
        if (ec) {
            *error = "cannot create " + dir.string() + ": " + ec.message();
            return nullptr;
        }
    }
    *error = "no free upload folder under " + m_root;
    return nullptr;
}

std::string CrashStore::partFileName(size_t index, const std::string &name) {
    std::string safe;
    for (char c : name.substr(0, 64)) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
        safe += ok ? c : '_';
    }
    if (safe.empty())
        safe = "part";
    return std::to_string(index) + "_" + safe;
}

std::string CrashStore::jsonString(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

CrashStore::Upload::Upload(int id, std::string dir, std::string remoteAddr, std::string contentType)
    : m_id(id)
    , m_dir(std::move(dir))
    , m_remoteAddr(std::move(remoteAddr))
    , m_contentType(std::move(contentType)) {}

bool CrashStore::Upload::beginPart(const std::string &name, const std::string &filename,
                                   const std::string &contentType) {
    if (!closePart())
        return false;
    if (m_parts.size() >= MaxParts) {
        m_error = "more than " + std::to_string(MaxParts) + " parts";
        return false;
    }
    Part part;
    part.name = name;
    part.filename = filename;
    part.contentType = contentType;
    part.file = partFileName(m_parts.size() + 1, name);
    const std::string path = (fs::path(m_dir) / part.file).string();
    m_out.open(path, std::ios::binary | std::ios::trunc);
    if (!m_out) {
        m_error = "cannot write " + path;
        return false;
    }
    m_hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Md5);
    m_parts.push_back(part);
    return true;
}

bool CrashStore::Upload::append(const char *data, size_t size) {
    if (!m_out.is_open()) {
        m_error = "content outside a part";
        return false;
    }
    m_out.write(data, static_cast<std::streamsize>(size));
    if (!m_out) {
        m_error = "write failed in " + m_parts.back().file;
        return false;
    }
    m_hash->addData(data, static_cast<int>(size));
    m_parts.back().size += size;
    return true;
}

bool CrashStore::Upload::closePart() {
    if (!m_out.is_open())
        return true;
    m_out.close();
    m_parts.back().md5 = m_hash->result().toHex().toStdString();
    m_hash.reset();
    if (m_out.fail()) {
        m_error = "write failed in " + m_parts.back().file;
        return false;
    }
    return true;
}

bool CrashStore::Upload::finish(bool complete) {
    const bool closed = closePart();
    complete = complete && closed;

    std::ostringstream json;
    json << "{\n  \"upload\": " << m_id << ",\n  \"complete\": " << (complete ? "true" : "false")
         << ",\n  \"remote_addr\": " << jsonString(m_remoteAddr)
         << ",\n  \"content_type\": " << jsonString(m_contentType) << ",\n  \"parts\": [";
    for (size_t i = 0; i < m_parts.size(); ++i) {
        const Part &p = m_parts[i];
        json << (i ? ",\n" : "\n") << "    {\"name\": " << jsonString(p.name)
             << ", \"filename\": " << jsonString(p.filename)
             << ", \"content_type\": " << jsonString(p.contentType) << ", \"size\": " << p.size
             << ", \"md5\": " << jsonString(p.md5) << ", \"file\": " << jsonString(p.file) << "}";
    }
    json << (m_parts.empty() ? "]\n}\n" : "\n  ]\n}\n");

    const fs::path tmp = fs::path(m_dir) / ".summary.json.tmp";
    const fs::path final = fs::path(m_dir) / "summary.json";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << json.str();
        out.close();
        if (out.fail()) {
            m_error = "cannot write " + tmp.string();
            return false;
        }
    }
    std::error_code ec;
    fs::rename(tmp, final, ec);
    if (ec) {
        m_error = "cannot write " + final.string() + ": " + ec.message();
        return false;
    }
    return complete;
}
