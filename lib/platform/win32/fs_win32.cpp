// Win32 side of plat_fs.h.
#include "plat_fs.h"

#include <cerrno>
#include <cstdio>
#include <io.h>
#include <windows.h>

#include "errno_win32.h"

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
    if (path != nullptr && _unlink(path) == 0) {
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
    return _commit(_fileno(f)) == 0 ? 0 : -1;
}

int PLAT_FsReplace(const char* from, const char* to, int* err)
{
    if (from != nullptr && to != nullptr &&
        MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    if (err != nullptr) {
        *err = from == nullptr || to == nullptr ? ENOENT : win32_Errno(GetLastError());
    }
    return -1;
}
