// Test helper: opens the log on a fresh temporary file with every level let
// through, and reads the records back without their time stamps.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "log.h"

class LogCapture {
public:
    LogCapture()
    {
        const auto name = "kmo_msg_log_" + std::to_string(std::random_device{}());
        path_ = (std::filesystem::temp_directory_path() / name).string();
        std::string spec = path_ + ",0,100";
        LOG_Open(0, 100, spec.data());
    }
    ~LogCapture()
    {
        LOG_Close();
        std::remove(path_.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Each record as "LEVEL\tmessage" (the time stamp and its tab removed).
    std::vector<std::string> Records() const
    {
        std::vector<std::string> out;
        std::ifstream in(path_, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();   // a log written in text mode on Windows
            }
            const auto tab = line.find('\t');
            out.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return out;
    }

private:
    std::string path_;
};
