// POSIX side of e2e_os.h.
#include "e2e_os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace e2e::os {
namespace {

constexpr uid_t kNobodyId = 65534;

int openRetry(const char* path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

std::string MakeTempDir(const std::string& prefix)
{
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    std::string templ = (base / (prefix + "XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        return {};
    return std::string(buf.data());
}

int Spawn(const SpawnOptions& opt, std::string* why)
{
    if (opt.argv.empty()) {
        *why = "no program";
        return -1;
    }
    // Everything the child needs is prepared before fork: after it, the child
    // only calls async-signal-safe functions.
    std::vector<char*> argv;
    for (const std::string& a : opt.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const int in = openRetry("/dev/null", O_RDONLY, 0);
    const int out = opt.stdoutPath.empty() ? openRetry("/dev/null", O_WRONLY, 0)
                                           : openRetry(opt.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = opt.stderrPath.empty() ? openRetry("/dev/null", O_WRONLY, 0)
                                           : openRetry(opt.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) {
        *why = std::string("cannot open the standard streams: ") + std::strerror(errno);
        for (int fd : {in, out, err})
            if (fd >= 0)
                ::close(fd);
        return -1;
    }
    if (opt.asNobody) {
        (void)::fchown(out, kNobodyId, kNobodyId);
        (void)::fchown(err, kNobodyId, kNobodyId);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
#if defined(__linux__)
        // A harness that dies leaves no program behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(126);
#else
        (void)parent;
#endif
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!opt.cwd.empty() && ::chdir(opt.cwd.c_str()) != 0)
            ::_exit(126);
        if (opt.asNobody) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyId) != 0 || ::setuid(kNobodyId) != 0)
                ::_exit(126);
        }
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkErr = errno;
    ::close(in);
    ::close(out);
    ::close(err);
    if (pid < 0) {
        *why = std::string("fork: ") + std::strerror(forkErr);
        return -1;
    }
    return static_cast<int>(pid);
}

bool WaitExit(int pid, int timeoutMs, ExitStatus* status)
{
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            *status = ExitStatus{};
            if (WIFEXITED(st)) {
                status->exited = true;
                status->code = WEXITSTATUS(st);
            } else if (WIFSIGNALED(st)) {
                status->signal = WTERMSIG(st);
            }
            return true;
        }
        if (r < 0 && errno != EINTR) {
            *status = ExitStatus{};   // not our child (already reaped)
            return true;
        }
        if (NowMs() >= deadline)
            return false;
        SleepMs(5);
    }
}

bool CanSendStopSignals() { return true; }
void SendTerm(int pid) { ::kill(pid, SIGTERM); }
void SendInt(int pid) { ::kill(pid, SIGINT); }
void SendKill(int pid) { ::kill(pid, SIGKILL); }
void SendHup(int pid) { ::kill(pid, SIGHUP); }

int BindDatagram(const std::string& name)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.size() < 2 || name.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';
        --len;   // an abstract name has no terminating zero
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReceiveDatagram(int fd, int timeoutMs, std::string* out)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1)
        return false;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0)
        return false;
    out->assign(buf, static_cast<std::size_t>(n));
    return true;
}

bool MakeSymlink(const std::string& target, const std::string& path, bool, std::string* why)
{
    if (::symlink(target.c_str(), path.c_str()) == 0)
        return true;
    if (why != nullptr)
        *why = std::strerror(errno);
    return false;
}

void SetEnv(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }
void UnsetEnv(const std::string& name) { ::unsetenv(name.c_str()); }

int OpenHoldWrite(const std::string& path) { return openRetry(path.c_str(), O_WRONLY | O_CREAT, 0644); }
int OpenHoldRead(const std::string& path) { return openRetry(path.c_str(), O_RDONLY, 0); }

bool WriteFd(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void CloseFd(int fd)
{
    if (fd >= 0)
        ::close(fd);   // not retried: after EINTR the descriptor is gone
}

int BindLoopback(int port, bool listen)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || (listen && ::listen(fd, 64) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int LocalPort(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return -1;
    return ntohs(sa.sin_port);
}

bool IsRoot() { return ::geteuid() == 0; }

bool ChownTreeToNobody(const std::string& path)
{
    std::error_code ec;
    if (::lchown(path.c_str(), kNobodyId, kNobodyId) != 0)
        return false;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (::lchown(it->path().c_str(), kNobodyId, kNobodyId) != 0)
            return false;
    }
    return !ec;
}

bool ChangeMode(const std::string& path, unsigned mode) { return ::chmod(path.c_str(), mode) == 0; }

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0666) == 0; }

bool MakeSparseFile(const std::string& path, long long size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::pwrite(fd, "|G99=000020|", 12, 0) == 12;
    ::close(fd);
    return ok;
}

bool MountTmpfs(const std::string& path, const std::string& size, std::string* why)
{
    const std::string opts = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
        *why = std::string("mount tmpfs: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void Unmount(const std::string& path) { ::umount2(path.c_str(), MNT_DETACH); }

void SleepMs(int ms)
{
    timespec ts{};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

double NowMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace e2e::os
