// POSIX side of plat_fs.h.
#include "plat_fs.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>


int PLAT_FsExists(const char* path)
{
    return path != nullptr && ::access(path, F_OK) == 0 ? 1 : 0;
}

int PLAT_FsReadable(const char* path)
{
    return path != nullptr && ::access(path, R_OK) == 0 ? 1 : 0;
}

int PLAT_FsRemove(const char* path, int* err)
{
    if (path != nullptr && ::unlink(path) == 0) {
        return 0;
    }
    int e = path == nullptr ? ENOENT : errno;
    if (e == EISDIR || e == EPERM) {
        e = EACCES;
    }
    if (err != nullptr) {
        *err = e;
    }
    return -1;
}

int PLAT_FsSyncDir(const char* path)
{
    if (path == nullptr) {
        return -1;
    }
    std::string dir(path);
    const std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    const int rc = ::fsync(fd);
    ::close(fd);
    return rc == 0 ? 0 : -1;
}

int PLAT_FsSyncStream(std::FILE* f)
{
    if (std::fflush(f) != 0) {
        return -1;
    }
    int rc;
    do {
        rc = ::fsync(::fileno(f));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int PLAT_FsReplace(const char* from, const char* to, int* err)
{
    // rename() replaces the target atomically on POSIX file systems.
    if (std::rename(from, to) == 0) {
        PLAT_FsSyncDir(to);   // the rename itself has succeeded either way
        return 0;
    }
    if (err != nullptr) {
        *err = errno;
    }
    return -1;
}
