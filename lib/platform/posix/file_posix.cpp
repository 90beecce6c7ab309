// POSIX side of plat_file.h.
//
// Exclusive sharing: a lease (fcntl F_SETLEASE) makes the kernel refuse it
// while others have the file open (for writing, for a read lease; at all, for a
// write lease), and flock(LOCK_EX) keeps cooperating programs out while we hold
// the file. Where the kernel does not permit a lease (a file of another owner,
// a file system without leases) flock alone is used.
#include "plat_file.h"
#include "plat_fs.h"
#include "confine_posix.h"
#include "sys_posix.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kCtrlZ = 0x1A;
// How long a reply file that another process has open is waited for.
constexpr int kWriteHoldTries = 20;
constexpr long kWriteHoldPauseMs = 10;

// When someone opens a file on which we hold a lease, the kernel signals us
// (SIGIO, whose default action ends the process) and makes the opener wait
// until we release it. We hold the files only for a moment and need no notice,
// so the signal is ignored unless the program has a handler of its own.
void file_IgnoreLeaseBreaks()
{
    static const bool done = [] {
        struct sigaction old{};
        if (sigaction(SIGIO, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
            struct sigaction ign{};
            ign.sa_handler = SIG_IGN;
            sigemptyset(&ign.sa_mask);
            sigaction(SIGIO, &ign, nullptr);
        }
        return true;
    }();
    (void)done;
}

void file_Release(int fd)
{
    const int saved = errno;
    fcntl(fd, F_SETLEASE, F_UNLCK);   // fails harmlessly when no lease is held
    errno = saved;
}

void file_CloseQuietly(int fd)
{
    const int saved = errno;
    file_Release(fd);
    close(fd);   // never retried: after EINTR the descriptor is already gone
    errno = saved;
}

// Takes the exclusive hold on an open descriptor. -1 with EACCES when another
// process has the file open in a conflicting way.
int file_Hold(int fd, int leaseType)
{
    file_IgnoreLeaseBreaks();
    if (fcntl(fd, F_SETLEASE, leaseType) != 0 && errno == EAGAIN) {
        errno = EACCES;
        return -1;
    }
    // Any other lease failure means leases are not available for this file.
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            errno = EACCES;
        }
        file_Release(fd);
        return -1;
    }
    return 0;
}

PLAT_FileId file_IdFromStat(const struct stat& st)
{
    PLAT_FileId id;
    id.kind = S_ISREG(st.st_mode) && st.st_nlink == 1 ? PLAT_FILE_PLAIN : PLAT_FILE_OTHER;
    id.dev = static_cast<unsigned long long>(st.st_dev);
    id.ino = static_cast<unsigned long long>(st.st_ino);
    id.size = static_cast<long long>(st.st_size);
    id.mtimeSec = static_cast<long long>(st.st_mtim.tv_sec);
    id.mtimeNsec = static_cast<long long>(st.st_mtim.tv_nsec);
    return id;
}

// Opens and checks that the path names a plain file: O_NOFOLLOW refuses a
// link in its last component, and a file with a second name (a hard link to
// something the terminal could not reach itself) is refused as well.
// O_NONBLOCK keeps the open from waiting on another process's lease or on a
// FIFO; it is cleared once the descriptor is ours.
int file_OpenRegular(const char* path, int flags, mode_t mode)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    const ConfinedParent parent(path);
    if (!parent.ok()) {
        return -1;
    }
    int fd;
    do {
        fd = sys_Openat(parent.dir(), parent.name(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EWOULDBLOCK || errno == EISDIR || errno == ELOOP || errno == ENXIO) {
            errno = EACCES;   // held by another process, a directory, a link, a socket
        }
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || file_IdFromStat(st).kind != PLAT_FILE_PLAIN) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl != -1) {
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    return fd;
}

long file_ReadRetry(int fd, void* buf, std::size_t len)
{
    ssize_t n;
    do {
        n = sys_Read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int file_WriteAll(int fd, const char* data, std::size_t len)
{
    while (len > 0) {
        const ssize_t n = sys_Write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int file_SyncFd(int fd)
{
    int rc;
    do {
        rc = sys_Fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

// Opens `path` for writing (created if absent, with `how`: O_TRUNC or
// O_APPEND), writes all the bytes, syncs and closes. 0, or -1 with errno.
int file_WriteSynced(const char* path, int how, const char* data, std::size_t len)
{
    const int fd = file_OpenRegular(path, O_WRONLY | O_CREAT | how, 0666);
    if (fd < 0) {
        return -1;
    }
    int rc = file_WriteAll(fd, data, len);
    if (rc == 0) {
        rc = file_SyncFd(fd);
    }
    const int saved = errno;
    if (close(fd) != 0 && rc == 0) {
        return -1;
    }
    errno = saved;
    return rc;
}


}  // namespace

PLAT_File PLAT_FileOpenReadExclusive(const char* path)
{
    const int fd = file_OpenRegular(path, O_RDONLY, 0);
    if (fd < 0) {
        return PLAT_FILE_BAD;
    }
    if (file_Hold(fd, F_RDLCK) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return PLAT_FILE_BAD;
    }
    return fd;
}

PLAT_File PLAT_FileOpenWriteExclusive(const char* path)
{
    // A file made here must not stay behind, empty, when it cannot be held.
    bool created = true;
    int fd = file_OpenRegular(path, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = file_OpenRegular(path, O_RDWR | O_CREAT, 0666);
    }
    if (fd < 0) {
        return PLAT_FILE_BAD;
    }
    // A reader that has the file open for a moment (a terminal looking for its
    // reply) would otherwise make the reply fail; where the writer's sharing is
    // taken with its open, such a reader is the one refused. So a refused hold
    // is tried again for a short while, and only a file that stays open
    // elsewhere is refused.
    for (int tries = 1; file_Hold(fd, F_WRLCK) != 0; ++tries) {
        if (errno != EACCES || tries >= kWriteHoldTries) {
            const int saved = errno;
            if (created) {
                unlink(path);
            }
            close(fd);
            errno = saved;
            return PLAT_FILE_BAD;
        }
        timespec pause{0, kWriteHoldPauseMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
    int rc;
    do {
        rc = ftruncate(fd, 0);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        file_CloseQuietly(fd);
        return PLAT_FILE_BAD;
    }
    return fd;
}

long PLAT_FileReadText(PLAT_File f, char* buf, std::size_t len)
{
    if (len == 0) {
        return 0;
    }
    const long n = file_ReadRetry(f, buf, len);
    if (n <= 0) {
        return n < 0 ? -1 : 0;
    }
    // Converted in place: the output never runs ahead of the input.
    std::size_t out = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        const char c = buf[i];
        if (c == kCtrlZ) {
            lseek(f, 0, SEEK_END);   // the data ends here for every later read
            return static_cast<long>(out);
        }
        if (c != '\r') {
            buf[out++] = c;
            continue;
        }
        if (i + 1 < static_cast<std::size_t>(n)) {
            if (buf[i + 1] == '\n') {
                ++i;
                buf[out++] = '\n';
            } else {
                buf[out++] = '\r';
            }
            continue;
        }
        // A CR at the end of the chunk: look at the next byte of the file.
        char next = 0;
        if (file_ReadRetry(f, &next, 1) == 1) {
            if (next == '\n') {
                buf[out++] = '\n';
                continue;
            }
            lseek(f, -1, SEEK_CUR);
        }
        buf[out++] = '\r';
    }
    return static_cast<long>(out);
}

long PLAT_FileWriteText(PLAT_File f, const char* data, std::size_t len)
{
    std::array<char, 1024> stage{};
    std::size_t used = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (used + 2 > stage.size()) {
            if (file_WriteAll(f, stage.data(), used) != 0) {
                return -1;
            }
            used = 0;
        }
        if (data[i] == '\n') {
            stage[used++] = '\r';
        }
        stage[used++] = data[i];
    }
    if (used > 0 && file_WriteAll(f, stage.data(), used) != 0) {
        return -1;
    }
    return static_cast<long>(len);
}

int PLAT_FileSync(PLAT_File f)
{
    return file_SyncFd(f);
}

int PLAT_FileClose(PLAT_File f)
{
    if (f == PLAT_FILE_BAD) {
        errno = EBADF;
        return -1;
    }
    file_Release(f);
    return close(f) == 0 ? 0 : -1;
}

int PLAT_FileReplace(const char* path, const char* data, std::size_t len)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    std::array<char, 4096> tmp{};
    const int n = std::snprintf(tmp.data(), tmp.size(), "%s.tmp", path);
    if (n < 0 || static_cast<std::size_t>(n) >= tmp.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int rc = file_WriteSynced(tmp.data(), O_TRUNC, data, len);
    int saved = errno;
    if (rc == 0 && sys_Rename(tmp.data(), path) != 0) {
        rc = -1;
        saved = errno;
    }
    if (rc != 0) {
        ::unlink(tmp.data());
        errno = saved;
        return -1;
    }
    // The rename is in place; a failed directory sync only weakens durability.
    PLAT_FsSyncDir(path);
    return 0;
}

int PLAT_FileAppendSync(const char* path, const char* data, std::size_t len)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    const int rc = file_WriteSynced(path, O_APPEND, data, len);
    if (rc == 0) {
        PLAT_FsSyncDir(path);   // a newly created file's entry must last too
    }
    return rc;
}

int PLAT_FileIdOf(PLAT_File f, PLAT_FileId* id)
{
    struct stat st{};
    if (id == nullptr || fstat(f, &st) != 0) {
        return -1;
    }
    *id = file_IdFromStat(st);
    return 0;
}

long long PLAT_FileAppendWhole(const char* path, const char* data, std::size_t len)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    bool created = true;
    int fd = file_OpenRegular(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = file_OpenRegular(path, O_WRONLY, 0);
    }
    if (fd < 0) {
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0) {
        file_CloseQuietly(fd);
        return -1;
    }
    const off_t before = st.st_size;
    off_t at = before;
    char last = '\n';
    if (before > 0 && pread(fd, &last, 1, before - 1) != 1) {
        last = '\n';
    }
    int rc = 0;
    // pwrite at the size seen: the client is the file's only writer.
    auto put = [&](const char* p, std::size_t n) {
        while (rc == 0 && n > 0) {
            const ssize_t w = sys_Pwrite(fd, p, n, at);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                if (w == 0) {
                    errno = ENOSPC;
                }
                rc = -1;
                break;
            }
            p += w;
            n -= static_cast<std::size_t>(w);
            at += w;
        }
    };
    if (last != '\n') {
        put("\n", 1);
    }
    put(data, len);
    if (rc == 0) {
        rc = file_SyncFd(fd);
    }
    if (rc != 0) {
        const int saved = errno;
        if (ftruncate(fd, before) == 0) {
            file_SyncFd(fd);
        }
        close(fd);
        if (created && before == 0) {
            ::unlink(path);
        }
        errno = saved;
        return -1;
    }
    if (close(fd) != 0) {
        return -1;
    }
    if (created) {
        PLAT_FsSyncDir(path);   // a new file's entry must last too
    }
    return static_cast<long long>(before);
}

int PLAT_FileCutBack(const char* path, long long size)
{
    if (size == 0) {
        PLAT_FileId id;
        if (PLAT_FsIdOf(path, &id) != 0 || id.kind != PLAT_FILE_PLAIN) {
            errno = id.kind == PLAT_FILE_NONE ? errno : EACCES;
            return -1;
        }
        if (sys_Unlink(path) != 0) {
            return -1;
        }
        PLAT_FsSyncDir(path);
        return 0;
    }
    const int fd = file_OpenRegular(path, O_WRONLY, 0);
    if (fd < 0) {
        return -1;
    }
    struct stat st{};
    int rc = fstat(fd, &st);
    if (rc == 0 && static_cast<long long>(st.st_size) < size) {
        errno = EINVAL;
        rc = -1;
    }
    if (rc == 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        rc = -1;
    }
    if (rc == 0) {
        rc = file_SyncFd(fd);
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

long PLAT_FileReadSmall(const char* path, char* buf, std::size_t cap)
{
    if (buf == nullptr || cap == 0) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    const int fd = file_OpenRegular(path, O_RDONLY, 0);
    if (fd < 0) {
        return -1;
    }
    std::size_t used = 0;
    while (used + 1 < cap) {
        const long n = file_ReadRetry(fd, buf + used, cap - 1 - used);
        if (n < 0) {
            file_CloseQuietly(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    buf[used] = '\0';
    close(fd);
    return static_cast<long>(used);
}

long long PLAT_FileEndsWith(const char* path, const char* data, std::size_t len)
{
    const int fd = file_OpenRegular(path, O_RDONLY, 0);
    if (fd < 0) {
        return -1;
    }
    long long at = -1;
    struct stat st{};
    std::array<char, 4096> tail{};
    if (len > 0 && len <= tail.size() && fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(len)) {
        const off_t from = st.st_size - static_cast<off_t>(len);
        if (pread(fd, tail.data(), len, from) == static_cast<ssize_t>(len) &&
            std::memcmp(tail.data(), data, len) == 0) {
            at = static_cast<long long>(from);
        }
    }
    file_CloseQuietly(fd);
    return at;
}

int PLAT_FileEmpty(PLAT_File f)
{
    int rc;
    do {
        rc = ftruncate(f, 0);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}
