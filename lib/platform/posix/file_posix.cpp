// POSIX side of plat_file.h.
//
// Exclusive sharing: a lease (fcntl F_SETLEASE) makes the kernel refuse it
// while others have the file open (for writing, for a read lease; at all, for a
// write lease), and flock(LOCK_EX) keeps cooperating programs out while we hold
// the file. Where the kernel does not permit a lease (a file of another owner,
// a file system without leases) flock alone is used.
#include "plat_file.h"
#include "plat_fs.h"

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

// Opens and checks that the path names a regular file. O_NONBLOCK keeps the
// open from waiting on another process's lease or on a FIFO; it is cleared
// once the descriptor is ours.
int file_OpenRegular(const char* path, int flags, mode_t mode)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EWOULDBLOCK || errno == EISDIR) {
            errno = EACCES;   // held by another process, or a directory
        }
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int file_WriteAll(int fd, const char* data, std::size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
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
        rc = fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

// Opens `path` for writing (created if absent, with `how`: O_TRUNC or
// O_APPEND), writes all the bytes, syncs and closes. 0, or -1 with errno.
int file_WriteSynced(const char* path, int how, const char* data, std::size_t len)
{
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | how | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
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
    if (rc == 0 && rename(tmp.data(), path) != 0) {
        rc = -1;
        saved = errno;
    }
    if (rc != 0) {
        unlink(tmp.data());
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
