// The system calls of the Win32 file seam that a test can make fail
// (plat_fault.h). Internal to the Win32 implementation.
#pragma once

#include <cerrno>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "errno_win32.h"
#include "plat_fault.h"

inline int sys_Open(const char* path, int flags, int share)
{
    if (PLAT_FaultHit(PLAT_FAULT_OPEN)) {
        return -1;
    }
    int fd = -1;
    const errno_t rc = _sopen_s(&fd, path, flags, share, _S_IREAD | _S_IWRITE);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return fd;
}

inline int sys_Read(int fd, void* buf, unsigned len)
{
    return PLAT_FaultHit(PLAT_FAULT_READ) ? -1 : _read(fd, buf, len);
}

inline int sys_Write(int fd, const void* buf, unsigned len)
{
    return PLAT_FaultHit(PLAT_FAULT_WRITE) ? -1 : _write(fd, buf, len);
}

inline int sys_Commit(int fd)
{
    return PLAT_FaultHit(PLAT_FAULT_FSYNC) ? -1 : _commit(fd);
}

// MoveFileExA with write-through: the new name is on disk when it returns.
// 0, or -1 with errno.
inline int sys_Rename(const char* from, const char* to)
{
    if (PLAT_FaultHit(PLAT_FAULT_RENAME)) {
        return -1;
    }
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errno = win32_Errno(GetLastError());
        return -1;
    }
    return 0;
}

inline int sys_Unlink(const char* path)
{
    return PLAT_FaultHit(PLAT_FAULT_UNLINK) ? -1 : _unlink(path);
}
