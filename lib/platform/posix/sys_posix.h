// The system calls of the file seam that a test can make fail
// (plat_fault.h). Internal to the POSIX implementation.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "plat_fault.h"

inline int sys_Openat(int dir, const char* path, int flags, mode_t mode = 0)
{
    return PLAT_FaultHit(PLAT_FAULT_OPEN) ? -1 : ::openat(dir, path, flags, mode);
}

inline int sys_Unlinkat(int dir, const char* path)
{
    return PLAT_FaultHit(PLAT_FAULT_UNLINK) ? -1 : ::unlinkat(dir, path, 0);
}

inline ssize_t sys_Read(int fd, void* buf, std::size_t len)
{
    return PLAT_FaultHit(PLAT_FAULT_READ) ? -1 : ::read(fd, buf, len);
}

inline ssize_t sys_Write(int fd, const void* buf, std::size_t len)
{
    return PLAT_FaultHit(PLAT_FAULT_WRITE) ? -1 : ::write(fd, buf, len);
}

inline ssize_t sys_Pwrite(int fd, const void* buf, std::size_t len, off_t at)
{
    return PLAT_FaultHit(PLAT_FAULT_WRITE) ? -1 : ::pwrite(fd, buf, len, at);
}

inline int sys_Fsync(int fd)
{
    return PLAT_FaultHit(PLAT_FAULT_FSYNC) ? -1 : ::fsync(fd);
}

inline int sys_Rename(const char* from, const char* to)
{
    return PLAT_FaultHit(PLAT_FAULT_RENAME) ? -1 : ::rename(from, to);
}

inline int sys_Unlink(const char* path)
{
    return PLAT_FaultHit(PLAT_FAULT_UNLINK) ? -1 : ::unlink(path);
}
