#pragma once

#include <QCryptographicHash>

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Stores crash uploads: one numbered folder per upload under <root>/crash, each multipart part
// saved byte-exact in arrival order as "<index>_<name>", then "summary.json" describing them.
class CrashStore {
public:
    static constexpr size_t MaxParts = 64;

    struct Part {
        std::string name;
        std::string filename;
        std::string contentType;
        std::string file; // stored file name inside the upload folder
        uint64_t size = 0;
        std::string md5;
    };

    class Upload {
    public:
        Upload(int id, std::string dir, std::string remoteAddr, std::string contentType);
        int id() const { return m_id; }
        const std::string &dir() const { return m_dir; }
        size_t partCount() const { return m_parts.size(); }
        const std::string &error() const { return m_error; }

        bool beginPart(const std::string &name, const std::string &filename, const std::string &contentType);
        bool append(const char *data, size_t size);
        // Closes the last part and writes summary.json (atomically, so a reader never sees half of it).
        bool finish(bool complete);

    private:
        bool closePart();

        int m_id;
        std::string m_dir;
        std::string m_remoteAddr;
        std::string m_contentType;
        std::vector<Part> m_parts;
        std::ofstream m_out;
        std::unique_ptr<QCryptographicHash> m_hash;
        std::string m_error;
    };

    bool open(const std::string &outDir, std::string *error);
    // Creates the next numbered folder; null when it cannot.
    std::unique_ptr<Upload> begin(const std::string &remoteAddr, const std::string &contentType,
                                  std::string *error);

    // "1_crash_guid" for part 1 named crash_guid; anything but [A-Za-z0-9._-] becomes '_'.
    static std::string partFileName(size_t index, const std::string &name);
    static std::string jsonString(const std::string &text);

private:
    std::mutex m_mutex;
    std::string m_root;
    int m_next = 1;
};
