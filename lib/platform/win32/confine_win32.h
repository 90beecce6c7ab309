// The directory below which no component of a path may be a reparse point
// (plat_fs.h, PLAT_FsConfine). Internal to the Win32 implementation.
#pragma once

// True when `path` lies below the confining root and one of its directories
// below the root is a reparse point (a link or a junction) or is missing.
// The last component is the caller's to check.
bool confine_PassesLink(const char* path);
