// Test helpers for the terminal files and the local replies: a private
// working directory per test, a captured log, whole-file reads and writes, and
// another process that holds a file open (forked here; on Windows the small
// program kmo_hold_file.exe, started through the command interpreter).
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "kmoclient.h"
#include "log.h"

namespace filestest {

inline std::string ReadAll(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::filesystem::path& p, const std::string& data)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
}

// Each test runs in a fresh directory of its own, which is also the working
// directory (the counter files live there), and with every log level captured.
// Settings that the file operations read are reset.
class WorkDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldCwd_ = std::filesystem::current_path();
#if defined(_WIN32)
        dir_ = std::filesystem::temp_directory_path() / ("kmo_files_" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(std::filesystem::create_directory(dir_));
#else
        char tmpl[] = "/tmp/kmo_files_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
#endif
        std::filesystem::current_path(dir_);
        logPath_ = dir_ / "test.log";
        std::string spec = logPath_.string() + ",0,100";
        LOG_Open(0, 100, spec.data());
        NormalizeReply = 0;
        std::memset(KMOClient_RequestBuffer, 0, sizeof KMOClient_RequestBuffer);
    }

    void TearDown() override
    {
        LOG_Close();
        std::filesystem::current_path(oldCwd_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        NormalizeReply = 0;
    }

    // The log's records as "LEVEL\tmessage", time stamps removed.
    std::vector<std::string> Records() const
    {
        std::vector<std::string> out;
        std::ifstream in(logPath_, std::ios::binary);
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

    bool Logged(const std::string& record) const
    {
        for (const std::string& r : Records()) {
            if (r == record) {
                return true;
            }
        }
        return false;
    }

    std::filesystem::path dir_;

private:
    std::filesystem::path oldCwd_;
    std::filesystem::path logPath_;
};

// Another process that keeps a file open (and, with Lock, held with no
// sharing at all) until the object goes away. The constructor returns once
// the other process holds the file.
#if defined(_WIN32)
class HeldFile {
public:
    enum Mode { Read, Write, Lock };

    HeldFile(const std::filesystem::path& p, Mode mode)
    {
        ready_ = std::filesystem::temp_directory_path() / ("kmo_held_" + std::to_string(std::random_device{}()));
        const char letter = mode == Read ? 'r' : (mode == Write ? 'w' : 'l');
        // The command interpreter takes the whole line within one more pair of quotes.
        const std::string cmd = "\"\"" + Tool() + "\" \"" + p.string() + "\" " + letter + " \"" + ready_.string() +
                                "\"\"";
        pipe_ = _popen(cmd.c_str(), "w");
        if (pipe_ == nullptr) {
            return;
        }
        // The program writes its answer once it holds the file (or cannot).
        for (int waited = 0; waited < 10000; waited += 10) {
            const std::string answer = ReadAll(ready_);
            if (!answer.empty()) {
                held_ = answer == "y";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~HeldFile()
    {
        if (pipe_ != nullptr) {
            _pclose(pipe_);   // its standard input ends: it lets go and exits
        }
        std::error_code ec;
        std::filesystem::remove(ready_, ec);
    }

    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool held() const { return held_; }

private:
    // kmo_hold_file.exe lies beside the test program.
    static std::string Tool()
    {
        const char* self = _pgmptr;
        return (std::filesystem::path(self != nullptr ? self : "").parent_path() / "kmo_hold_file.exe").string();
    }

    std::FILE* pipe_ = nullptr;
    std::filesystem::path ready_;
    bool held_ = false;
};
#else
class HeldFile {
public:
    enum Mode { Read, Write, Lock };

    HeldFile(const std::filesystem::path& p, Mode mode)
    {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int flags = mode == Write ? O_WRONLY : O_RDONLY;
            const int fd = ::open(p.c_str(), flags);
            char ok = fd >= 0 ? 'y' : 'n';
            if (fd >= 0 && mode == Lock && ::flock(fd, LOCK_EX) != 0) {
                ok = 'n';
            }
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release[0], &c, 1);   // returns when the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char c = 'n';
        held_ = ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
    }

    ~HeldFile()
    {
        if (release_ >= 0) {
            ::close(release_);
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }

    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

#endif

}  // namespace filestest
