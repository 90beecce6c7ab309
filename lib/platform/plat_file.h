// Files, the platform's way: the exclusive text-mode opens of the terminal
// exchange files, and durable
// writes of small state files. Failures return -1 (or PLAT_FILE_BAD) with the
// cause in errno, using the C library's numbers (ENOENT, EACCES, ENOSPC...).
#pragma once

#include <cstddef>

using PLAT_File = int;
inline constexpr PLAT_File PLAT_FILE_BAD = -1;

// Opens an existing regular file for reading with exclusive sharing: refused
// with EACCES while another process has it open for writing or holds it
// through one of these opens (on Windows, which shares with nobody, while
// another process has it open at all). Directories and other non-regular
// files (links and other reparse points on Windows) are refused with EACCES too.
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

