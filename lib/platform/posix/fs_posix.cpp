// POSIX side of plat_fs.h.
#include "plat_fs.h"
#include "confine_posix.h"
#include "sys_posix.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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
    if (path != nullptr) {
        const ConfinedParent parent(path);
        if (parent.ok() && sys_Unlinkat(parent.dir(), parent.name()) == 0) {
            return 0;
        }
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
    const int rc = sys_Fsync(fd);
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
        rc = sys_Fsync(::fileno(f));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int PLAT_FsReplace(const char* from, const char* to, int* err)
{
    // rename() replaces the target atomically on POSIX file systems.
    if (sys_Rename(from, to) == 0) {
        PLAT_FsSyncDir(to);   // the rename itself has succeeded either way
        return 0;
    }
    if (err != nullptr) {
        *err = errno;
    }
    return -1;
}

int PLAT_FsIdOf(const char* path, PLAT_FileId* id)
{
    struct stat st{};
    if (path == nullptr || id == nullptr) {
        errno = ENOENT;
        return -1;
    }
    const ConfinedParent parent(path);
    if (!parent.ok()) {
        // A link on the way is as foreign as a link in the last place.
        *id = PLAT_FileId{};
        if (errno != EACCES) {
            return -1;
        }
        id->kind = PLAT_FILE_OTHER;
        return 0;
    }
    if (::fstatat(parent.dir(), parent.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *id = PLAT_FileId{};
        return -1;
    }
    id->kind = S_ISREG(st.st_mode) && st.st_nlink == 1 ? PLAT_FILE_PLAIN : PLAT_FILE_OTHER;
    id->dev = static_cast<unsigned long long>(st.st_dev);
    id->ino = static_cast<unsigned long long>(st.st_ino);
    id->size = static_cast<long long>(st.st_size);
    id->mtimeSec = static_cast<long long>(st.st_mtim.tv_sec);
    id->mtimeNsec = static_cast<long long>(st.st_mtim.tv_nsec);
    return 0;
}

