// Win32 side of plat_file.h.
//
// The terminal files are opened with _sopen and _SH_DENYRW: while we hold one,
// nobody else may open it, and the open itself is refused (EACCES) while
// another process has it open. Text mode is the runtime's own: CR LF is read
// as LF, a 0x1A byte ends the data, LF is written as CR LF. State files are
// written in binary, byte for byte as given, and replaced with MoveFileExA.
// Only plain files are opened: a reparse point (a symbolic link or a
// junction), a directory, a device or a file with a second name is refused,
// and so is a path that passes through a reparse point below the exchange
// root (plat_fs.h, PLAT_FsConfine).
#include "plat_file.h"
#include "plat_fs.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "confine_win32.h"
#include "errno_win32.h"
#include "fileid_win32.h"
#include "sys_win32.h"

namespace {

// How long a reply file that another process has open is waited for.
constexpr int kWriteHoldTries = 20;
constexpr DWORD kWriteHoldPauseMs = 10;

// Links and other reparse points are refused like directories: the terminal
// files are plain files in the exchange directory.
bool file_IsPlainOrAbsent(const char* path)
{
    const DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    return (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// The attributes are looked at before the open and the handle after it, so
// that an entry swapped in between is refused as well.
int file_Open(const char* path, int flags, int share)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    if (!file_IsPlainOrAbsent(path) || confine_PassesLink(path)) {
        errno = EACCES;
        return -1;
    }
    const int fd = sys_Open(path, flags | _O_NOINHERIT, share);
    if (fd < 0) {
        return -1;
    }
    PLAT_FileId id;
    if (PLAT_FileIdOf(fd, &id) != 0 || id.kind != PLAT_FILE_PLAIN) {
        _close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

int file_WriteAll(int fd, const char* data, std::size_t len)
{
    while (len > 0) {
        const unsigned chunk = len > 0x10000 ? 0x10000u : static_cast<unsigned>(len);
        const int n = sys_Write(fd, data, chunk);
        if (n < 0) {
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

// Opens `path` for writing in binary (created if absent, with `how`: _O_TRUNC
// or _O_APPEND), writes all the bytes, commits and closes. 0, or -1 with errno.
int file_WriteSynced(const char* path, int how, const char* data, std::size_t len)
{
    const int fd = file_Open(path, _O_WRONLY | _O_CREAT | _O_BINARY | how, _SH_DENYWR);
    if (fd < 0) {
        return -1;
    }
    int rc = file_WriteAll(fd, data, len);
    if (rc == 0 && sys_Commit(fd) != 0) {
        rc = -1;
    }
    const int saved = errno;
    if (_close(fd) != 0 && rc == 0) {
        return -1;
    }
    errno = saved;
    return rc;
}

}  // namespace

PLAT_File PLAT_FileOpenReadExclusive(const char* path)
{
    const int fd = file_Open(path, _O_RDONLY | _O_TEXT, _SH_DENYRW);
    return fd < 0 ? PLAT_FILE_BAD : fd;
}

PLAT_File PLAT_FileOpenWriteExclusive(const char* path)
{
    // A file made here must not stay behind, empty, when it cannot be held.
    bool created = true;
    int fd = file_Open(path, _O_RDWR | _O_CREAT | _O_EXCL | _O_TEXT, _SH_DENYRW);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        // A reader that has the file open for a moment (a terminal looking for
        // its reply) is waited for briefly; only a file that stays open
        // elsewhere is refused. The open takes the hold, so the file is
        // truncated only once it is ours.
        for (int tries = 1;; ++tries) {
            fd = file_Open(path, _O_RDWR | _O_TEXT, _SH_DENYRW);
            if (fd >= 0 || errno != EACCES || tries >= kWriteHoldTries || !file_IsPlainOrAbsent(path)) {
                break;
            }
            Sleep(kWriteHoldPauseMs);
        }
    }
    if (fd < 0) {
        return PLAT_FILE_BAD;
    }
    if (!created && _chsize(fd, 0) != 0) {
        const int saved = errno;
        _close(fd);
        errno = saved;
        return PLAT_FILE_BAD;
    }
    return fd;
}

long PLAT_FileReadText(PLAT_File f, char* buf, std::size_t len)
{
    if (len == 0) {
        return 0;
    }
    const unsigned want = len > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<unsigned>(len);
    const int n = sys_Read(f, buf, want);
    return n < 0 ? -1 : static_cast<long>(n);
}

long PLAT_FileWriteText(PLAT_File f, const char* data, std::size_t len)
{
    // The runtime's text mode turns every LF into CR LF and counts the bytes
    // that it took from `data`.
    return file_WriteAll(f, data, len) == 0 ? static_cast<long>(len) : -1;
}

int PLAT_FileSync(PLAT_File f)
{
    return sys_Commit(f) == 0 ? 0 : -1;
}

int PLAT_FileClose(PLAT_File f)
{
    if (f == PLAT_FILE_BAD) {
        errno = EBADF;
        return -1;
    }
    return _close(f) == 0 ? 0 : -1;
}

int PLAT_FileReplace(const char* path, const char* data, std::size_t len)
{
    if (path == nullptr) {
        errno = ENOENT;
        return -1;
    }
    std::array<char, MAX_PATH + 8> tmp{};
    const int n = std::snprintf(tmp.data(), tmp.size(), "%s.tmp", path);
    if (n < 0 || static_cast<std::size_t>(n) >= tmp.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (file_WriteSynced(tmp.data(), _O_TRUNC, data, len) != 0) {
        const int saved = errno;
        _unlink(tmp.data());
        errno = saved;
        return -1;
    }
    if (sys_Rename(tmp.data(), path) != 0) {
        const int saved = errno;
        _unlink(tmp.data());
        errno = saved;
        return -1;
    }
    return 0;
}

int PLAT_FileAppendSync(const char* path, const char* data, std::size_t len)
{
    return file_WriteSynced(path, _O_APPEND, data, len);
}

int PLAT_FileIdOf(PLAT_File f, PLAT_FileId* id)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(f));
    if (id == nullptr || h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    return fileid_OfHandle(h, id);
}

long long PLAT_FileAppendWhole(const char* path, const char* data, std::size_t len)
{
    bool created = true;
    int fd = file_Open(path, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYWR);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = file_Open(path, _O_RDWR | _O_BINARY, _SH_DENYWR);
    }
    if (fd < 0) {
        return -1;
    }
    const long long before = _filelengthi64(fd);
    if (before < 0) {
        const int saved = errno;
        _close(fd);
        errno = saved;
        return -1;
    }
    char last = '\n';
    if (before > 0 && (_lseeki64(fd, before - 1, SEEK_SET) < 0 || _read(fd, &last, 1) != 1)) {
        last = '\n';
    }
    // The client is the file's only writer: the record goes at the size seen.
    int rc = _lseeki64(fd, before, SEEK_SET) < 0 ? -1 : 0;
    if (rc == 0 && last != '\n') {
        rc = file_WriteAll(fd, "\n", 1);
    }
    if (rc == 0) {
        rc = file_WriteAll(fd, data, len);
    }
    if (rc == 0) {
        rc = sys_Commit(fd);
    }
    if (rc != 0) {
        const int saved = errno;
        if (_chsize_s(fd, before) == 0) {
            _commit(fd);
        }
        _close(fd);
        if (created && before == 0) {
            _unlink(path);
        }
        errno = saved;
        return -1;
    }
    return _close(fd) == 0 ? before : -1;
}

int PLAT_FileCutBack(const char* path, long long size)
{
    if (size == 0) {
        PLAT_FileId id;
        if (PLAT_FsIdOf(path, &id) != 0) {
            return -1;
        }
        if (id.kind != PLAT_FILE_PLAIN) {
            errno = EACCES;
            return -1;
        }
        return sys_Unlink(path) == 0 ? 0 : -1;
    }
    const int fd = file_Open(path, _O_RDWR | _O_BINARY, _SH_DENYWR);
    if (fd < 0) {
        return -1;
    }
    int rc = 0;
    if (_filelengthi64(fd) < size) {
        errno = EINVAL;
        rc = -1;
    }
    if (rc == 0 && _chsize_s(fd, size) != 0) {
        rc = -1;
    }
    if (rc == 0) {
        rc = sys_Commit(fd);
    }
    const int saved = errno;
    _close(fd);
    errno = saved;
    return rc == 0 ? 0 : -1;
}

long PLAT_FileReadSmall(const char* path, char* buf, std::size_t cap)
{
    if (buf == nullptr || cap == 0) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    const int fd = file_Open(path, _O_RDONLY | _O_BINARY, _SH_DENYWR);
    if (fd < 0) {
        return -1;
    }
    std::size_t used = 0;
    while (used + 1 < cap) {
        const std::size_t want = cap - 1 - used;
        const int n = sys_Read(fd, buf + used, want > 0x10000 ? 0x10000u : static_cast<unsigned>(want));
        if (n < 0) {
            const int saved = errno;
            _close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    buf[used] = '\0';
    _close(fd);
    return static_cast<long>(used);
}

long long PLAT_FileEndsWith(const char* path, const char* data, std::size_t len)
{
    const int fd = file_Open(path, _O_RDONLY | _O_BINARY, _SH_DENYWR);
    if (fd < 0) {
        return -1;
    }
    long long at = -1;
    std::array<char, 4096> tail{};
    const long long size = _filelengthi64(fd);
    if (len > 0 && len <= tail.size() && size >= static_cast<long long>(len)) {
        const long long from = size - static_cast<long long>(len);
        if (_lseeki64(fd, from, SEEK_SET) == from &&
            _read(fd, tail.data(), static_cast<unsigned>(len)) == static_cast<int>(len) &&
            std::memcmp(tail.data(), data, len) == 0) {
            at = from;
        }
    }
    _close(fd);
    return at;
}

int PLAT_FileEmpty(PLAT_File f)
{
    return _chsize_s(f, 0) == 0 ? 0 : -1;
}
