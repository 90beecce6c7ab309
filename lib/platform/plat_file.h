// Files, the platform's way: the exclusive text-mode opens of the terminal
// exchange files, and durable
// writes of small state files. Failures return -1 (or PLAT_FILE_BAD) with the
// cause in errno, using the C library's numbers (ENOENT, EACCES, ENOSPC...).
#pragma once

#include <cstddef>

using PLAT_File = int;
inline constexpr PLAT_File PLAT_FILE_BAD = -1;

// What a directory entry is, as far as the client cares: a plain file (a
// regular file with one name) is the only kind it reads or writes; a symbolic
// link, a file with more names, a FIFO, a directory or a device is "other".
enum PLAT_FileKind { PLAT_FILE_NONE, PLAT_FILE_PLAIN, PLAT_FILE_OTHER };

// Identity of a file: the same object with the same content stamp.
struct PLAT_FileId {
    PLAT_FileKind kind = PLAT_FILE_NONE;
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    long long size = 0;
    long long mtimeSec = 0;
    long long mtimeNsec = 0;
};
bool PLAT_FileIdSame(const PLAT_FileId& a, const PLAT_FileId& b);

// Every open below refuses to follow a symbolic link in the last component of
// the path, never waits on a FIFO, and refuses anything but a plain file
// (EACCES, or ENOENT when nothing is there).

// Opens an existing regular file for reading with exclusive sharing: refused
// with EACCES while another process has it open for writing or holds it
// through one of these opens (on Windows, which shares with nobody, while
// another process has it open at all). Links (reparse points on Windows),
// directories and other non-plain files are refused with EACCES too.
PLAT_File PLAT_FileOpenReadExclusive(const char* path);

// Opens a file for reading and writing, created if absent (read and write
// permission, less the umask), with exclusive sharing: refused with EACCES
// while another process has it open at all. Only once the file is held is it
// truncated, so a refused open leaves the other process's file as it was.
PLAT_File PLAT_FileOpenWriteExclusive(const char* path);

// Reads up to `len` bytes in text mode: a CR LF pair is delivered as one LF,
// and a 0x1A byte ends the data (every later read gives 0). Returns the bytes
// delivered, 0 at the end, -1 on failure.
long PLAT_FileReadText(PLAT_File f, char* buf, std::size_t len);

// Writes all `len` bytes in text mode (every LF goes out as CR LF), going on
// after partial writes. Returns `len`, or -1 when a write fails.
long PLAT_FileWriteText(PLAT_File f, const char* data, std::size_t len);

// Empties an open file (a reply that could not be written whole must not be
// taken for one). 0 or -1.
int PLAT_FileEmpty(PLAT_File f);

// The identity of an open file. 0 or -1.
int PLAT_FileIdOf(PLAT_File f, PLAT_FileId* id);

// Forces the file's data to stable storage. 0 or -1.
int PLAT_FileSync(PLAT_File f);

// Releases the exclusive hold and closes the file, exactly once. 0 or -1.
int PLAT_FileClose(PLAT_File f);

// Replaces the file's whole content atomically: the bytes go to a temporary
// file in the same directory, which is synced and renamed over `path`, and the
// directory is synced (on Windows the rename is written through instead). The
// bytes are written as given, with no line-end conversion. A crash or a full disk leaves either the old content or
// the new, never a truncated file. 0 or -1 (the old file is then untouched).
int PLAT_FileReplace(const char* path, const char* data, std::size_t len);

// Appends the bytes to the file (created if absent) and syncs it before
// returning, so that an appended record survives a crash. 0 or -1.
int PLAT_FileAppendSync(const char* path, const char* data, std::size_t len);

// Appends one record whole or not at all: on a failed or partial write the
// file is cut back to its size before the append. A file whose last line was
// left without its line end gets one first, so no record is glued onto a torn
// one. Synced before returning. The file's size before the append (where the
// record begins, give or take that line end), or -1 with errno.
long long PLAT_FileAppendWhole(const char* path, const char* data, std::size_t len);

// Cuts the file back to `size` bytes and syncs it (withdraws what was appended
// after that point); cut back to nothing, the file is removed. 0, or -1 (also
// when the file is shorter than `size`).
int PLAT_FileCutBack(const char* path, long long size);

// Where the trailing `len` bytes begin when the plain file ends with exactly
// these bytes; -1 otherwise (or when it cannot be read).
long long PLAT_FileEndsWith(const char* path, const char* data, std::size_t len);

// Reads a small plain file whole: at most cap - 1 bytes, NUL-terminated.
// The bytes read, or -1 with errno (ENOENT when it does not exist).
long PLAT_FileReadSmall(const char* path, char* buf, std::size_t cap);

