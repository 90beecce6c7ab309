// Helpers shared by the support tests: a private temporary directory, whole-file
// reads, and a log opened on a file of that directory.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "plat_proc.h"

namespace support_test {

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir()
    {
        std::random_device rd;
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("kmo_support_" + std::to_string(rd()) + "_" + std::to_string(rd()));
            if (std::filesystem::create_directory(path_)) {
                break;
            }
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();   // a file written in text mode on Windows
        }
        lines.push_back(line);
    }
    return lines;
}

// The message part of each record (after the time stamp and the level name).
inline std::vector<std::string> Messages(const std::string& logText)
{
    std::vector<std::string> messages;
    for (const std::string& line : Lines(logText)) {
        const auto first = line.find('\t');
        const auto second = first == std::string::npos ? first : line.find('\t', first + 1);
        messages.push_back(second == std::string::npos ? line : line.substr(second + 1));
    }
    return messages;
}

// True when `text` has the shape of `pattern`: each 'd' stands for one digit,
// every other character for itself.
inline bool HasShape(std::string_view text, std::string_view pattern)
{
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Opens the log on `path` with the filter min..max.
inline void OpenLog(const std::string& path, int min, int max)
{
    std::string spec = path + "," + std::to_string(min) + "," + std::to_string(max);
    std::vector<char> text(spec.begin(), spec.end());
    text.push_back('\0');
    LOG_Open(0, 0, text.data());
}

// The descriptors (Windows: handles) this process has open, to show that
// nothing leaks.
inline int OpenDescriptors()
{
    return PLAT_OpenHandleCount();
}

}  // namespace support_test
