// File-system calls of the client that the C++ library lacks, the platform's way.
#pragma once

#include <cerrno>
#include <cstdio>

#include "plat_file.h"

// Confines the paths below `root`: from now on an open, a look at or a removal
// of such a path refuses to pass through a symbolic link (a reparse point on
// Windows) in any component below the root, so that whoever can write there
// cannot lead the process elsewhere. The root itself may be a link. 0.
int PLAT_FsConfine(const char* root);

// 1 when the path exists (any kind of entry), else 0.
int PLAT_FsExists(const char* path);

// 1 when the path exists and the process may read it, else 0.
int PLAT_FsReadable(const char* path);

// Removes a file. 0, or -1 with the C library's error number in *err when err
// is not null: ENOENT, or EACCES for anything that may not be removed (a
// directory, a protected entry), as Windows reports it.
int PLAT_FsRemove(const char* path, int* err);

// Syncs the directory that holds `path`, so that a removal or rename in it
// survives a crash. 0 or -1 (some file systems refuse to sync a directory).
// Windows cannot sync a directory and needs not: there the renames of this
// seam are written through, and this call does nothing and returns 0.
int PLAT_FsSyncDir(const char* path);

// Flushes the stream and forces its data to stable storage. 0 or -1.
int PLAT_FsSyncStream(std::FILE* f);

// Renames `from` to `to`, replacing an existing `to` in one step, so that a
// reader sees either the old or the new file, never none; the directory is
// then synced so that the rename survives a crash. 0, or -1 with *err.
int PLAT_FsReplace(const char* from, const char* to, int* err);

// The identity of the entry itself (a link is not followed; a path that passes
// through a link below the confining root names an entry of kind "other"). 0,
// or -1 with errno (ENOENT when nothing is there).
int PLAT_FsIdOf(const char* path, PLAT_FileId* id);

// Removes the file only while it is still the one described by `id` (same
// object, size and modification time), so that a file put in its place since
// is kept. 0, or -1 with *err: ESTALE when it is another file now, else as
// PLAT_FsRemove. (Windows' C library has no ESTALE: the number is given here.)
#if !defined(ESTALE)
#define ESTALE 116
#endif
int PLAT_FsRemoveIfSame(const char* path, const PLAT_FileId& id, int* err);
