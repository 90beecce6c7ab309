// The identity of an open file on Windows (plat_file.h's PLAT_FileId): the
// volume's serial number and the file index stand for device and inode, the
// last write time (100 ns steps) for the modification time. A plain file is
// one on disk, not a directory or a reparse point, with one name. Internal to
// the Win32 implementation.
#pragma once

#include <cerrno>
#include <windows.h>

#include "errno_win32.h"
#include "plat_file.h"

inline int fileid_OfHandle(HANDLE h, PLAT_FileId* id)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        errno = win32_Errno(GetLastError());
        return -1;
    }
    const bool plain = GetFileType(h) == FILE_TYPE_DISK &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                       info.nNumberOfLinks == 1;
    id->kind = plain ? PLAT_FILE_PLAIN : PLAT_FILE_OTHER;
    id->dev = info.dwVolumeSerialNumber;
    id->ino = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id->size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    const FILETIME& t = info.ftLastWriteTime;
    const unsigned long long stamp = (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    id->mtimeSec = static_cast<long long>(stamp / 10000000ULL);
    id->mtimeNsec = static_cast<long long>(stamp % 10000000ULL) * 100;
    return 0;
}
