// Test helpers for the terminal files and the local replies: a private
// working directory per test, a captured log, whole-file reads and writes, and
// another process that holds a file open.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

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
        char tmpl[] = "/tmp/kmo_files_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
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

// Another process that keeps a file open (and, with Lock, flock-ed) until the
// object goes away. The constructor returns once the child holds the file.
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

}  // namespace filestest
