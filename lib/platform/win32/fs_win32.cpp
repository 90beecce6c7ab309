// Win32 side of plat_fs.h.
#include "plat_fs.h"

#include <cerrno>
#include <cstdio>
#include <io.h>
#include <windows.h>

#include "confine_win32.h"
#include "errno_win32.h"
#include "fileid_win32.h"
#include "sys_win32.h"

int PLAT_FsExists(const char* path)
{
    return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int PLAT_FsReadable(const char* path)
{
    return path != nullptr && _access(path, 4) == 0 ? 1 : 0;
}

int PLAT_FsRemove(const char* path, int* err)
{
    // A path through a reparse point below the exchange root is not followed.
    const bool confined = path != nullptr && confine_PassesLink(path);
    if (path != nullptr && !confined && sys_Unlink(path) == 0) {
        return 0;
    }
    int e = path == nullptr ? ENOENT : confined ? EACCES : errno;
    if (e == EISDIR || e == EPERM) {
        e = EACCES;
    }
    if (err != nullptr) {
        *err = e;
    }
    return -1;
}

// Windows has no way to sync a directory: a rename made with write-through
// (PLAT_FsReplace, PLAT_FileReplace) is on disk when it returns, and a new
// file's entry is written with the file. So there is nothing to do.
int PLAT_FsSyncDir(const char* path)
{
    return path != nullptr ? 0 : -1;
}

int PLAT_FsSyncStream(std::FILE* f)
{
    if (std::fflush(f) != 0) {
        return -1;
    }
    return sys_Commit(_fileno(f)) == 0 ? 0 : -1;
}

int PLAT_FsReplace(const char* from, const char* to, int* err)
{
    if (from != nullptr && to != nullptr && sys_Rename(from, to) == 0) {
        return 0;
    }
    if (err != nullptr) {
        *err = from == nullptr || to == nullptr ? ENOENT : errno;
    }
    return -1;
}

// The entry itself: opened without following a reparse point, with no access
// to its data and sharing everything, so that it disturbs nobody.
int PLAT_FsIdOf(const char* path, PLAT_FileId* id)
{
    if (path == nullptr || id == nullptr) {
        errno = ENOENT;
        return -1;
    }
    *id = PLAT_FileId{};
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        errno = win32_Errno(GetLastError());
        return -1;
    }
    if (confine_PassesLink(path)) {
        id->kind = PLAT_FILE_OTHER;   // a link on the way is as foreign as one in the last place
        return 0;
    }
    const HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win32_Errno(GetLastError());
        return -1;
    }
    const int rc = fileid_OfHandle(h, id);
    CloseHandle(h);
    return rc;
}

